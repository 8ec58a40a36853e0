#!/usr/bin/env python3
"""Streamed demo: one streaming call as the host's agent loop makes it.

By default an embedded HTTP server on 127.0.0.1 replays a real recorded stream
(examples/data/06-text-then-function-call.sse: text, then a function call), one
event at a time with a short pause, so the text can be seen arriving.

    python examples/demo.py              # the native module, routes.responses_api
    python examples/demo.py --twin       # the pure-Python twin, for comparison

With --url/--api-key (or OPENAI_BASE_URL/OPENAI_API_KEY in the environment) it
talks to a real endpoint instead; the URL is completed to end in /v1/responses.

    python examples/demo.py --url https://host.example/v1 --api-key KEY --model gpt-4o
"""
import argparse
import http.server
import json
import os
import pathlib
import re
import sys
import threading
import time
import urllib.error

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
RECORDING = HERE / "data" / "06-text-then-function-call.sse"
DEFAULT_ENDPOINT = "https://api.openai.com/v1/responses"

MESSAGES = [
    {"role": "system", "content": "You are a librarian. Look books up with the tools you have, "
                                  "then answer with a short JSON summary of the book."},
    {"role": "user", "content": "Which book has the ISBN 0-7653-1178-X?"},
]
TOOLS = [{
    "type": "function",
    "function": {
        "name": "get_book_info",
        "description": "Look up book information by ISBN.",
        "parameters": {"type": "object", "properties": {"isbn": {"type": "string"}},
                       "required": ["isbn"], "additionalProperties": False},
    },
}]


def load_module(twin):
    if twin:
        sys.path.insert(0, str(ROOT / "tests"))
        from twin import responses_api
        return responses_api
    try:
        from routes import responses_api
    except ImportError:
        sys.path.insert(0, str(ROOT / "src"))
        try:
            from routes import responses_api
        except ImportError as e:
            sys.exit("demo: cannot import routes.responses_api (%s); build the module first, or pass --twin" % e)
    return responses_api


def start_replay_server(recording, pause):
    """A local endpoint that answers every POST with the recorded stream,
    sending it event by event (chunked) with `pause` seconds between events."""
    events = re.findall(rb".*?\n\n|.+\Z", recording.read_bytes(), re.S)

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args):
            pass

        def do_POST(self):
            body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
            request = json.loads(body)
            print("[server] %s %s: %d bytes, model %s, %d input items, %d tools, stream=%s" % (
                self.command, self.path, len(body), request.get("model"), len(request.get("input", [])),
                len(request.get("tools", [])), request.get("stream")), file=sys.stderr, flush=True)
            self.send_response(200)
            self.send_header("Content-Type", "text/event-stream")
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            for event in events:
                self.wfile.write(b"%x\r\n%s\r\n" % (len(event), event))
                time.sleep(pause)
            self.wfile.write(b"0\r\n\r\n")

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, "http://127.0.0.1:%d/v1/responses" % server.server_address[1]


def endpoint(base):
    base = base.rstrip("/")
    if base.endswith("/responses"):
        return base
    return base + ("/responses" if base.endswith("/v1") else "/v1/responses")


def consume(deltas):
    """Assemble the reply the way the host's loop does, printing text as it comes."""
    reply = {"content": "", "tool_calls": {}, "finish_reason": None, "usage": None, "error": None}
    for delta in deltas:
        if "content" in delta:
            print(delta["content"], end="", flush=True)
        elif "reasoning_content" in delta:  # reasoning text goes to stderr, as it comes too
            print(delta["reasoning_content"], end="", flush=True, file=sys.stderr)
        reply["content"] += delta.get("content", "")
        for fragment in delta.get("tool_calls", []):
            call = reply["tool_calls"].setdefault(fragment["index"], {"id": "", "name": "", "arguments": ""})
            call["id"] = fragment["id"] or call["id"]
            call["name"] = fragment["function"]["name"] or call["name"]
            call["arguments"] += fragment["function"]["arguments"]
        if "_finish_reason" in delta:
            reply.update(finish_reason=delta["_finish_reason"], usage=delta["_usage"], error=delta.get("_error"))
    return reply


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--url", default=os.environ.get("OPENAI_BASE_URL"), help="a real endpoint (or its base URL)")
    parser.add_argument("--api-key", default=os.environ.get("OPENAI_API_KEY"), help="sent as 'Authorization: Bearer KEY'")
    parser.add_argument("--model", default=None, help="model name (default: the module's default)")
    parser.add_argument("--twin", action="store_true", help="use the pure-Python twin instead of the native module")
    parser.add_argument("--local", action="store_true", help="replay the recording even when a URL or key is set")
    parser.add_argument("--pause", type=float, default=0.03, help="seconds between replayed events")
    args = parser.parse_args(argv)

    ra = load_module(args.twin)
    remote = not args.local and bool(args.url or args.api_key)
    server = None
    if remote:
        url = endpoint(args.url or DEFAULT_ENDPOINT)
    else:
        server, url = start_replay_server(RECORDING, args.pause)
    headers = {"Content-Type": "application/json"}
    if args.api_key:
        headers["Authorization"] = "Bearer " + args.api_key

    llm_config = {"model": args.model} if args.model else {}
    payload = ra.build_payload(MESSAGES, llm_config, tools=TOOLS, tool_choice="auto", stream=True)
    print("module: %s (%s)" % (ra.__name__, "twin" if args.twin else "native"))
    print("POST %s (%s)" % (url, "remote endpoint" if remote else "local replay of " + RECORDING.name))
    print("payload keys: %s" % ", ".join(payload))
    print("-" * 60)
    try:
        reply = consume(ra.stream_raw(url, headers, payload))
    except urllib.error.HTTPError as e:
        with e:
            print("HTTP %d %s: %s" % (e.code, e.reason, e.read(2000).decode("utf-8", "replace")))
        return 1
    except urllib.error.URLError as e:
        print("cannot reach %s: %s" % (url, e.reason))
        return 1
    finally:
        if server is not None:
            server.shutdown()
            server.server_close()
    print("\n" + "-" * 60)
    for index, call in sorted(reply["tool_calls"].items()):
        print("tool call %d: %s(%s)  id=%s" % (index, call["name"], call["arguments"], call["id"]))
    print("finish reason: %s" % reply["finish_reason"])
    print("usage: %s" % json.dumps(reply["usage"]))
    if reply["error"]:
        print("error: %s" % reply["error"])
    return 1 if reply["finish_reason"] == "error" else 0


if __name__ == "__main__":
    sys.exit(main())
