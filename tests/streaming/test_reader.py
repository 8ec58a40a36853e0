"""The streaming request and its SSE reader: framing, capture, debug record,
request building and the response's `with` protocol (in-memory opener)."""

import json
import sys
import time

import pytest

from helpers import NEAR_MISSES, WHITESPACE, stream_result
from sse_server import CUT_OFF, URL, FakeOpener, FakeResponse, FakeResponse1, completed, fin, ordered, sse, text


def D(t, sep=b" ", end=b"\n"):
    """One data line carrying a text event."""
    return b"data:" + sep + json.dumps(text(t), ensure_ascii=False).encode() + end


C = lambda t: {"content": t}  # noqa: E731
EV = b"event: response.output_text.delta\n"
NAMED = b'data: {"delta":"x"}\n'  # typed only through the event name
E_ACUTE = D("\u00e9")
COMPLETION = sse(completed())
CUT = E_ACUTE.index(b"\xc3") + 1

FRAMING = {
    "crlf": ([b"event: response.created\r\n" + D("a", end=b"\r\n") + b"\r\n"], [C("a"), CUT_OFF]),
    "cr-alone-is-no-line-end": ([D("a", end=b"\r") + D("b")], [CUT_OFF]),
    "line-split-across-reads": ([D("ab")[:9], D("ab")[9:20], D("ab")[20:]], [C("ab"), CUT_OFF]),
    "utf8-char-split-across-reads": ([E_ACUTE[:CUT], E_ACUTE[CUT:]], [C("\u00e9"), CUT_OFF]),
    "undecodable-line-keeps-event": ([EV + b"\xff\xfe junk\n" + NAMED], [C("x"), CUT_OFF]),
    "blank-line-resets-event": ([EV + b"\n" + NAMED], [CUT_OFF]),
    "blank-crlf-line-resets-event": ([EV + b"  \r\n" + NAMED], [CUT_OFF]),
    "empty-event-name": ([EV + b"event:\n" + NAMED], [CUT_OFF]),
    "event-name-unspaced-persists": (
        [b"event:response.output_text.delta  \n" + NAMED + NAMED],
        [C("x"), C("x"), CUT_OFF],
    ),
    "type-beats-event-name": ([b"event: response.reasoning_text.delta\n" + D("a")], [C("a"), CUT_OFF]),
    "data-unspaced": ([D("a", b"")], [C("a"), CUT_OFF]),
    "data-many-spaces": ([D("a", b" \t  ")], [C("a"), CUT_OFF]),
    "done": ([D("a") + b"data: [DONE]\n" + D("b")], [C("a")]),
    "done-unspaced": ([D("a") + b"data:[DONE]\r\n" + D("b")], [C("a")]),
    "done-spaced": ([D("a") + b"data:   [DONE]   \n" + D("b")], [C("a")]),
    "invalid-json-and-empty-data": ([b"data: {nope\ndata:\ndata: [DONE]x\n" + D("a")], [C("a"), CUT_OFF]),
    "other-fields-and-comments": (
        [b": ping\nid: 5\nretry: 9\nDATA: {}\n data: " + D("a")[6:] + D("b")],
        [C("a"), C("b"), CUT_OFF],
    ),
    "prefix-case-sensitive": ([b"Event: response.output_text.delta\n" + NAMED], [CUT_OFF]),
    "unterminated-last-line": ([D("a") + D("b", end=b"")], [C("a"), CUT_OFF]),
    "empty-body": ([], [CUT_OFF]),
}


@pytest.mark.parametrize("pieces,expected", FRAMING.values(), ids=FRAMING.keys())
def test_framing(run, pieces, expected):
    deltas, _ = run(pieces)
    assert ordered(deltas) == ordered(expected)


def padded(i):
    return dict(text("t%d" % i), pad="p" * 600)


def data_strs(body):
    return [l[5:].strip().decode() for l in body.split(b"\n") if l.startswith(b"data:")]


