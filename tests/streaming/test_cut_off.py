"""Replies cut off before their terminal event, served by a real local server
under each HTTP framing: the stream must end in an error the host can tell
from a complete reply."""

import socket
import threading

import pytest

from sse_server import CUT_OFF, completed, fin, ordered, sse, text

CALL = [
    {
        "type": "response.output_item.added",
        "output_index": 1,
        "item": {"type": "function_call", "id": "fc_1", "call_id": "call_1", "name": "f", "arguments": ""},
    },
    {"type": "response.function_call_arguments.delta", "output_index": 1, "item_id": "fc_1", "delta": '{"a":'},
    {"type": "response.function_call_arguments.delta", "output_index": 1, "item_id": "fc_1", "delta": "1}"},
]
WHOLE = sse(text("Hel"), text("lo"), *CALL, completed(input_tokens=3, output_tokens=4))
TC = lambda i, id, n="", a="": {"tool_calls": [{"index": i, "id": id, "function": {"name": n, "arguments": a}}]}  # noqa: E731
DELTAS = [
    {"content": "Hel"},
    {"content": "lo"},
    TC(0, "call_1", "f"),
    TC(0, "call_1", "", '{"a":'),
    TC(0, "call_1", "", "1}"),
]


def cut_at(what):
    """(body cut short, the deltas it still yields)."""
    blocks = WHOLE.split(b"\n\n")
    if what == "between-events":
        return b"\n\n".join(blocks[:2]) + b"\n\n", DELTAS[:2]
    if what == "mid-event":  # inside the data line of the second text event
        body = b"\n\n".join(blocks[:1]) + b"\n\n" + blocks[1][:40]
        return body, DELTAS[:1]
    if what == "mid-call":  # after the first argument fragment
        return b"\n\n".join(blocks[:4]) + b"\n\n", DELTAS[:4]
    if what == "terminal-without-newline":  # discarded: the line never ended
        return WHOLE.rstrip(b"\n"), DELTAS
    raise AssertionError(what)


CUTS = ["between-events", "mid-event", "mid-call", "terminal-without-newline"]


@pytest.mark.parametrize("mode", ["length", "chunked", "close"])
@pytest.mark.parametrize("what", CUTS)
def test_cut_body_ends_in_error(impl, server, mode, what):
    body, deltas = cut_at(what)
    url = server.route("/v1/responses", body[:25], body[25:], mode=mode)
    log = {}
    got = list(impl.stream_raw(url, {}, {"stream": True}, log))
    assert ordered(got) == ordered(deltas + [CUT_OFF])
    assert log["raw_sse_count"] == len(deltas)  # one event per delta here


def test_complete_body_is_unchanged(impl, server):
    url = server.route("/v1/responses", WHOLE, mode="length")
    got = list(impl.stream_raw(url, {}, {}))
    assert ordered(got) == ordered(DELTAS + [fin("tool_calls", prompt_tokens=3, completion_tokens=4, total_tokens=7)])


def test_done_marker_still_ends_without_a_finish_delta(impl, server):
    url = server.route("/v1/responses", sse(text("a")) + b"data: [DONE]\n\n", mode="close")
    assert list(impl.stream_raw(url, {}, {})) == [{"content": "a"}]


@pytest.fixture
def short_length_server():
    """A server whose body stops before its Content-Length (an upstream that
    died behind a proxy)."""
    listener = socket.create_server(("127.0.0.1", 0))
    body, _ = cut_at("mid-call")

    def serve():
        conn, _ = listener.accept()
        with conn:
            request = b""
            while b"\r\n\r\n" not in request:
                request += conn.recv(65536)
            head, _, got = request.partition(b"\r\n\r\n")
            length = int(head.lower().split(b"content-length:")[1].split(b"\r\n")[0])
            while len(got) < length:
                got += conn.recv(65536)
            head = b"HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nContent-Length: %d\r\n\r\n" % (
                len(body) + 500
            )
            conn.sendall(head + body)

    t = threading.Thread(target=lambda: [serve() for _ in range(2)], daemon=True)
    t.start()
    yield "http://127.0.0.1:%d/v1/responses" % listener.getsockname()[1]
    listener.close()
    t.join(5)


def test_body_shorter_than_its_length(native, twin, short_length_server):
    for impl in (native, twin):
        got = list(impl.stream_raw(short_length_server, {}, {"stream": True}))
        assert ordered(got) == ordered(DELTAS[:4] + [CUT_OFF])
