"""Streams ended every possible way, many times over: the response is closed
each time, and nothing is left behind (memory, references to the inputs and
to the exception being handled around a close or throw, file descriptors,
unclosed-resource warnings)."""

import gc
import os
import subprocess
import sys
import tracemalloc
import urllib.error
import warnings

import pytest

from sse_server import (
    CUT_OFF,
    SSEServer,
    ZERO,
    FakeResponse,
    FakeResponse1,
    completed,
    err,
    fin,
    sse,
    text,
    Tracking,
)

PAGE = os.sysconf("SC_PAGE_SIZE")
# Under AddressSanitizer freed memory sits in quarantine: RSS says nothing there.
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")
HI = sse(text("hi"))
SUMMARY = "response.reasoning_summary_text.delta"
# Summary deltas over two parts of one item, the same summary again whole at
# its done event (already streamed: nothing), then another item's summary
# sent only whole.
REASONING = sse(
    {"type": SUMMARY, "output_index": 0, "summary_index": 0, "delta": "Plan"},
    {"type": SUMMARY, "output_index": 0, "summary_index": 0, "delta": "ning"},
    {"type": SUMMARY, "output_index": 0, "summary_index": 1, "delta": "Check"},
    {
        "type": "response.output_item.done",
        "output_index": 0,
        "item": {
            "type": "reasoning",
            "summary": [{"type": "summary_text", "text": "Planning"}, {"type": "summary_text", "text": "Check"}],
        },
    },
    {
        "type": "response.output_item.done",
        "output_index": 1,
        "item": {
            "type": "reasoning",
            "summary": [{"type": "summary_text", "text": "Whole"}, {"type": "summary_text", "text": "two"}],
        },
    },
)
REASONED = [
    {"reasoning_content": "Plan"},
    {"reasoning_content": "ning"},
    {"reasoning_content": "\n\nCheck"},
    {"reasoning_content": "\n\nWhole\n\ntwo"},
    {"content": "hi"},
]
FAILED_WITH_USAGE = sse(
    {
        "type": "response.failed",
        "response": {"error": {"message": "boom"}, "usage": {"input_tokens": 3, "output_tokens": 2}},
    }
)
BILLED_FAILURE = dict(
    err("Responses API response.failed: boom"), _usage=dict(prompt_tokens=3, completion_tokens=2, total_tokens=5)
)
# Two parallel calls at a shared output index, and usage with token details.
DETAILS = {"input_tokens_details": {"cached_tokens": 2}, "output_tokens_details": {"reasoning_tokens": 1}}
SHARED_INDEX = sse(
    *[
        dict(e, output_index=0)
        for e in (
            {
                "type": "response.output_item.added",
                "item": {"type": "function_call", "id": "fc_1", "call_id": "c1", "name": "f"},
            },
            {
                "type": "response.output_item.added",
                "item": {"type": "function_call", "id": "fc_2", "call_id": "c2", "name": "g"},
            },
            {"type": "response.function_call_arguments.delta", "item_id": "fc_2", "delta": "{}"},
            {"type": "response.function_call_arguments.delta", "item_id": "fc_1", "delta": "{}"},
        )
    ],
    {
        "type": "response.output_item.done",
        "output_index": 1,
        "item": {"type": "message", "content": [{"text": "whole"}]},
    },
    completed(input_tokens=3, output_tokens=2, **DETAILS),
)
SHARED_INDEX_DELTAS = [
    {"tool_calls": [{"index": 0, "id": "c1", "function": {"name": "f", "arguments": ""}}]},
    {"tool_calls": [{"index": 1, "id": "c2", "function": {"name": "g", "arguments": ""}}]},
    {"tool_calls": [{"index": 1, "id": "c2", "function": {"name": "", "arguments": "{}"}}]},
    {"tool_calls": [{"index": 0, "id": "c1", "function": {"name": "", "arguments": "{}"}}]},
    {"content": "whole"},
    fin(
        "tool_calls",
        prompt_tokens=3,
        completion_tokens=2,
        total_tokens=5,
        prompt_tokens_details={"cached_tokens": 2},
        completion_tokens_details={"reasoning_tokens": 1},
    ),
]
# The model's own state, kept for the finish delta: encrypted reasoning (cut
# short at added, whole at done; one item without an id) and a phase at
# message added, another at done (after the text sent whole there). Large,
# and made anew by each stream's decoding, so that one reference kept per
# stream shows in the memory traced.
ENCRYPTED = ["gAAAAB" + c * 1500 for c in "xy"]
PHASES = ["final_answer" + "-" * 300, "commentary" + "-" * 300]
MODEL_STATE = sse(
    {
        "type": "response.output_item.added",
        "output_index": 0,
        "item": {"type": "reasoning", "id": "rs_1", "summary": [], "encrypted_content": ENCRYPTED[0][:40]},
    },
    {
        "type": "response.output_item.done",
        "output_index": 0,
        "item": {"type": "reasoning", "id": "rs_1", "summary": [], "encrypted_content": ENCRYPTED[0]},
    },
    {
        "type": "response.output_item.done",
        "output_index": 1,
        "item": {"type": "reasoning", "summary": [], "encrypted_content": ENCRYPTED[1]},
    },
    {
        "type": "response.output_item.added",
        "output_index": 2,
        "item": {"type": "message", "content": [], "phase": PHASES[0]},
    },
)
MESSAGE_DONE = sse(
    {
        "type": "response.output_item.done",
        "output_index": 2,
        "item": {"type": "message", "content": [{"type": "output_text", "text": "hi"}], "phase": PHASES[1]},
    }
)
MODEL_STATE_FIN = dict(
    fin(prompt_tokens=3, completion_tokens=2, total_tokens=5),
    _reasoning_details=[
        {
            "type": "reasoning.encrypted",
            "data": ENCRYPTED[0],
            "id": "rs_1",
            "format": "openai-responses-v1",
            "index": 0,
        },
        {"type": "reasoning.encrypted", "data": ENCRYPTED[1], "id": None, "format": "openai-responses-v1", "index": 1},
    ],
    _phase=PHASES[1],
)
ENDINGS = {  # name: (body pieces, how the consumer ends it, the deltas it sees, the exception it gets)
    "completed": (
        lambda: [HI, sse(completed(input_tokens=3, output_tokens=2))],
        "drain",
        [{"content": "hi"}, fin(prompt_tokens=3, completion_tokens=2, total_tokens=5)],
        None,
    ),
    "failed": (
        lambda: [HI + sse({"type": "response.failed", "error": {"message": "boom"}})],
        "drain",
        [{"content": "hi"}, err("Responses API response.failed: boom")],
        None,
    ),
    "error_event": (
        lambda: [sse({"type": "error", "message": "bad"}), HI],
        "drain",
        [err("Responses API error: bad")],
        None,
    ),
    "done": (lambda: [HI, b"data: [DONE]\n\n", HI], "drain", [{"content": "hi"}], None),
    "failed_with_usage": (lambda: [HI, FAILED_WITH_USAGE], "drain", [{"content": "hi"}, BILLED_FAILURE], None),
    "reasoning_summary": (
        lambda: [REASONING, HI, sse(completed(input_tokens=3, output_tokens=2))],
        "drain",
        REASONED + [fin(prompt_tokens=3, completion_tokens=2, total_tokens=5)],
        None,
    ),
    "shared_index_with_details": (lambda: [SHARED_INDEX], "drain", SHARED_INDEX_DELTAS, None),
    "model_state": (
        lambda: [MODEL_STATE, HI, MESSAGE_DONE, sse(completed(input_tokens=3, output_tokens=2))],
        "drain",
        [{"content": "hi"}, MODEL_STATE_FIN],
        None,
    ),
    "model_state_failed": (
        lambda: [MODEL_STATE, HI, MESSAGE_DONE, FAILED_WITH_USAGE],
        "drain",
        [{"content": "hi"}, BILLED_FAILURE],
        None,
    ),
    "model_state_close": (lambda: [MODEL_STATE, MESSAGE_DONE, HI, HI], "close", [{"content": "hi"}], None),
    "end_of_body": (lambda: [HI, b"data: {\"partial"], "drain", [{"content": "hi"}, CUT_OFF], None),
    "read_error": (lambda: [HI, OSError("reset")], "drain", [{"content": "hi"}], "OSError"),
    "close": (lambda: [HI, HI], "close", [{"content": "hi"}], None),
    "throw": (lambda: [HI, HI], "throw", [{"content": "hi"}], "RuntimeError"),
    "close_in_except": (lambda: [REASONING, HI], "close_in_except", [{"reasoning_content": "Plan"}], None),
    "throw_in_except": (lambda: [HI, HI], "throw_in_except", [{"content": "hi"}], "RuntimeError"),
    "gc": (lambda: [HI, HI], "drop", [{"content": "hi"}], None),
    "cycle": (lambda: [HI, HI], "cycle", [{"content": "hi"}], None),
}


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def fds():
    return len(os.listdir("/proc/self/fd"))


