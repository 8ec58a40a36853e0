"""Lines of megabytes (a completion carrying a long output) are framed like
any other: split across thousands of reads, surrounded by small lines."""

import json
import os
import tracemalloc

import pytest

from sse_server import CUT_OFF, URL, FakeOpener, FakeResponse, completed, sse, text


from sse_server import FakeResponse1


def event(obj):
    return b"data: " + json.dumps(obj, ensure_ascii=False).encode() + b"\r\n\r\n"


@pytest.mark.parametrize("piece", [4096, 4093])
def test_megabyte_lines_between_small_ones(impl, monkeypatch, piece):
    long_text = ("é mot—" * 400_000)[:2_100_000]
    body = (
        event({"type": "response.output_text.delta", "delta": "a"})
        + event({"type": "response.output_text.delta", "delta": long_text})
        + event({"type": "response.output_text.delta", "delta": "b"}) * 3
        + event({"type": "response.completed", "response": {"usage": {"input_tokens": 1}}})
    )
    pieces = [body[i : i + piece] for i in range(0, len(body), piece)]
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
        piece = self.LINE[: size // 2] if self.first else self.LINE[size // 2 :] + self.LINE[: size // 2]
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
    pieces = [body[i : i + 65536] for i in range(0, len(body), 65536)]
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


class Chunks(FakeResponse1):
    """Hands out the given chunks whole, whatever size each read asks for
    (a read1 may return more than it was asked for)."""

    def read1(self, n=-1):
        self.calls.append(("read1", n))
        return self.pieces.pop(0) if self.pieces else b""


MIB = 1 << 20
SMALL = event({"type": "response.output_text.delta", "delta": "s"})


HEAD, TAIL = b'data: {"type": "response.output_text.delta", "delta": "', b'"}\n\n'


def big_event(size):
    """One text delta event of `size` bytes, its line and the blank one after it."""
    return HEAD + b"x" * (size - len(HEAD) - len(TAIL)) + TAIL


# Reads larger than the 4096 bytes asked for: the buffer grows past its
# doubling step in one append, at the start, after a partial line, and
# after a compaction.
@pytest.mark.parametrize(
    "chunks",
    [
        lambda: [big_event(2 * MIB)],
        lambda: [SMALL[:7], SMALL[7:] + big_event(2 * MIB) + SMALL[:3], SMALL[3:]],
        lambda: [SMALL * 300, big_event(8193) * 3, big_event(2 * MIB + 1)[:-5], big_event(2 * MIB + 1)[-5:] + SMALL],
        lambda: [b"".join([SMALL, big_event(3 * MIB), SMALL, big_event(16385)]) * 2],
    ],
    ids=["one-chunk", "after-a-partial-line", "after-compaction", "many-in-one"],
)
def test_reads_larger_than_asked_for(impl, monkeypatch, chunks):
    pieces = chunks()
    expected = [json.loads(line[6:]) for line in b"".join(pieces).split(b"\n") if line.startswith(b"data: ")]
    monkeypatch.setattr(impl, "_urllib_opener_local", FakeOpener(Chunks(pieces)))
    deltas = list(impl.stream_raw(URL, {}, {}))
    assert [d["content"] for d in deltas[:-1]] == [e["delta"] for e in expected]
    assert deltas[-1]["_finish_reason"] == "error"  # the body ended without a terminal event


# Framing costs time linear in what it reads: every byte is searched for a
# newline once, the live bytes are moved (compaction, reallocation) a
# bounded number of times each, and the buffer grows by doubling. Counted
# by the checked builds (sanitizer, coverage, mutation), not timed.
@pytest.mark.parametrize("line_size,read_size", [(32 * MIB, 4096), (32 * MIB, 4093), (MIB, 4096), (MIB // 4, 1)])
def test_framing_stays_linear(native, monkeypatch, line_size, read_size):
    counts = getattr(native, "_checked_counts", None)
    if counts is None:
        pytest.skip("counters: checked builds only")
    body = SMALL + big_event(line_size) + SMALL
    pieces = [body[i : i + read_size] for i in range(0, len(body), read_size)]
    monkeypatch.setattr(native, "_urllib_opener_local", FakeOpener(FakeResponse1(pieces)))
    before = counts()
    deltas = list(native.stream_raw(URL, {}, {}))
    after = counts()
    assert [len(d.get("content", "")) for d in deltas] == [1, line_size - len(HEAD) - len(TAIL), 1, 0]
    scanned, moved, grown = (after[k] - before[k] for k in ("scanned", "moved", "grown"))
    assert scanned <= len(body)
    assert moved <= 3 * line_size
    assert grown <= (line_size // 8192).bit_length() + 2
