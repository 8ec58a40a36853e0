#!/usr/bin/env python3
"""Streamed demo: an agent loop as the host makes it, through stream_raw.

By default an embedded HTTP server on 127.0.0.1 replays real recorded streams
(tests/data/recorded/streams; sources and licenses in MANIFEST.md there), one
event at a time with a short pause, so the deltas can be seen arriving:

  turn 1  08-reasoning-encrypted-then-function-call-codex.sse: a reasoning
          summary, then a call of the `calculator` tool;
  the demo runs the tool and sends its output back;
  turn 2  29-github-copilot-rotating-item-ids.sse: a reasoning summary, then
          the answer text. No recording continues the conversation of turn 1,
          so this answer was recorded in another conversation.

Reasoning is printed with every line prefixed "thinking: " (and dimmed when
stdout is a terminal), apart from the answer. The model's own state comes
back with each finish delta (its encrypted reasoning as `_reasoning_details`,
the phase of its message as `_phase`); the loop stores both on the assistant
message, and the next request carries the reasoning back, right before the
call it led to.

    python examples/demo.py              # the native module, routes.responses_api
    python examples/demo.py --twin       # the pure-Python twin, for comparison

With --url/--api-key (or OPENAI_BASE_URL/OPENAI_API_KEY in the environment) it
talks to a real endpoint instead, running the tool for as many turns as the
model asks; the URL is completed to end in /v1/responses.

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
STREAMS = ROOT / "tests" / "data" / "recorded" / "streams"
RECORDINGS = [
    STREAMS / "08-reasoning-encrypted-then-function-call-codex.sse",
    STREAMS / "29-github-copilot-rotating-item-ids.sse",
]
DEFAULT_ENDPOINT = "https://api.openai.com/v1/responses"
MAX_TURNS = 8
THINKING = "thinking: "
DIM, RESET = "\033[2m", "\033[0m"

MESSAGES = [
    {
        "role": "system",
        "content": "Use the calculator for every arithmetic step, one operation per call, then give the result.",
    },
    {"role": "user", "content": "What is (12 + 7) * 3 * 10?"},
]
TOOLS = [
    {
        "type": "function",
        "function": {
            "name": "calculator",
            "description": "A minimal calculator for basic arithmetic. Call it once per step.",
            "parameters": {
                "type": "object",
                "properties": {
                    "a": {"type": "number", "description": "First operand."},
                    "b": {"type": "number", "description": "Second operand."},
                    "op": {
                        "type": "string",
                        "enum": ["add", "subtract", "multiply", "divide"],
                        "description": "Arithmetic operation to perform.",
                    },
                },
                "required": ["a", "b", "op"],
                "additionalProperties": False,
            },
        },
    }
]


def calculator(a, b, op):
    result = {"add": lambda: a + b, "subtract": lambda: a - b, "multiply": lambda: a * b, "divide": lambda: a / b}[op]()
    return str(int(result) if result == int(result) else result)


def run_tool(call):
    """The tool's output for one assembled call, as the text sent back."""
    try:
        if call["name"] != "calculator":
            raise ValueError("no tool named %r" % call["name"])
        args = json.loads(call["arguments"] or "{}")
        return calculator(float(args["a"]), float(args["b"]), args["op"])
    except (ValueError, KeyError, TypeError, ZeroDivisionError, OverflowError) as e:
        return "error: %s" % (e,)


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


def start_replay_server(recordings, pause):
    """A local endpoint that answers the n-th POST with the n-th recorded stream
    (the last one again after that), sending it event by event (chunked) with
    `pause` seconds between events."""
    replies = [re.findall(rb".*?\n\n|.+\Z", path.read_bytes(), re.S) for path in recordings]
    posts = []

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args):
            pass

        def do_POST(self):
            body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
            request = json.loads(body)
            posts.append(request)
            items = ", ".join(
                (item.get("role") if item.get("type") == "message" else item.get("type")) or "?"
                for item in request.get("input", [])
            )
            print(
                "[server] %s %s: %d bytes, model %s, %d tools, stream=%s, input: %s"
                % (
                    self.command,
                    self.path,
                    len(body),
                    request.get("model"),
                    len(request.get("tools", [])),
                    request.get("stream"),
                    items,
                ),
                file=sys.stderr,
                flush=True,
            )
            self.send_response(200)
            self.send_header("Content-Type", "text/event-stream")
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            for event in replies[min(len(posts), len(replies)) - 1]:
                self.wfile.write(b"%x\r\n%s\r\n" % (len(event), event))
                time.sleep(pause)
            self.wfile.write(b"0\r\n\r\n")

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.posts = posts
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, "http://127.0.0.1:%d/v1/responses" % server.server_address[1]


def endpoint(base):
    base = base.rstrip("/")
    if base.endswith("/responses"):
        return base
    return base + ("/responses" if base.endswith("/v1") else "/v1/responses")


class Printer:
    """Answer text as it comes; reasoning as it comes too, every line of it
    prefixed (and dimmed on a terminal)."""

    def __init__(self, out, dim):
        self.out, self.dim = out, dim
        self.mode = None  # "reasoning" or "content" while a line is open
        self.line_start = True

    def _switch(self, mode):
        if self.mode != mode:
            if self.mode == "reasoning" and self.dim:
                self.out.write(RESET)
            if not self.line_start:
                self.out.write("\n")
                self.line_start = True
            self.mode = mode
            if mode == "reasoning" and self.dim:
                self.out.write(DIM)

    def reasoning(self, text):
        self._switch("reasoning")
        for piece in re.split(r"(\n)", text):
            if piece == "\n":
                self.out.write(THINKING.rstrip() + "\n" if self.line_start else "\n")
                self.line_start = True
            elif piece:
                self.out.write((THINKING if self.line_start else "") + piece)
                self.line_start = False
        self.out.flush()

    def content(self, text):
        self._switch("content")
        self.out.write(text)
        self.line_start = text.endswith("\n")
        self.out.flush()

    def end(self):
        self._switch(None)