def consume(impl, url, headers, payload, logger, how, handled=None):
    """One stream, ended as `how` says; returns the deltas seen and the name
    of the exception that ended it, if any. The "_in_except" ways close or
    throw from inside an `except` block handling `handled`, which must still
    be the exception being handled after a close."""
    if how == "cycle":
        logger = {}
    g = impl.stream_raw(url, headers, payload, logger)
    seen, raised = [], None
    if how == "cycle":
        logger["generator"] = g
    try:
        for d in g:
            seen.append(d)
            if how == "close":
                g.close()
            elif how == "throw":
                g.throw(RuntimeError("stop"))
            elif how.endswith("_in_except"):
                try:
                    raise handled
                except LookupError:
                    try:
                        if how == "close_in_except":
                            g.close()
                        else:
                            g.throw(RuntimeError("stop"))
                        assert sys.exception() is handled
                    finally:
                        handled.__traceback__ = None  # no cycle through this frame
            elif how in ("drop", "cycle"):
                break
    except Exception as e:  # noqa: BLE001 - its type is checked by the caller
        raised = type(e).__name__
        if isinstance(e, urllib.error.HTTPError):
            e.close()  # the error response is the caller's (3.14 warns when one is collected open)
    del g, logger
    if how == "cycle":
        gc.collect(1)  # the cycle is young: no full collection needed
    return seen, raised


