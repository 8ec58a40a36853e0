"""Broken and hostile servers on 127.0.0.1. Every case ends with the stated
deltas, and either normally or with the stated exception out of the
generator; every response that was opened is closed; and both
implementations get exactly that."""

import gc
import socketserver
import threading
import warnings

import pytest

from sse_server import CUT_OFF, SSEServer, completed, fin, sse, text, Tracking

A, B = {"content": "a"}, {"content": "b"}
GOOD = sse(text("a"), text("b"), completed(input_tokens=2, output_tokens=1))
GOOD_DELTAS = [A, B, fin(prompt_tokens=2, completion_tokens=1, total_tokens=3)]
CHUNKED_HEAD = b"HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\n\r\n"
CREDENTIALS = {
    "Authorization": "Bearer s",
    "Proxy-Authorization": "Basic p",
    "Cookie": "c=1",
    "Api-Key": "k1",
    "x-api-key": "k2",
}
PLAIN = {"Content-Type": "application/json", "X-Trace": "t1"}


def chunk(b):
    return b"%x\r\n%s\r\n" % (len(b), b)


class RawServer(socketserver.ThreadingTCPServer):
    """Reads one request, then hands the socket to the script of its path."""

    daemon_threads = True
    allow_reuse_address = True

    def __init__(self):
        self.scripts, self.noticed, self.lines_sent = {}, threading.Event(), 0
        owner = self

        class Handler(socketserver.BaseRequestHandler):
            def handle(self):
                sock = self.request
                sock.settimeout(10)
                f = sock.makefile("rb")
                request_line = f.readline().decode("latin-1")
                length = 0
                for line in iter(f.readline, b"\r\n"):
                    if not line:
                        return
                    name, _, value = line.decode("latin-1").partition(":")
                    if name.strip().lower() == "content-length":
                        length = int(value)
                f.read(length)
                try:
                    owner.scripts[request_line.split()[1]](owner, sock)
                except OSError:  # the client went away
                    owner.noticed.set()

        super().__init__(("127.0.0.1", 0), Handler)
        self.thread = threading.Thread(target=self.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
        self.thread.start()

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.server_address[1], path)

    def stop(self):
        self.shutdown()
        self.server_close()
        self.thread.join(10)


def pings(server, sock):
    """Keep-alive comments without end, a text event every 100 of them; stops
    when the client goes away (or, at the latest, after 200,000 lines)."""
    sock.sendall(CHUNKED_HEAD)
    for i in range(200_000):
        sock.sendall(chunk(b": ping\n" if i % 100 else sse(text("p"))))
        server.lines_sent = i + 1


RAW = {
    "/headers-then-close": lambda s, sock: sock.sendall(CHUNKED_HEAD),
    "/headers-then-close-length": lambda s, sock: sock.sendall(
        b"HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nContent-Length: 500\r\n\r\n"
    ),
    "/no-reply": lambda s, sock: None,
    "/cut-chunked": lambda s, sock: sock.sendall(CHUNKED_HEAD + chunk(sse(text("a")) + b'data: {"type":"resp')),
    "/bad-chunked": lambda s, sock: sock.sendall(CHUNKED_HEAD + chunk(sse(text("a"))) + b"zz\r\nnot hex\r\n0\r\n\r\n"),
    "/pings": pings,
}


@pytest.fixture(scope="module")
def servers():
    s, other, raw = SSEServer().start(), SSEServer().start(), RawServer()
    raw.scripts.update(RAW)
    s.route("/one-byte", *[GOOD[i : i + 1] for i in range(len(GOOD))])
    s.route("/cut-line", sse(text("a")), b'data: {"type":"response.output_text.delta","del', mode="close")
    s.route(
        "/garbage",
        b"\x00\xff\xfe\x89PNG\r\n\x1a\n" + bytes(range(256)) + b"\n" + sse(text("a")) + b"\xc3(" * 50,
        mode="close",
    )
    s.route(
        "/down",
        b"<html><body><h1>503 Service Unavailable</h1></body></html>",
        status=503,
        headers={"Content-Type": "text/html"},
        mode="length",
    )
    s.redirect("/loop", 307, "/loop")
    s.redirect("/same-origin", 307, s.url("/v1/responses"))
    s.redirect("/other-origin", 308, other.url("/v1/responses"))
    s.route("/v1/responses", GOOD)
    other.route("/v1/responses", GOOD)
    yield s, other, raw
    for x in (s, other, raw):
        x.stop()