@pytest.mark.parametrize("n", [3, 12])
def test_debug_record_on_completion(run, monkeypatch, n):
    monkeypatch.setattr(time, "time", lambda: 1234.5)
    payload = {"model": "m", "input": "\u00e9\u2713"}
    body = sse(*[padded(i) for i in range(n)], completed(input_tokens=2, output_tokens=3)) + D("late")
    log = {"kept": 1}
    deltas, _ = run(body, log, payload)
    assert deltas == [C("t%d" % i) for i in range(n)] + [fin(prompt_tokens=2, completion_tokens=3, total_tokens=5)]
    want_body = json.dumps(payload, ensure_ascii=False, separators=(",", ":")).encode()
    captured = [s[:500] for s in data_strs(body)[: n + 1]][-10:]
    assert list(log) == [
        "kept",
        "body",
        "payload",
        "size",
        "url",
        "timestamp",
        "usage",
        "raw_sse_count",
        "raw_sse_tail",
    ]
    assert log["body"] == want_body and log["size"] == len(want_body) > len(want_body.decode())
    assert log["payload"] is payload and log["url"] == URL and log["timestamp"] == 1234.5
    assert log["usage"] is deltas[-1]["_usage"]
    assert log["raw_sse_count"] == len(captured) == min(n + 1, 10)
    assert log["raw_sse_tail"] == captured[-5:] and all(len(s) <= 500 for s in captured)


ENDS = {  # body -> what an empty (falsy) debug record holds afterwards
    "done": (D("a") + b"data: [DONE]\n", {"raw_sse_count": 1}),
    "end-of-body": (b"data: {bad\n" + D("a") + D("b"), {"raw_sse_count": 2}),
    "done-first": (b"data: [DONE]\n", {"raw_sse_count": 0}),
    "failed": (sse({"type": "response.failed"}), {}),
    "error-event": (sse({"type": "error", "message": "m"}), {}),
}


@pytest.mark.parametrize("body,expected", ENDS.values(), ids=ENDS.keys())
def test_debug_record_of_empty_logger(run, body, expected):
    log = {}
    run(body, log)
    assert log == expected


class Timed(FakeResponse1):
    """Notes each read on the shared timeline."""

    def __init__(self, pieces, timeline):
        super().__init__(pieces)
        self.timeline = timeline

    def read1(self, n=-1):
        self.timeline.append("read")
        return super().read1(n)


class TimedRecord(dict):
    """A debug record that notes each entry written on the shared timeline."""

    def __init__(self, timeline):
        super().__init__(kept=1)  # truthy: the start entries are written
        self.timeline = timeline

    def __setitem__(self, key, value):
        self.timeline.append(key)
        super().__setitem__(key, value)


START = ["body", "payload", "size", "url", "timestamp"]
# pieces, one a read -> every read, entry written and delta received, in order
TIMING = {
    "completed": (
        [sse(text("a")), sse(completed())],
        START + ["read", "a", "read", "usage", "raw_sse_count", "raw_sse_tail", "stop"],
    ),
    "done": ([sse(text("a")), b"data: [DONE]\n"], START + ["read", "a", "read", "raw_sse_count"]),
    "end-of-body": ([sse(text("a"))], START + ["read", "a", "read", "raw_sse_count", "error"]),
    "failed": ([sse(text("a")), sse({"type": "response.failed"})], START + ["read", "a", "read", "error"]),
    "error-event": ([sse(text("a")), sse({"type": "error"})], START + ["read", "a", "read", "error"]),
}


@pytest.mark.parametrize("pieces,expected", TIMING.values(), ids=TIMING.keys())
def test_debug_record_entries_are_written_between_the_reads_and_deltas_they_follow(impl, monkeypatch, pieces, expected):
    timeline = []
    monkeypatch.setattr(impl, "_urllib_opener_local", FakeOpener(Timed(pieces, timeline)))
    for delta in impl.stream_raw(URL, {}, {}, TimedRecord(timeline)):
        timeline.append(delta.get("content") or delta["_finish_reason"])
    assert timeline == expected


class Picky(dict):
    fail_at = None

    def __setitem__(self, key, value):
        if key == self.fail_at:
            raise KeyError(key)
        super().__setitem__(key, value)


@pytest.mark.parametrize(
    "fail_at,kept", [("body", []), ("size", ["body", "payload"]), ("timestamp", ["body", "payload", "size", "url"])]
)
def test_failing_start_entry_is_absorbed(run, fail_at, kept):
    log = Picky(x=0)
    log.fail_at = fail_at
    deltas, _ = run(sse(text("a"), completed()), log)
    assert deltas == [C("a"), fin()]
    assert list(log) == ["x"] + kept + ["usage", "raw_sse_count", "raw_sse_tail"]