class Opener:
    """Opens a new in-memory response per stream and checks that the
    previous one was entered and exited exactly once."""

    def __init__(self, pieces, response_class):
        self.pieces, self.response_class, self.last, self.count = pieces, response_class, None, 0

    def open(self, req, timeout=None):
        self.check()
        self.last = self.response_class(self.pieces())
        self.count += 1
        return self.last

    def check(self):
        if self.last is not None:
            kinds = [c[0] for c in self.last.calls]
            assert self.last.closed and kinds.count("enter") == 1 and kinds.count("exit") == 1, kinds
        self.last = None  # its recorded calls may hold the exception that ended it


def loop(n, body):
    for _ in range(n):
        body()


def measure(n, body, warm=100):
    """Runs `body` n times after a warm-up and returns the growth of RSS, in
    bytes; then n/2 times more under tracemalloc and returns the growth of
    the Python memory still allocated; and the warnings issued."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        loop(warm, body)
        gc.collect()
        base_rss = rss()
        loop(n, body)
        gc.collect()
        grown = rss() - base_rss
        tracemalloc.start()
        try:
            base = tracemalloc.get_traced_memory()[0]
            loop(n // 2, body)
            gc.collect()
            traced = tracemalloc.get_traced_memory()[0] - base
        finally:
            tracemalloc.stop()
    return traced, grown, [str(w.message) for w in caught]


def inputs():
    """Fresh (not interned, not shared) inputs whose references are counted."""
    return "".join(["http://127.0.0.1:9/", "v1/responses"]), {"X-Trace": "t"}, {"model": "m", "input": [1]}, {}


@pytest.mark.slow
@pytest.mark.parametrize("read1", [False, True], ids=["read", "read1"])
@pytest.mark.parametrize("ending", ENDINGS)
def test_every_ending_many_times_through_fake_opener(impl, monkeypatch, ending, read1):
    pieces, how, deltas, exc = ENDINGS[ending]
    opener = Opener(pieces, FakeResponse1 if read1 else FakeResponse)
    monkeypatch.setattr(impl, "_urllib_opener_local", opener)
    args = inputs()
    handled = LookupError("being handled")
    assert consume(impl, *args, how, handled) == (deltas, exc)
    consume(impl, *args, how, handled)  # the logger now holds the start entries too
    opener.check()
    gc.collect()  # the fake's record of an exception is a cycle through its frames
    refs = [sys.getrefcount(a) for a in args + (handled,)]
    traced, grown, caught = measure(1000, lambda: consume(impl, *args, how, handled))
    opener.check()
    gc.collect()
    assert opener.count == 1602
    assert [sys.getrefcount(a) for a in args + (handled,)] == refs
    assert sys.exception() is None
    assert caught == []
    assert traced < 32 * 1024, "Python memory grew by %d bytes over 500 streams" % traced
    # The native module's own heap (C++) is invisible to tracemalloc: RSS
    # tells, and is only noise for the twin.
    assert SANITIZED or impl.__name__ == "twin.responses_api" or grown < 2 * 1024 * 1024, (
        "RSS grew by %d bytes over 1000 streams" % grown
    )


CALL = {
    "type": "response.output_item.added",
    "output_index": 0,
    "item": {"type": "function_call", "id": "i", "call_id": "c", "name": "f"},
}

# In a fresh interpreter that imports the module first (so that the strings
# it interns are its own, not ones the compiler made immortal first, as in
# this process), the closing delta of many streams: every str and int in it
# keeps its reference count. The code names none of them, for the same reason.
FRESH = """
import gc, sys
import routes.responses_api as m
sys.path.insert(0, sys.argv[1])
from fake_opener import FakeOpener
m._urllib_opener_local = FakeOpener(sys.stdin.buffer.read())