# (case, server, path, deltas, exception type out of the generator or None)
CASES = [
    ("one-byte chunks", 0, "/one-byte", GOOD_DELTAS, None),
    ("cut mid-line, close-delimited", 0, "/cut-line", [A, CUT_OFF], None),
    ("cut mid-line, chunked", 2, "/cut-chunked", [A], "IncompleteRead"),
    ("invalid chunk size", 2, "/bad-chunked", [A], "IncompleteRead"),
    ("binary garbage", 0, "/garbage", [A, CUT_OFF], None),
    ("closed after the headers, chunked", 2, "/headers-then-close", [], "IncompleteRead"),
    # read1 reports a body shorter than its Content-Length as a plain end:
    # with no terminal event, that is a cut-off reply
    ("closed after the headers, with a length", 2, "/headers-then-close-length", [CUT_OFF], None),
    ("closed before any reply", 2, "/no-reply", [], "RemoteDisconnected"),
    ("redirect loop", 0, "/loop", [], "HTTPError"),
    ("5xx with an HTML body", 0, "/down", [], "HTTPError"),
    ("redirect within the origin", 0, "/same-origin", GOOD_DELTAS, None),
    ("redirect to another origin", 0, "/other-origin", GOOD_DELTAS, None),
]


@pytest.fixture
def tracked(impl, monkeypatch):
    t = Tracking(impl._urllib_opener_local)
    monkeypatch.setattr(impl, "_urllib_opener_local", t)
    return t


@pytest.mark.parametrize("case, which, path, deltas, exc", CASES, ids=[c[0] for c in CASES])
def test_hostile_server(impl, servers, tracked, case, which, path, deltas, exc):
    server = servers[which]
    headers = dict(PLAIN, **CREDENTIALS)
    seen, raised = [], None
    n_requests = [len(s.requests) for s in servers[:2]]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            for d in impl.stream_raw(server.url(path), headers, {"model": "m"}):
                seen.append(d)
        except Exception as e:  # noqa: BLE001 - its type is checked below
            raised = e
        assert (seen, type(raised).__name__ if raised else None) == (deltas, exc)
        if raised is not None and hasattr(raised, "close"):
            assert raised.code == {"/loop": 307, "/down": 503}[path]
            raised.close()
        del raised
        gc.collect()
    assert [str(w.message) for w in caught] == []
    assert all(r.closed for r in tracked.responses)
    if path.endswith("origin"):
        first, second = (s.requests[n:] for s, n in zip(servers[:2], n_requests))
        final = (first if path == "/same-origin" else second)[-1]
        assert (final.method, final.body) == ("POST", b'{"model":"m"}')
        sent = {k: v for k, v in final.headers.items() if k in {n.lower() for n in headers}}
        kept = headers if path == "/same-origin" else PLAIN
        assert sent == {k.lower(): v for k, v in kept.items()}


def test_endless_keepalive_comments_cut_off_by_close(impl, servers, tracked):
    raw = servers[2]
    raw.noticed.clear()
    g = impl.stream_raw(raw.url("/pings"), {}, {})
    for _ in range(20):  # 20 text events: about 2,000 lines
        assert next(g) == {"content": "p"}
    g.close()
    assert tracked.responses[0].closed
    assert raw.noticed.wait(10), "the server did not see the client go"
    assert 1_900 <= raw.lines_sent < 200_000
    assert list(g) == []
