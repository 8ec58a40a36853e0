"""Reasoning text and reasoning summaries as `reasoning_content` deltas:
summary parts set off by a blank line, summaries sent only whole, and what
counts as reasoning already sent (in-memory opener)."""

import pytest

from sse_server import CUT_OFF, completed, fin, ordered, sse, text

SUM, RT, DONE = "response.reasoning_summary_text.delta", "response.reasoning_text.delta", "response.output_item.done"
C = lambda t: {"content": t}  # noqa: E731
R = lambda t: {"reasoning_content": t}  # noqa: E731


def S(oi, si, d, **kw):
    """A summary delta; None leaves the key out."""
    e = dict({"type": SUM, "output_index": oi, "summary_index": si, "delta": d}, **kw)
    return {k: v for k, v in e.items() if v is not None or k == "delta"}


def rt(d):
    return {"type": RT, "delta": d}


def whole(oi, summary, **item):
    """A reasoning item's done event carrying its whole summary."""
    return {
        "type": DONE,
        "output_index": oi,
        "item": dict({"type": "reasoning", "id": "rs_1", "summary": summary}, **item),
    }


def parts(*texts):
    return [{"type": "summary_text", "text": t} for t in texts]


CASES = {
    "parts-of-one-item": (
        [S(0, 0, "a"), S(0, 0, "b"), S(0, 1, "c"), S(0, 1, "d"), S(0, 2, "e")],
        [R("a"), R("b"), R("\n\nc"), R("d"), R("\n\ne")],
    ),
    "first-summary-after-reasoning-text": ([rt("x"), S(0, 0, "a"), S(0, 0, "b")], [R("x"), R("\n\na"), R("b")]),
    "reasoning-text-is-never-set-off": (
        [S(0, 0, "a"), rt("x"), S(0, 0, "b"), rt("y")],
        [R("a"), R("x"), R("b"), R("y")],
    ),
    "next-item-is-a-new-part": ([S(0, 0, "a"), S(2, 0, "b"), S(0, 0, "c")], [R("a"), R("\n\nb"), R("\n\nc")]),
    "text-and-calls-are-not-reasoning": ([text("t"), S(0, 0, "a")], [C("t"), R("a")]),
    "empty-deltas-count-for-nothing": (
        [S(0, 0, ""), {"type": SUM, "output_index": 0, "summary_index": 1}, S(0, 1, "a"), S(0, 2, ""), S(0, 1, "b")],
        [R("a"), R("b")],
    ),
    "non-str-delta-as-received-but-counts": (
        [S(0, 0, 5), S(0, 1, ["l"]), S(0, 1, "b"), S(0, 2, "c")],
        [R(5), R(["l"]), R("b"), R("\n\nc")],
    ),
    "keys-compare-by-equality": (
        [S(0, 0, "a"), S(0.0, 0, "b"), S("0", 0, "c"), S("0", 0.0, "d"), S([0], 0, "e"), S([0], 0, "f")],
        [R("a"), R("b"), R("\n\nc"), R("d"), R("\n\ne"), R("f")],
    ),
    "missing-indices-are-one-key": (
        [S(None, None, "a"), S(None, None, "b"), S(None, 0, "c")],
        [R("a"), R("b"), R("\n\nc")],
    ),
    "whole-summary": (
        [whole(0, parts("p1", "", "p2") + [{"text": 5}, "x", {"text": None}, {"type": "summary_text"}])],
        [R("p1\n\np2")],
    ),
    "whole-summary-after-text": ([text("t"), whole(0, parts("p"))], [C("t"), R("p")]),
    "whole-summary-after-reasoning": ([rt("x"), whole(0, parts("p1", "p2"))], [R("x"), R("\n\np1\n\np2")]),
    "whole-summary-after-its-deltas-is-not-repeated": ([S(1, 0, "a"), whole(1, parts("a"))], [R("a")]),
    "whole-summary-of-another-item": ([S(1, 0, "a"), whole(3, parts("w"))], [R("a"), R("\n\nw")]),
    "whole-summary-with-unhashable-index": (
        [S([1], 0, "a"), whole([1], parts("a")), whole([2], parts("w"))],
        [R("a"), R("\n\nw")],
    ),
    "whole-summary-marks-nothing-seen": (
        [whole(0, parts("a")), whole(0, parts("b")), S(0, 0, "c"), whole(5, []), S(0, 0, "d")],
        [R("a"), R("\n\nb"), R("\n\nc"), R("d")],
    ),
    "whole-summary-keeps-the-last-part": (
        [S(0, 0, "a"), whole(1, parts("w")), S(0, 0, "b")],
        [R("a"), R("\n\nw"), R("b")],
    ),
    "empty-delta-marks-no-item": ([S(4, 0, ""), whole(4, parts("w"))], [R("w")]),
    "summary-that-is-not-a-list": ([whole(0, "text"), whole(0, {"text": "t"}), whole(0, None), whole(0, 7)], []),
    "summary-of-a-non-reasoning-item": (
        [{"type": DONE, "output_index": 0, "item": {"type": "message", "summary": parts("m")}}],
        [],
    ),
    "part-and-done-events-are-silent": (
        [
            {"type": "response.reasoning_summary_part.added", "part": parts("x")[0]},
            {"type": "response.reasoning_summary_text.done", "text": "x"},
            {"type": "response.reasoning_summary_part.done", "part": parts("x")[0]},
            {"type": "response.reasoning_text.done", "text": "x"},
        ],
        [],
    ),
}


@pytest.mark.parametrize("events,expected", CASES.values(), ids=CASES.keys())
def test_reasoning(run, events, expected):
    deltas, _ = run(sse(*events))
    assert ordered(deltas) == ordered(expected + [CUT_OFF])


def test_summary_typed_only_by_its_event_name(run):
    body = b"event: " + SUM.encode() + b'\ndata: {"output_index":0,"summary_index":0,"delta":"a"}\n\n' + sse(rt("x"))
    deltas, _ = run(body)
    assert deltas == [R("a"), R("x"), CUT_OFF]


def test_reasoning_never_changes_the_finish_reason(run):
    deltas, _ = run(sse(S(0, 0, "a"), whole(0, parts("a")), rt("r"), completed(input_tokens=1)))
    assert ordered(deltas) == ordered([R("a"), R("r"), fin(prompt_tokens=1, total_tokens=1)])


def test_state_is_per_stream(impl, fake):
    """A second stream starts with nothing sent and no part seen."""
    for _ in range(2):
        fake([sse(S(0, 0, "a"), S(0, 1, "b"), whole(0, parts("b")), completed())])
        assert list(impl.stream_raw("http://127.0.0.1:9/", {}, {})) == [R("a"), R("\n\nb"), fin()]