def closing():
    return list(m.stream_raw("http://127.0.0.1:9/", {}, {}))[-1]

def leaves(x):
    if isinstance(x, dict):
        for k, v in x.items():
            yield k
            yield from leaves(v)
    else:
        yield x

def counts():
    for _ in range(300):
        closing()
    gc.collect()
    return [sys.getrefcount(o) for o in held]

held = list(leaves(closing()))
refs = counts()
print(len(held), counts() == refs)
"""


# What the closing delta hands out (its finish reason, error text, the keys
# and counts of its usage) is the stream's to give: a reference of its own
# each time, however many streams end.
@pytest.mark.parametrize(
    "events,leaves",
    [
        ([completed(input_tokens=1)], 9),
        ([CALL, completed(input_tokens=1)], 9),
        ([{"type": "response.failed", "error": {"message": "x"}}], 11),
        ([], 11),
    ],
    ids=["stop", "tool_calls", "error", "cut-off"],
)
def test_the_closing_delta_hands_out_references_of_its_own(native, events, leaves):
    proc = subprocess.run(
        [sys.executable, "-c", FRESH, os.path.dirname(os.path.dirname(__file__))],
        input=sse(*events),
        capture_output=True,
        timeout=120,
    )
    assert (proc.returncode, proc.stdout.decode()) == (0, f"{leaves} True\n"), proc.stderr.decode()


REAL = [  # (path, how, deltas seen, exception type or None)
    ("/completed", "drain", [{"content": "hi"}, fin(prompt_tokens=1, total_tokens=1)], None),
    ("/failed", "drain", [{"content": "hi"}, err("Responses API response.failed: boom")], None),
    ("/done", "drain", [{"content": "hi"}], None),
    ("/end", "drain", [{"content": "hi"}, CUT_OFF], None),
    ("/failed-with-usage", "drain", [{"content": "hi"}, BILLED_FAILURE], None),
    ("/reasoning", "drain", REASONED + [fin(prompt_tokens=1, total_tokens=1)], None),
    ("/shared-index", "drain", SHARED_INDEX_DELTAS, None),
    (
        "/model-state",
        "drain",
        [{"content": "hi"}, dict(MODEL_STATE_FIN, _usage=dict(ZERO, prompt_tokens=1, total_tokens=1))],
        None,
    ),
    ("/completed", "close", [{"content": "hi"}], None),
    ("/completed", "throw", [{"content": "hi"}], "RuntimeError"),
    ("/completed", "drop", [{"content": "hi"}], None),
    ("/completed", "cycle", [{"content": "hi"}], None),
    ("/missing", "drain", [], "HTTPError"),
    ("/truncated", "drain", [{"content": "hi"}], "IncompleteRead"),
]


@pytest.fixture(scope="module")
def server():
    s = SSEServer().start()
    s.route("/completed", HI, sse(completed(input_tokens=1)))
    s.route("/failed", HI, sse({"type": "response.failed", "error": {"message": "boom"}}))
    s.route("/done", HI, b"data: [DONE]\n\n", HI)
    s.route("/end", HI, b"data: {\"cut", mode="close")
    s.route("/failed-with-usage", HI, FAILED_WITH_USAGE)
    s.route("/reasoning", REASONING, HI, sse(completed(input_tokens=1)))
    s.route("/shared-index", SHARED_INDEX)
    s.route("/model-state", MODEL_STATE, HI, MESSAGE_DONE, sse(completed(input_tokens=1)))
    # chunked, and the connection closes before the last chunk
    s.route("/truncated", b"%x\r\n%s\r\n" % (len(HI), HI), mode="close", headers={"Transfer-Encoding": "chunked"})
    yield s
    s.stop()


def settle(limit, target):
    """Waits (bounded) for the server's handler threads to let go of their sockets."""
    import time

    deadline = time.monotonic() + 2.0
    while fds() > target + limit and time.monotonic() < deadline:
        time.sleep(0.02)
    return fds()


