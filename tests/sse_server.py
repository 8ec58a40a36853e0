"""Test doubles for the streaming call.

`SSEServer` is a real HTTP/1.1 server on 127.0.0.1 (port 0, daemon thread) whose
replies are scripted per path; `FakeOpener`/`FakeResponse` (from fake_opener,
shared with the benchmarks and the fuzz harness) replace the module's opener
for in-memory tests and record everything the reader does to them.
"""

import http.server
import json
import threading
from dataclasses import dataclass, field

from fake_opener import FakeOpener, FakeResponse, FakeResponse1  # noqa: F401  (the tests import them from here)

WAIT_LIMIT = 10.0  # a scripted pause never blocks the server longer than this
URL = "http://127.0.0.1:9/v1/responses"  # never contacted: the fake opener answers
ZERO = {"prompt_tokens": 0, "completion_tokens": 0, "total_tokens": 0}


def ordered(x):
    """A value with every dict turned into its list of items and every leaf
    paired with its type, so that comparisons also check key order and types."""
    if isinstance(x, dict):
        return [(k, ordered(v)) for k, v in x.items()]
    if isinstance(x, (list, tuple)):
        return (type(x), [ordered(v) for v in x])
    return (type(x), x)


def text(t):
    return {"type": "response.output_text.delta", "delta": t}


def completed(**usage):
    return {"type": "response.completed", "response": {"usage": usage}}


def tc(index, id, name="", arguments=""):
    return {"tool_calls": [{"index": index, "id": id, "function": {"name": name, "arguments": arguments}}]}


def fin(reason="stop", **usage):
    return {"_finish_reason": reason, "_usage": dict(ZERO, **usage)}


def err(text):
    return {"_finish_reason": "error", "_usage": dict(ZERO), "_error": text}


# The finish delta of a body that ends with no terminal event.
CUT_OFF = {
    "_finish_reason": "error",
    "_usage": dict(ZERO),
    "_error": "Responses API stream ended before a terminal event",
}


def sse(*events, event_lines=True):
    """SSE body bytes: one `event:`/`data:` block per event dict."""
    out = []
    for e in events:
        if event_lines and isinstance(e, dict) and e.get("type"):
            out.append("event: %s\n" % e["type"])
        out.append("data: %s\n\n" % json.dumps(e, separators=(",", ":")))
    return "".join(out).encode("utf-8")


@dataclass
class Reply:
    status: int = 200
    pieces: list = field(default_factory=list)  # body, as byte pieces
    headers: dict = field(default_factory=lambda: {"Content-Type": "text/event-stream"})
    mode: str = "chunked"  # "chunked", "close" (delimited by connection close) or "length"
    waits: dict = field(default_factory=dict)  # piece index -> Event awaited before it
    location: str = None  # for redirects


@dataclass
class Received:
    method: str
    path: str
    headers: dict  # lower-cased names
    body: bytes


class SSEServer:
    def __init__(self):
        self.routes = {}
        self.requests = []
        self.timeouts = []  # pieces whose wait ran out: a reader that did not yield in time
        owner = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def _any(self):
                n = int(self.headers.get("Content-Length") or 0)
                body = self.rfile.read(n) if n else b""
                owner.requests.append(
                    Received(self.command, self.path, {k.lower(): v for k, v in self.headers.items()}, body)
                )
                owner._reply(
                    self, owner.routes.get(self.path.split("?")[0]) or Reply(404, [b"no route"], mode="length")
                )

            do_GET = do_POST = do_PUT = do_DELETE = do_HEAD = _any

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.block_on_close = False
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)

    def url(self, path="/v1/responses"):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def route(self, path="/v1/responses", *pieces, **kw):
        self.routes[path] = Reply(pieces=list(pieces), **kw)
        return self.url(path)

    def redirect(self, path, code, location):
        self.routes[path] = Reply(code, [], {}, "length", location=location)
        return self.url(path)

    def _reply(self, h, r):
        h.send_response(r.status)
        for k, v in r.headers.items():
            h.send_header(k, v)
        if r.location:
            h.send_header("Location", r.location)
        if r.mode == "chunked":
            h.send_header("Transfer-Encoding", "chunked")
        elif r.mode == "length":
            h.send_header("Content-Length", str(sum(map(len, r.pieces))))
        if r.mode == "close" or r.status >= 400:
            h.send_header("Connection", "close")
            h.close_connection = True
        h.end_headers()
        try:
            for i, piece in enumerate(r.pieces):
                ev = r.waits.get(i)
                if ev is not None and not ev.wait(WAIT_LIMIT):
                    self.timeouts.append(i)
                    h.close_connection = True
                    return  # abandon the body: the reader sees a truncated reply
                if piece:
                    h.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece) if r.mode == "chunked" else piece)
            if r.mode == "chunked":
                h.wfile.write(b"0\r\n\r\n")
        except OSError:  # the client went away
            h.close_connection = True

    def start(self):
        self.thread.start()
        return self

    def stop(self):
        for r in self.routes.values():
            for ev in r.waits.values():
                ev.set()
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join(WAIT_LIMIT)


class Tracking:
    """Wraps the real opener and remembers each HTTP response it opened."""

    def __init__(self, opener):
        self.opener, self.responses = opener, []

    def open(self, req, timeout=None):
        resp = self.opener.open(req, timeout=timeout)
        self.responses.append(resp)
        return resp
