"""The streaming request and its SSE reader: framing, capture, debug record,
request building and the response's `with` protocol (in-memory opener)."""
import json
import time

import pytest

from sse_server import CUT_OFF, URL, FakeOpener, FakeResponse1, completed, fin, ordered, sse, text


def D(t, sep=b" ", end=b"\n"):
    """One data line carrying a text event."""
    return b"data:" + sep + json.dumps(text(t), ensure_ascii=False).encode() + end


C = lambda t: {"content": t}  # noqa: E731
EV = b"event: response.output_text.delta\n"
NAMED = b'data: {"delta":"x"}\n'  # typed only through the event name
E_ACUTE = D("\u00e9")
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
    "event-name-unspaced-persists": ([b"event:response.output_text.delta  \n" + NAMED + NAMED], [C("x"), C("x"), CUT_OFF]),
    "type-beats-event-name": ([b"event: response.reasoning_text.delta\n" + D("a")], [C("a"), CUT_OFF]),
    "data-unspaced": ([D("a", b"")], [C("a"), CUT_OFF]),
    "data-many-spaces": ([D("a", b" \t  ")], [C("a"), CUT_OFF]),
    "done": ([D("a") + b"data: [DONE]\n" + D("b")], [C("a")]),
    "done-unspaced": ([D("a") + b"data:[DONE]\r\n" + D("b")], [C("a")]),
    "done-spaced": ([D("a") + b"data:   [DONE]   \n" + D("b")], [C("a")]),
    "invalid-json-and-empty-data": ([b"data: {nope\ndata:\ndata: [DONE]x\n" + D("a")], [C("a"), CUT_OFF]),
    "other-fields-and-comments": ([b": ping\nid: 5\nretry: 9\nDATA: {}\n data: " + D("a")[6:] + D("b")], [C("a"), C("b"), CUT_OFF]),
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
    captured = [s[:500] for s in data_strs(body)[:n + 1]][-10:]
    assert list(log) == ["kept", "body", "payload", "size", "url", "timestamp", "usage", "raw_sse_count", "raw_sse_tail"]
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
    "completed": ([sse(text("a")), sse(completed())],
                  START + ["read", "a", "read", "usage", "raw_sse_count", "raw_sse_tail", "stop"]),
    "done": ([sse(text("a")), b"data: [DONE]\n"], START + ["read", "a", "read", "raw_sse_count"]),
    "end-of-body": ([sse(text("a"))], START + ["read", "a", "read", "raw_sse_count", "error"]),
    "failed": ([sse(text("a")), sse({"type": "response.failed"})], START + ["read", "a", "read", "error"]),
    "error-event": ([sse(text("a")), sse({"type": "error"})], START + ["read", "a", "read", "error"]),
}


@pytest.mark.parametrize("pieces,expected", TIMING.values(), ids=TIMING.keys())
def test_debug_record_entries_are_written_between_the_reads_and_deltas_they_follow(impl, monkeypatch, pieces,
                                                                                    expected):
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


@pytest.mark.parametrize("fail_at,kept", [("body", []), ("size", ["body", "payload"]),
                                          ("timestamp", ["body", "payload", "size", "url"])])
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
    (req, timeout), = fake.opener.opened
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


@pytest.mark.parametrize("url,payload,exc", [(URL, {"x": object()}, TypeError), (URL, circular, ValueError),
                                             ("no-scheme", {}, ValueError)])
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
    (_, typ, val, tb), = resp.exits
    assert (typ, val) == (OSError, boom) and tb is not None
    assert resp.calls[0] == ("enter",) and resp.calls[-1][0] == "exit"


def test_exit_on_normal_end(run):
    deltas, resp = run([sse(text("a")), sse(text("b"))])
    assert resp.calls == [("enter",), ("read", 4096), ("read", 4096), ("read", 4096), ("exit", None, None, None)]
