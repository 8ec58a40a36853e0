"""Lines of megabytes (a completion carrying a long output) are framed like
any other: split across thousands of reads, surrounded by small lines."""
import json
import os
import tracemalloc

import pytest

from sse_server import CUT_OFF, URL, FakeOpener, FakeResponse, completed, sse, text


def event(obj):
    return b"data: " + json.dumps(obj, ensure_ascii=False).encode() + b"\r\n\r\n"


@pytest.mark.parametrize("piece", [4096, 4093])
def test_megabyte_lines_between_small_ones(impl, monkeypatch, piece):
    long_text = ("é mot—" * 400_000)[:2_100_000]
    body = (event({"type": "response.output_text.delta", "delta": "a"})
            + event({"type": "response.output_text.delta", "delta": long_text})
            + event({"type": "response.output_text.delta", "delta": "b"}) * 3
            + event({"type": "response.completed", "response": {"usage": {"input_tokens": 1}}}))
    pieces = [body[i:i + piece] for i in range(0, len(body), piece)]
    monkeypatch.setattr(impl, "_urllib_opener_local", FakeOpener(FakeResponse(pieces)))
    log = {}
    deltas = list(impl.stream_raw(URL, {}, {}, log))
    assert [d.get("content") for d in deltas[:-1]] == ["a", long_text, "b", "b", "b"]
    assert deltas[-1]["_usage"] == {"prompt_tokens": 1, "completion_tokens": 0, "total_tokens": 1}
    assert log["raw_sse_count"] == 6 and len(log["raw_sse_tail"][0]) == 500


# -------------------------------------------------- the line buffer's size

class MidLine:
    """A body of comment lines read in pieces that all end inside a line,
    so the buffer never empties at a read."""

    LINE = b": " + b"x" * 997 + b"\n"

    def __init__(self, total):
        self.left, self.first, self.closed, self.reads = total, True, False, 0
        self.base = self.peak = self.rss()

    @staticmethod
    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.closed = True

    def read1(self, n=-1):
        if self.left <= 0:
            return b""
        size = len(self.LINE)
        piece = self.LINE[:size // 2] if self.first else self.LINE[size // 2:] + self.LINE[:size // 2]
        self.first = False
        self.left -= len(piece)
        self.reads += 1
        if self.reads % 1024 == 0:
            self.peak = max(self.peak, self.rss())
        return piece


@pytest.mark.skipif(os.environ.get("RESPONSES_API_SANITIZED") == "1", reason="sizes are meaningless under ASan")
def test_buffer_stays_small_when_no_read_ends_a_line(native, monkeypatch):
    resp = MidLine(64 * 1024 * 1024)
    monkeypatch.setattr(native, "_urllib_opener_local", type("O", (), {"open": lambda self, r, timeout: resp})())
    assert list(native.stream_raw(URL, {}, {})) == [CUT_OFF] and resp.closed
    grown = resp.peak - resp.base
    assert grown < 16 * 1024 * 1024, "the line buffer grew by %d bytes" % grown


def test_a_finished_stream_frees_its_line_buffer_at_once(impl, monkeypatch):
    """The buffer that framed a 4 MiB line is freed when the stream ends,
    not when the generator that is still held is."""
    body = sse(text("x" * (4 << 20)), completed())
    pieces = [body[i:i + 65536] for i in range(0, len(body), 65536)]
    monkeypatch.setattr(impl, "_urllib_opener_local", FakeOpener(FakeResponse(pieces)))
    del body, pieces
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        gen = impl.stream_raw(URL, {}, {})
        assert [len(d.get("content", "")) for d in gen] == [4 << 20, 0]
        held = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert held < 1 << 20, "%d bytes still held by the finished stream" % held
