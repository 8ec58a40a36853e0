"""The model's own state in a stream: the encrypted reasoning of each
reasoning item and the phase of its message items, handed back with the
finish delta (in-memory opener)."""

import json

import pytest

from sse_server import CUT_OFF, completed, fin, ordered, sse, text

ADD, DONE = "response.output_item.added", "response.output_item.done"
FORMAT = "openai-responses-v1"


def reasoning(kind, id_, data, index=0, summary=()):
    item = {"type": "reasoning", "id": id_, "summary": [{"type": "summary_text", "text": t} for t in summary]}
    if data is not None:
        item["encrypted_content"] = data
    return {"type": kind, "output_index": index, "item": item}


def message(kind, phase, text_="", index=1):
    item = {
        "type": "message",
        "id": "msg_1",
        "role": "assistant",
        "content": [{"type": "output_text", "text": text_}] if text_ else [],
    }
    if phase is not None:
        item["phase"] = phase
    return {"type": kind, "output_index": index, "item": item}


def detail(data, id_, index):
    return {"type": "reasoning.encrypted", "data": data, "id": id_, "format": FORMAT, "index": index}


def finish(reason="stop", details=None, phase=None, **usage):
    out = fin(reason, **usage)
    if details:
        out["_reasoning_details"] = details
    if phase is not None:
        out["_phase"] = phase
    return out


FAILED = {"type": "response.failed", "response": {"error": {"message": "boom"}}}
CASES = {
    # only the done event's encrypted content counts: at added it may be cut
    "done-only": (
        [reasoning(ADD, "rs_1", "partial"), reasoning(DONE, "rs_1", "whole"), completed()],
        [finish(details=[detail("whole", "rs_1", 0)])],
    ),
    "added-only": ([reasoning(ADD, "rs_1", "partial"), completed()], [finish()]),
    "indices-count-details": (
        [
            reasoning(DONE, "rs_a", "A", 0),
            reasoning(DONE, "rs_b", None, 1),
            reasoning(DONE, "rs_c", "", 2),
            reasoning(DONE, "rs_d", "D", 3),
            completed(),
        ],
        [finish(details=[detail("A", "rs_a", 0), detail("D", "rs_d", 1)])],
    ),
    "non-str-content-and-id": (
        [reasoning(DONE, None, "E"), reasoning(DONE, "rs", 5), reasoning(DONE, "rs", ["x"]), completed()],
        [finish(details=[detail("E", None, 0)])],
    ),
    # a summary sent only whole still goes out, and the content is kept too
    "with-whole-summary": (
        [reasoning(DONE, "rs_1", "E", summary=["S"]), completed(input_tokens=2)],
        [{"reasoning_content": "S"}, finish(details=[detail("E", "rs_1", 0)], prompt_tokens=2, total_tokens=2)],
    ),
    "phase-at-added": ([message(ADD, "commentary"), completed()], [finish(phase="commentary")]),
    "phase-last-wins": (
        [
            message(ADD, "commentary"),
            message(DONE, "commentary", "pre"),
            message(ADD, "final_answer"),
            message(DONE, "final_answer", "ans"),
            completed(),
        ],
        [{"content": "pre"}, {"content": "ans"}, finish(phase="final_answer")],
    ),
    "phase-empty-or-not-text": (
        [
            message(ADD, "commentary"),
            message(DONE, ""),
            message(ADD, None),
            message(DONE, 5),
            message(ADD, ["final_answer"]),
            completed(),
        ],
        [finish(phase="commentary")],
    ),
    "phase-of-other-items": (
        [
            {
                "type": ADD,
                "item": {"type": "function_call", "id": "fc", "call_id": "c", "name": "f", "phase": "commentary"},
            },
            {"type": DONE, "item": {"type": "reasoning", "phase": "commentary"}},
            {"type": "response.output_text.delta", "delta": "x", "phase": "commentary"},
            completed(),
        ],
        [
            {"tool_calls": [{"index": 0, "id": "c", "function": {"name": "f", "arguments": ""}}]},
            {"content": "x"},
            finish("tool_calls"),
        ],
    ),
    "both-in-order": (
        [reasoning(DONE, "rs_1", "E"), message(DONE, "final_answer", "hi"), completed()],
        [{"content": "hi"}, finish(details=[detail("E", "rs_1", 0)], phase="final_answer")],
    ),
    # error deltas and streams without a completion carry neither
    "failed": (
        [reasoning(DONE, "rs_1", "E"), message(ADD, "commentary"), FAILED],
        [{"_finish_reason": "error", "_usage": fin()["_usage"], "_error": "Responses API response.failed: boom"}],
    ),
    "error-event": (
        [reasoning(DONE, "rs_1", "E"), {"type": "error", "message": "m"}],
        [{"_finish_reason": "error", "_usage": fin()["_usage"], "_error": "Responses API error: m"}],
    ),
    "cut-off": ([reasoning(DONE, "rs_1", "E"), message(DONE, "commentary")], [CUT_OFF]),
    "done-marker": ([reasoning(DONE, "rs_1", "E"), message(DONE, "commentary"), "[DONE]"], []),
}


def body(events):
    return b"".join(b"data: [DONE]\n\n" if e == "[DONE]" else sse(e) for e in events)


@pytest.mark.parametrize("events,expected", CASES.values(), ids=CASES.keys())
def test_model_state_in_the_finish_delta(run, events, expected):
    deltas, _ = run(body(events))
    assert ordered(deltas) == ordered(expected)


def test_finish_delta_keys_in_order(run):
    deltas, _ = run(sse(reasoning(DONE, "rs_1", "E"), message(DONE, "commentary"), text("t"), completed()))
    assert list(deltas[-1]) == ["_finish_reason", "_usage", "_reasoning_details", "_phase"]
    assert list(deltas[-1]["_reasoning_details"][0]) == ["type", "data", "id", "format", "index"]


def test_each_stream_has_its_own_state(impl, fake):
    events = sse(reasoning(DONE, "rs_1", "E"), message(DONE, "commentary"), completed())
    fake([events, events])
    first = list(impl.stream_raw("http://127.0.0.1:9/v1/responses", {}, {}))[-1]
    fake([sse(completed())])
    second = list(impl.stream_raw("http://127.0.0.1:9/v1/responses", {}, {}))[-1]
    assert "_reasoning_details" in first and "_reasoning_details" not in second and "_phase" not in second


def test_encrypted_content_reads_in_order(impl, monkeypatch, fake):
    """At a reasoning item's done event: its summary, then its encrypted
    content, then its id only when there is content to carry."""
    log = []

    class Rec(dict):
        def get(self, *a):
            log.append(a)
            return super().get(*a)

    standard_loads = json.loads

    def loads(text_):
        return standard_loads(text_, object_hook=Rec)

    monkeypatch.setattr(impl.json, "loads", loads)
    fake([sse(reasoning(DONE, "rs_1", "E"), reasoning(DONE, "rs_2", ""), message(ADD, "c"), message(DONE, "f"))])
    list(impl.stream_raw("http://127.0.0.1:9/v1/responses", {}, {}))
    item_reads = [a for a in log if a[0] in ("summary", "encrypted_content", "id", "phase", "content")]
    assert item_reads == [
        ("summary",),
        ("encrypted_content",),
        ("id",),
        ("summary",),
        ("encrypted_content",),
        ("phase",),
        ("content",),
        ("phase",),
    ]