@pytest.mark.parametrize("end", [sse(completed()), b"data: [DONE]\n", b""])
def test_logger_without_item_assignment_raises_at_later_write(impl, fake, end):
    resp = fake([sse(text("a")) + end])
    g = impl.stream_raw(URL, {}, {}, [0])  # truthy; item assignment with a str key fails
    assert next(g) == C("a")
    with pytest.raises(TypeError):
        next(g)  # the finish delta of a completion is never yielded
    assert resp.exits[0][1] is TypeError
    assert list(g) == []


@pytest.mark.parametrize("read1", [False, True])
def test_reads_4096_preferring_read1(run, read1):
    body = sse(*[text("%04d" % i) for i in range(400)])
    deltas, resp = run(body, read1=read1)
    assert len(body) > 3 * 4096 and len(deltas) == 401
    assert resp.reads == [("read1" if read1 else "read", 4096)] * (-(-len(body) // 4096) + 1)


def test_request(impl, fake):
    payload = {"model": "m", "input": [{"role": "user", "content": "h\u00e9llo \u2713"}], "z": None, "a": 1.5}
    headers = {"Authorization": "Bearer k", "X-Trace": "t"}
    fake([sse(completed())])
    g = impl.stream_raw(URL, headers, payload)
    assert fake.opener.opened == []  # nothing is sent before the first next()
    assert next(g) == fin()
    ((req, timeout),) = fake.opener.opened
    assert timeout == 300 and req.get_method() == "POST" and req.full_url == URL
    assert req.data == '{"model":"m","input":[{"role":"user","content":"h\u00e9llo \u2713"}],"z":null,"a":1.5}'.encode()
    assert dict(req.header_items()) == {"Authorization": "Bearer k", "X-trace": "t"}
    assert headers == {"Authorization": "Bearer k", "X-Trace": "t"}


@pytest.mark.parametrize("stream", [True, 1, "yes", False, 0, None])
def test_build_payload_stream_flag(impl, stream):
    payload = impl.build_payload([{"role": "user", "content": "hi"}], {}, stream=stream)
    assert "stream_options" not in payload and payload.get("stream") is (True if stream else None)


circular = []
circular.append(circular)


@pytest.mark.parametrize(
    "url,payload,exc", [(URL, {"x": object()}, TypeError), (URL, circular, ValueError), ("no-scheme", {}, ValueError)]
)
def test_start_failures_surface_at_first_next(impl, fake, url, payload, exc):
    fake([sse(completed())])
    log = {"x": 0}
    g = impl.stream_raw(url, {}, payload, log)
    with pytest.raises(exc):
        next(g)
    assert fake.opener.opened == []
    assert list(log) == (["x"] if url == URL else ["x", "body", "payload", "size", "url", "timestamp"])


@pytest.mark.parametrize("exit_result", [None, False, True])
def test_with_protocol(impl, fake, exit_result):
    boom = OSError("reset")
    resp = fake([sse(text("a")), boom], exit_result=exit_result)
    g = impl.stream_raw(URL, {}, {})
    assert next(g) == C("a")
    if exit_result:
        assert list(g) == []  # the exit swallowed the error: a normal finish, no further delta
    else:
        with pytest.raises(OSError) as ei:
            next(g)
        assert ei.value is boom
    ((_, typ, val, tb),) = resp.exits
    assert (typ, val) == (OSError, boom) and tb is not None
    assert resp.calls[0] == ("enter",) and resp.calls[-1][0] == "exit"


def test_exit_on_normal_end(run):
    deltas, resp = run([sse(text("a")), sse(text("b"))])
    assert resp.calls == [("enter",), ("read", 4096), ("read", 4096), ("read", 4096), ("exit", None, None, None)]


# ------------------------ line edges strip() removes, reads of other types


def frames(module, monkeypatch, body):
    monkeypatch.setattr(module, "_urllib_opener_local", FakeOpener(FakeResponse([body])))
    return ordered(list(module.stream_raw(URL, {}, {})))


EDGE_DATA = b'data: {"type":"response.output_text.delta","delta":"x"}'
EDGE_NAMED = b'data: {"delta":"y"}\n'  # typed only through the event name
EDGE_EVENT = b"event: response.output_text.delta"


@pytest.mark.parametrize("ws", WHITESPACE, ids=lambda c: "U+%04X" % ord(c))
def test_line_edges_are_stripped_as_str_strip_does(native, twin, monkeypatch, ws):
    w = ws.encode()
    bodies = [
        w + EDGE_DATA + b"\n",
        EDGE_DATA + w + b"\n",
        w + EDGE_DATA + w + w + b"\n",  # data lines
        b"data:" + w + b'{"type":"response.output_text.delta","delta":"z"}\n',
        w + EDGE_EVENT + b"\n" + EDGE_NAMED,
        EDGE_EVENT + w + b"\n" + EDGE_NAMED,  # event lines
        b"event:" + w + b"response.output_text.delta" + w + b"\n" + EDGE_NAMED,
        EDGE_EVENT + b"\n" + w + b"\n" + EDGE_NAMED,  # a blank line of it
        b"data: " + w + b"[DONE]" + w + b"\n" + EDGE_DATA + b"\n",
    ]
    for body in bodies:
        expected = frames(twin, monkeypatch, body)
        assert frames(native, monkeypatch, body) == expected, body
    # the edge is whitespace: the line means what it means without it
    assert frames(twin, monkeypatch, EDGE_DATA + w + b"\n") == frames(twin, monkeypatch, EDGE_DATA + b"\n")


@pytest.mark.parametrize("edge", NEAR_MISSES, ids=lambda c: "U+%04X" % ord(c))
def test_line_edges_strip_keeps(native, twin, monkeypatch, edge):
    e = edge.encode()
    for body in (
        e + EDGE_DATA + b"\n",
        EDGE_DATA + e + b"\n",
        EDGE_EVENT + e + b"\n" + EDGE_NAMED,
        b"data: " + e + b"[DONE]\n",
    ):
        assert frames(native, monkeypatch, body) == frames(twin, monkeypatch, body), body


class Chunks(FakeResponse1):
    """Reads hand out each piece converted by `kind`."""

    def __init__(self, pieces, kind):
        super().__init__(pieces)
        self.kind = kind

    def read1(self, n=-1):
        piece = super().read1(n)
        return self.kind(piece) if piece else piece


@pytest.mark.parametrize("kind", [bytearray, memoryview, lambda b: memoryview(bytearray(b))])
def test_reads_returning_other_bytes_like_objects(impl, monkeypatch, kind):
    deltas, result = stream_result(
        impl, monkeypatch, Chunks([sse(text("a")), b"data: ", sse(text("b"))[6:], COMPLETION], kind)
    )
    assert (deltas, result[0]) == ([C("a"), C("b"), fin()], "value")


def test_read_returning_text_fails(impl, monkeypatch):
    resp = Chunks([sse(text("a"))], lambda b: b.decode())
    deltas, result = stream_result(impl, monkeypatch, resp)
    assert (deltas, result[:2]) == ([], ("raise", TypeError)) and resp.closed


@pytest.mark.parametrize(
    "line,deltas",
    [
        ("\u00e9 not a field", [C("b")]),  # non-ASCII first: decoded, then ignored
        ("comment \u00e9", [C("b")]),
        ("\u00a0data: " + json.dumps(text("a")), [C("a"), C("b")]),  # str.strip() removes NO-BREAK SPACE
        ("data: " + json.dumps(text("a")) + "\u2003", [C("a"), C("b")]),
        ("\u3000event: response.output_text.delta\u3000", [C("b")]),
        ("\u00a0\u00a0", [C("b")]),
    ],
)
def test_lines_with_non_ascii_at_their_ends(impl, monkeypatch, line, deltas):
    body = line.encode() + b"\n" + sse(text("b")) + COMPLETION
    got, result = stream_result(impl, monkeypatch, FakeResponse1([body]))
    assert (got, result[0]) == (deltas + [fin()], "value")


# -------------- debug record: what ends the start entries, what propagates


class Text(str):
    """json.dumps text whose encode() gives something without a length."""

    def encode(self, *args):
        return object()


class LenlessJson:
    JSONDecodeError = json.JSONDecodeError
    loads = staticmethod(json.loads)

    @staticmethod
    def dumps(obj, **kw):
        return Text(json.dumps(obj, **kw))


def test_body_without_length_ends_the_start_entries(impl, monkeypatch):
    monkeypatch.setattr(impl, "json", LenlessJson)
    logger = {"x": 1}
    deltas, result = stream_result(impl, monkeypatch, FakeResponse1([sse(text("a")), COMPLETION]), logger)
    assert (deltas, result[0]) == ([C("a"), fin()], "value")
    assert list(logger) == ["x", "body", "payload", "usage", "raw_sse_count", "raw_sse_tail"]


class Stop(BaseException):
    pass


def test_debug_record_write_raising_a_base_exception_propagates(impl, monkeypatch):
    """The start entries absorb an Exception only."""

    class Logger(dict):
        def __setitem__(self, key, value):
            if key == "payload":
                raise Stop(key)
            super().__setitem__(key, value)

    resp = FakeResponse([sse(text("a"))])
    monkeypatch.setattr(impl, "_urllib_opener_local", FakeOpener(resp))
    g = impl.stream_raw(URL, {}, {}, Logger(x=1))
    with pytest.raises(Stop):
        next(g)


# ---------------------------------------------------- odd context managers


class Enter:
    """A plain callable as a class's __enter__ or __exit__: no descriptor,
    so it is called without the instance."""

    def __init__(self, result):
        self.result, self.calls = result, []

    def __call__(self, *args):
        self.calls.append(args)
        return self.result


class Bound:
    """A method whose binding is recorded: the with statement binds each
    special method as it finds it."""

    def __init__(self, name, binds):
        self.name, self.binds = name, binds

    def __get__(self, obj, owner=None):
        self.binds.append(self.name)
        return lambda *args: obj if self.name == "__enter__" else None


NO_CM = "'{}' object does not support the context manager protocol"
ASYNC_HINT = " but it supports the asynchronous context manager protocol. Did you mean to use 'async with'?"


# (the methods the class has; 3.13's message and bindings; 3.14's): 3.13
# names the class by its name and takes __enter__ first, 3.14 by module and
# qualified name, __exit__ first, and hints at `async with`.
@pytest.mark.parametrize(
    "methods, py313, py314",
    [
        (["__exit__"], (NO_CM, []), (NO_CM + " (missed __enter__ method)", ["__exit__"])),
        (
            ["__enter__"],
            (NO_CM + " (missed __exit__ method)", ["__enter__"]),
            (NO_CM + " (missed __exit__ method)", []),
        ),
        ([], (NO_CM, []), (NO_CM + " (missed __exit__ method)", [])),
        (["__aenter__", "__aexit__"], (NO_CM, []), (NO_CM + " (missed __exit__ method)" + ASYNC_HINT, [])),
        (
            ["__aenter__", "__aexit__", "__exit__"],
            (NO_CM, []),
            (NO_CM + " (missed __enter__ method)" + ASYNC_HINT, ["__exit__"]),
        ),
        (["__aenter__"], (NO_CM, []), (NO_CM + " (missed __exit__ method)", [])),
    ],
    ids=["no __enter__", "no __exit__", "neither", "async only", "async and __exit__", "__aenter__ only"],
)
def test_response_that_is_no_context_manager(impl, monkeypatch, methods, py313, py314):
    binds = []
    attrs = {name: Bound(name, binds) for name in methods}
    attrs["read"] = lambda self, n: b""
    cls = type("Reply", (), attrs)
    deltas, result = stream_result(impl, monkeypatch, cls())
    if sys.version_info >= (3, 14):
        message, bound = py314
        message = message.format(cls.__module__ + "." + cls.__qualname__)
    else:
        message, bound = py313
        message = message.format(cls.__name__)
    assert (deltas, result[:3], binds) == ([], ("raise", TypeError, message), bound)


def test_non_descriptor_enter_and_exit(impl, monkeypatch):
    body = FakeResponse1([sse(text("a")), COMPLETION])
    enter, exit_ = Enter(body), Enter(None)
    reply = type("Reply", (), {"__enter__": enter, "__exit__": exit_})()
    deltas, result = stream_result(impl, monkeypatch, reply)
    assert (deltas, result[0]) == ([C("a"), fin()], "value")
    assert enter.calls == [()] and exit_.calls == [(None, None, None)]


def test_response_whose_read1_lookup_fails(impl, monkeypatch):
    """hasattr() lets every error but AttributeError through: it is raised
    inside the `with` block, so the response is still closed."""

    class Broken(FakeResponse1):
        @property
        def read1(self):
            raise LookupError("read1")

    resp = Broken([sse(text("a"))])
    monkeypatch.setattr(impl, "_urllib_opener_local", FakeOpener(resp))
    with pytest.raises(LookupError):
        next(impl.stream_raw(URL, {}, {}))
    assert resp.exits[0][1] is LookupError