@pytest.mark.slow
def test_real_server_every_ending_260_streams(impl, server, monkeypatch):
    tracking = Tracking(impl._urllib_opener_local)
    monkeypatch.setattr(impl, "_urllib_opener_local", tracking)
    logger = {}

    def one_round():
        for path, how, deltas, exc in REAL:
            seen, raised = consume(impl, server.url(path), {"Authorization": "Bearer k"}, {"model": "m"}, logger, how)
            assert (seen, raised) == (deltas, exc), path

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        one_round()
        gc.collect()
        before = settle(0, 0)
        traced, grown, inner = measure(13, one_round, warm=0)  # 1 + 13 + 6 rounds of 13 streams
        after = settle(2, before)
    assert len(tracking.responses) == 20 * (len(REAL) - 1)  # the 404 raises from open
    assert all(r.closed for r in tracking.responses)
    assert after <= before + 2, (before, after)
    assert [str(w.message) for w in caught] == [] and inner == []
    assert traced < 256 * 1024, traced


class Endless:
    """A response producing `total` bytes of small text events lazily, then a
    completion; read1 hands out at most n bytes per call."""

    EVENT = b'data: {"type":"response.output_text.delta","delta":"abcdefghijklmnopqrstuvwxyz0123456789"}\n\n'

    def __init__(self, total):
        self.block = self.EVENT * 800
        self.double = self.block * 2
        self.left = total - total % len(self.EVENT)
        self.offset = 0
        self.closed = False

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.closed = True

    def read1(self, n):
        if self.left <= 0:
            if self.left == 0:
                self.left = -1
                return sse(completed(input_tokens=1, output_tokens=2))
            return b""
        n = min(n, self.left)
        piece = self.double[self.offset : self.offset + n]
        self.offset = (self.offset + n) % len(self.block)
        self.left -= n
        return piece


@pytest.mark.slow
def test_long_stream_memory_is_bounded(native, monkeypatch):
    total = (16 if SANITIZED else 200) * 1024 * 1024
    resp = Endless(total)
    monkeypatch.setattr(native, "_urllib_opener_local", type("O", (), {"open": lambda self, r, timeout: resp})())
    count, text_len, last = 0, 0, None
    base = rss()
    peak = base
    for d in native.stream_raw("http://127.0.0.1:9/", {}, {}, {}):
        count += 1
        if count & 0x3FFF == 0:
            peak = max(peak, rss())
        last = d
        text_len += len(d.get("content", ""))
    events = total // len(Endless.EVENT)
    assert count == events + 1 and text_len == 36 * events
    assert last == {
        "_finish_reason": "stop",
        "_usage": dict(ZERO, prompt_tokens=1, completion_tokens=2, total_tokens=3),
    }
    assert resp.closed
    assert SANITIZED or peak - base < 16 * 1024 * 1024, "RSS grew by %d bytes over a 200 MB stream" % (peak - base)