def consume(deltas, printer):
    """Assemble the reply the way the host's loop does, printing as it comes."""
    reply = {
        "content": "",
        "reasoning": "",
        "tool_calls": {},
        "finish_reason": None,
        "usage": None,
        "error": None,
        "reasoning_details": None,
        "phase": None,
    }
    for delta in deltas:
        if delta.get("reasoning_content"):
            printer.reasoning(delta["reasoning_content"])
        if delta.get("content"):
            printer.content(delta["content"])
        reply["content"] += delta.get("content", "")
        reply["reasoning"] += delta.get("reasoning_content", "")
        for fragment in delta.get("tool_calls", []):
            call = reply["tool_calls"].setdefault(fragment["index"], {"id": "", "name": "", "arguments": ""})
            call["id"] = fragment["id"] or call["id"]
            call["name"] = fragment["function"]["name"] or call["name"]
            call["arguments"] += fragment["function"]["arguments"]
        if "_finish_reason" in delta:
            reply.update(
                finish_reason=delta["_finish_reason"],
                usage=delta["_usage"],
                error=delta.get("_error"),
                reasoning_details=delta.get("_reasoning_details"),
                phase=delta.get("_phase"),
            )
    printer.end()
    return reply


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--url", default=os.environ.get("OPENAI_BASE_URL"), help="a real endpoint (or its base URL)")
    parser.add_argument(
        "--api-key", default=os.environ.get("OPENAI_API_KEY"), help="sent as 'Authorization: Bearer KEY'"
    )
    parser.add_argument("--model", default=None, help="model name (default: the module's default)")
    parser.add_argument(
        "--reasoning-effort", default=None, help="for reasoning models: low, medium, high (the replay uses medium)"
    )
    parser.add_argument("--twin", action="store_true", help="use the pure-Python twin instead of the native module")
    parser.add_argument("--local", action="store_true", help="replay the recordings even when a URL or key is set")
    parser.add_argument("--pause", type=float, default=0.03, help="seconds between replayed events")
    args = parser.parse_args(argv)

    ra = load_module(args.twin)
    remote = not args.local and bool(args.url or args.api_key)
    server = None
    if remote:
        url = endpoint(args.url or DEFAULT_ENDPOINT)
    else:
        server, url = start_replay_server(RECORDINGS, args.pause)
    headers = {"Content-Type": "application/json"}
    if args.api_key:
        headers["Authorization"] = "Bearer " + args.api_key
    # The replay asks for the model its first recording was made with.
    model = args.model or (None if remote else "gpt-5.1-codex-max")
    llm_config = {"model": model} if model else {}
    # Reasoning models: the encrypted reasoning is asked for and carried
    # between turns, with nothing stored on the server.
    effort = args.reasoning_effort or (None if remote else "medium")
    if effort:
        llm_config.update(reasoning_effort=effort, store=False)
    printer = Printer(sys.stdout, sys.stdout.isatty())

    print("module: %s (%s)" % (ra.__name__, "twin" if args.twin else "native"))
    if remote:
        print("endpoint: %s" % url)
    else:
        print("local replay on %s:" % url)
        print("  turn 1: %s" % RECORDINGS[0].name)
        print("  turn 2: %s (from another recorded conversation; none continues this one)" % RECORDINGS[1].name)
    messages = list(MESSAGES)
    try:
        for turn in range(1, MAX_TURNS + 1):
            payload = ra.build_payload(messages, llm_config, tools=TOOLS, tool_choice="auto", stream=True)
            print("-" * 60)
            print("turn %d: POST %d input items, payload keys: %s" % (turn, len(payload["input"]), ", ".join(payload)))
            reply = consume(ra.stream_raw(url, headers, payload), printer)
            calls = [reply["tool_calls"][i] for i in sorted(reply["tool_calls"])]
            for index, call in enumerate(calls):
                print("tool call %d: %s(%s)  id=%s" % (index, call["name"], call["arguments"], call["id"]))
            print("finish reason: %s" % reply["finish_reason"])
            print("usage: %s" % json.dumps(reply["usage"]))
            for detail in reply["reasoning_details"] or []:
                print(
                    "carried reasoning %d: %s, %d characters encrypted"
                    % (detail["index"], detail["id"], len(detail["data"]))
                )
            if reply["phase"]:
                print("phase: %s" % reply["phase"])
            if reply["error"]:
                print("error: %s" % reply["error"])
            if reply["finish_reason"] != "tool_calls":
                break
            # The host's loop: the assistant turn with its calls and the
            # model's own state, then one tool message per call, and the
            # next request.
            assistant = {
                "role": "assistant",
                "content": reply["content"] or None,
                "tool_calls": [
                    {"id": c["id"], "type": "function", "function": {"name": c["name"], "arguments": c["arguments"]}}
                    for c in calls
                ],
            }
            if reply["reasoning_details"]:
                assistant["reasoning_details"] = reply["reasoning_details"]
            if reply["phase"]:
                assistant["phase"] = reply["phase"]
            messages.append(assistant)
            for call in calls:
                output = run_tool(call)
                print("tool output for %s: %s" % (call["id"], output))
                messages.append({"role": "tool", "tool_call_id": call["id"], "content": output})
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
    return 1 if reply["finish_reason"] == "error" else 0


if __name__ == "__main__":
    sys.exit(main())
