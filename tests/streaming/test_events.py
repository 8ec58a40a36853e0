"""Stream events to deltas: text, reasoning, function-call state, completion
usage, failures and the error event (in-memory opener)."""

import json
import types

import pytest

from helpers import stream_result
from sse_server import CUT_OFF, FakeResponse1, completed, err, fin, ordered, sse, tc, text

ADD, DONE, ARGS = "response.output_item.added", "response.output_item.done", "response.function_call_arguments.delta"
C = lambda t: {"content": t}  # noqa: E731


def item(kind, id, call="", name="", args="", type="function_call"):
    return {"type": kind, "item": {"type": type, "id": id, "call_id": call, "name": name, "arguments": args}}


def frag(id, d):
    return {"type": ARGS, "item_id": id, "delta": d}


TC = "tool_calls"
CASES = {
    "text-then-usage": (
        [text("T1"), text("T2"), completed(input_tokens=10, output_tokens=5)],
        [C("T1"), C("T2"), fin(prompt_tokens=10, completion_tokens=5, total_tokens=15)],
    ),
    "empty-fragments-and-reasoning": (
        [
            text(""),
            {"type": "response.output_text.delta"},
            {"type": "response.reasoning_text.delta", "delta": ""},
            {"type": "response.reasoning_text.delta", "delta": "r"},
        ],
        [{"reasoning_content": "r"}, CUT_OFF],
    ),
    "ignored-types": (
        [
            {"type": "response.created"},
            {"type": "response.reasoning_summary_part.added", "part": {"text": "s"}},
            {"type": "response.refusal.delta", "delta": "no"},
            {"type": "response.output_text.done", "text": "x"},
            {},
        ],
        [CUT_OFF],
    ),
    "call-added-then-fragments": (
        [
            item(ADD, "fc_abc", "call_abc", "write_file"),
            frag("fc_abc", "A"),
            frag("fc_abc", "B"),
            {"type": "response.function_call_arguments.done", "item_id": "fc_abc", "arguments": "AB"},
            item(DONE, "fc_abc", "call_abc", "write_file", "AB"),
            completed(),
        ],
        [tc(0, "call_abc", "write_file"), tc(0, "call_abc", "", "A"), tc(0, "call_abc", "", "B"), fin(TC)],
    ),
    "fragment-of-unseen-item": ([frag("fc_x", "A")], [tc(0, "fc_x"), tc(0, "fc_x", "", "A"), CUT_OFF]),
    "second-call-by-added": (
        [frag("fc_1", "x"), item(ADD, "fc_2", "c2", "g")],
        [tc(0, "fc_1"), tc(0, "fc_1", "", "x"), tc(1, "c2", "g"), CUT_OFF],
    ),
    "second-call-by-fragment": (
        [item(DONE, "fc_1", "c1", "f", "{}"), frag("fc_2", "x")],
        [tc(0, "c1", "f", "{}"), tc(1, "fc_2"), tc(1, "fc_2", "", "x"), CUT_OFF],
    ),
    "second-call-by-done": (
        [item(ADD, "fc_1", "c1", "f"), item(DONE, "fc_2", "c2", "g", "{}")],
        [tc(0, "c1", "f"), tc(1, "c2", "g", "{}"), CUT_OFF],
    ),
    "done-of-unseen-without-call-id": (
        [item(DONE, "fc_9", "", "f", "{}"), completed()],
        [tc(0, "fc_9", "f", "{}"), fin(TC)],
    ),
    "done-same-name-and-call-id": (
        [item(ADD, "fc", "c", "f"), frag("fc", "A"), item(DONE, "fc", "c", "f", "ZZZ")],
        [tc(0, "c", "f"), tc(0, "c", "", "A"), CUT_OFF],
    ),
    "late-name-and-call-id": (
        [frag("fc", "A"), item(DONE, "fc", "call_late", "f", "A"), frag("fc", "B")],
        [tc(0, "fc"), tc(0, "fc", "", "A"), tc(0, "call_late", "f"), tc(0, "call_late", "", "B"), CUT_OFF],
    ),
    "differing-call-id-not-stored": (
        [item(ADD, "fc", "c1", "f"), item(DONE, "fc", "c2", "f"), frag("fc", "A")],
        [tc(0, "c1", "f"), tc(0, "c2", "f"), tc(0, "c1", "", "A"), CUT_OFF],
    ),
    "done-with-empty-name-keeps-name": (
        [item(ADD, "fc", "c1", "f"), frag("fc", "A"), item(DONE, "fc", "", "", "A"), item(DONE, "fc", "c1", "f")],
        [tc(0, "c1", "f"), tc(0, "c1", "", "A"), tc(0, "c1"), CUT_OFF],
    ),
    "added-again-is-ignored": ([item(ADD, "fc", "c", "f"), item(ADD, "fc", "c2", "g")], [tc(0, "c", "f"), CUT_OFF]),
    "not-function-calls": (
        [
            item(ADD, "m1", type="message"),
            item(DONE, "m1", type="message", args="x"),
            item(ADD, ""),
            item(DONE, "", "c", "f", "{}"),
            frag("", "x"),
            frag("fc", ""),
            {"type": "response.function_call_arguments.done", "item_id": "fc", "arguments": "{}"},
        ],
        [CUT_OFF],
    ),
    # arguments that only ever arrive whole are sent once, after any correction
    "whole-arguments-of-known-call": (
        [item(ADD, "fc", "c1", "f"), item(DONE, "fc", "c1", "f", '{"a":1}'), item(DONE, "fc", "c1", "f", '{"a":1}')],
        [tc(0, "c1", "f"), tc(0, "c1", "", '{"a":1}'), CUT_OFF],
    ),
    "whole-arguments-after-correction": (
        [item(ADD, "fc"), item(DONE, "fc", "c1", "f", "{}")],
        [tc(0, "fc"), tc(0, "c1", "f"), tc(0, "c1", "", "{}"), CUT_OFF],
    ),
    "whole-arguments-id-falls-back-to-item-id": (
        [item(ADD, "fc", "", "f"), item(DONE, "fc", "", "f", "{}")],
        [tc(0, "fc", "f"), tc(0, "fc", "", "{}"), CUT_OFF],
    ),
    "whole-arguments-use-stored-call-id": (
        [item(ADD, "fc", "c1", "f"), item(DONE, "fc", "", "f", "{}")],
        [tc(0, "c1", "f"), tc(0, "c1", "", "{}"), CUT_OFF],
    ),
    "nothing-after-completion": (
        [completed(prompt_tokens=1), text("late"), frag("fc", "x")],
        [fin(prompt_tokens=1, total_tokens=1)],
    ),
}


@pytest.mark.parametrize("events,expected", CASES.values(), ids=CASES.keys())
def test_translation(run, events, expected):
    deltas, _ = run(sse(*events))
    assert ordered(deltas) == ordered(expected)


def done_usage(usage):
    return {"type": "response.completed", "response": {"usage": usage}}


USAGE = [  # completion event -> prompt, completion, total
    (done_usage({"prompt_tokens": 3, "completion_tokens": 4}), (3, 4, 7)),
    (
        done_usage(
            {"input_tokens": 0, "prompt_tokens": 3, "output_tokens": 2, "completion_tokens": 9, "total_tokens": 0}
        ),
        (3, 2, 5),
    ),
    (done_usage({"input_tokens": 1, "output_tokens": 2, "total_tokens": 99, "prompt_tokens": 7}), (1, 2, 99)),
    (done_usage({"input_tokens": None, "output_tokens": 2.5, "prompt_tokens": False}), (0, 2.5, 2.5)),
    (done_usage({}), (0, 0, 0)),
    (done_usage(None), (0, 0, 0)),
    ({"type": "response.completed", "response": {"id": "r"}}, (0, 0, 0)),
    ({"type": "response.completed", "response": None}, (0, 0, 0)),
    ({"type": "response.completed"}, (0, 0, 0)),
]


@pytest.mark.parametrize("event,counts", USAGE)
def test_completion_usage(run, event, counts):
    (delta,), _ = run(sse(event))
    assert ordered(delta) == ordered(fin(prompt_tokens=counts[0], completion_tokens=counts[1], total_tokens=counts[2]))


FAILURES = [  # event -> error text
    ({"type": "response.failed", "error": {"message": "M"}}, "Responses API response.failed: M"),
    (
        {"type": "response.incomplete", "incomplete_details": {"reason": "max_output_tokens"}},
        "Responses API response.incomplete: {'reason': 'max_output_tokens'}",
    ),
    ({"type": "response.failed", "error": "boom"}, "Responses API response.failed: boom"),
    ({"type": "response.failed", "error": ["x", 1]}, "Responses API response.failed: ['x', 1]"),
    ({"type": "response.failed", "error": {"code": "c"}}, "Responses API response.failed: "),
    (
        {"type": "response.incomplete", "error": {"message": ""}, "incomplete_details": 7},
        "Responses API response.incomplete: 7",
    ),
    (
        {"type": "response.failed", "response": {"error": {"message": "quota", "code": "q"}}},
        "Responses API response.failed: quota",
    ),
    (
        {
            "type": "response.incomplete",
            "response": {"error": None, "incomplete_details": {"reason": "content_filter"}},
        },
        "Responses API response.incomplete: {'reason': 'content_filter'}",
    ),
    (
        {"type": "response.failed", "error": {"message": "top"}, "response": {"error": {"message": "inner"}}},
        "Responses API response.failed: top",
    ),
    ({"type": "response.failed", "response": {"error": "E"}}, "Responses API response.failed: E"),
    ({"type": "response.failed", "response": "not a dict"}, "Responses API response.failed: "),
    ({"type": "response.failed", "incomplete_details": None}, "Responses API response.failed: None"),
    (
        {"type": "response.failed", "response": {"error": None, "incomplete_details": None}},
        "Responses API response.failed: None",
    ),
    ({"type": "error", "code": "c", "message": "m", "param": None, "sequence_number": 2}, "Responses API error: m"),
    ({"type": "error", "error": {"message": "em", "code": "c"}, "code": "outer"}, "Responses API error: em"),
    ({"type": "error", "error": "es"}, "Responses API error: es"),
    ({"type": "error", "error": {"type": "x"}, "code": "rate_limit"}, "Responses API error: rate_limit"),
    ({"type": "error", "code": 429}, "Responses API error: 429"),
    ({"type": "error", "message": "", "error": None, "code": None}, "Responses API error: "),
    ({"message": "named"}, "Responses API error: named"),  # type from the event name alone
]


@pytest.mark.parametrize("event,message", FAILURES)
def test_failure_deltas_end_the_stream(run, event, message):
    body = (
        (b"event: error\n" if "type" not in event else b"")
        + sse(event, event_lines=False)
        + sse(text("late"), completed())
    )
    log = {}
    deltas, resp = run([body[:40], body[40:]], log)
    assert ordered(deltas) == ordered([err(message)])
    assert log == {} and resp.exits == [("exit", None, None, None)]


@pytest.mark.parametrize(
    "body",
    [
        b"data: [1]\n",
        b'data: "s"\n',
        b"data: null\n",
        sse({"type": ADD, "item": "s"}),
        sse({"type": DONE, "item": [1]}),
        sse({"type": "response.completed", "response": [1]}),
        sse({"type": "response.completed", "response": {"usage": 5}}),
    ],
)
def test_malformed_events_raise(run, body):
    with pytest.raises(AttributeError):
        run(body + sse(text("late")))


class Event(dict):
    """An event as a replaced json hands it over: a dict whose get is Python code."""

    def get(self, key, default=None):
        return super().get(key, default)


# A function-call event whose item id cannot be a dict key raises as the
# lookup of it does, whether or not any call is recorded yet, and before any
# more of the event is read.
@pytest.mark.parametrize("hook", [None, Event], ids=["dicts", "dict-subclasses"])
@pytest.mark.parametrize(
    "events",
    [
        [frag([1], "x")],
        [item(DONE, {"k": 1}, "c", "f", "{}")],
        [item(ADD, [2], "c", "f")],
        [item(ADD, "a", "c", "f"), frag([1], "x")],
        [item(ADD, "a", "c", "f"), item(DONE, [0], "c", "f")],
    ],
    ids=["delta-first", "done-first", "added-first", "delta-after-a-call", "done-after-a-call"],
)
def test_unhashable_item_ids_raise(run, impl, monkeypatch, events, hook):
    if hook:
        monkeypatch.setattr(
            impl,
            "json",
            types.SimpleNamespace(
                loads=lambda s: json.loads(s, object_hook=hook), dumps=json.dumps, JSONDecodeError=json.JSONDecodeError
            ),
        )
    with pytest.raises(TypeError, match="unhashable type"):
        run(sse(*events, text("late")))


def test_nothing_read_after_terminal_event(impl, fake):
    resp = fake([sse(text("a")), sse(completed()), sse(text("b"))])
    assert list(impl.stream_raw("http://127.0.0.1:9/", {}, {})) == [C("a"), fin()]
    assert len(resp.reads) == 2


def at(event, output_index):
    """The event with an output position."""
    return dict(event, output_index=output_index)


KEYED = {  # function calls found by output position and item id together
    "rotating-item-ids": (
        [
            at(item(ADD, "id1", "c", "f"), 0),
            at(frag("id2", "{"), 0),
            at(frag("id3", "}"), 0),
            at(item(DONE, "id4", "c", "f", "{}"), 0),
            completed(),
        ],
        [tc(0, "c", "f"), tc(0, "c", "", "{"), tc(0, "c", "", "}"), fin(TC)],
    ),
    "unknown-call-reports-the-events-own-item-id": (
        [at(frag("x1", "A"), 3), at(frag("x2", "B"), 3)],
        [tc(0, "x1"), tc(0, "x1", "", "A"), tc(0, "x2", "", "B"), CUT_OFF],
    ),
    "parallel-calls-sharing-an-item-id": (
        [
            at(item(ADD, "same", "c1", "f"), 1),
            at(item(ADD, "same", "c2", "g"), 2),
            at(frag("same", "x"), 2),
            at(frag("same", "y"), 1),
        ],
        [tc(0, "c1", "f"), tc(1, "c2", "g"), tc(1, "c2", "", "x"), tc(0, "c1", "", "y"), CUT_OFF],
    ),
    "non-int-positions-fall-back-to-the-item-id": (
        [
            at(frag("a", "1"), True),
            at(frag("a", "2"), "0"),
            at(frag("b", "3"), 0.0),
            at(frag("b", "4"), None),
            frag("a", "5"),
        ],
        [
            tc(0, "a"),
            tc(0, "a", "", "1"),
            tc(0, "a", "", "2"),
            tc(1, "b"),
            tc(1, "b", "", "3"),
            tc(1, "b", "", "4"),
            tc(0, "a", "", "5"),
            CUT_OFF,
        ],
    ),
    # A record made without a position is found by its item id alone; a new
    # item id at a position no record was made at is a new call.
    "call-made-without-a-position-found-by-its-item-id": (
        [item(ADD, "fc", "c1", "f"), at(frag("fc", "x"), 0), at(frag("zz", "y"), 0)],
        [tc(0, "c1", "f"), tc(0, "c1", "", "x"), tc(1, "zz"), tc(1, "zz", "", "y"), CUT_OFF],
    ),
    "whole-arguments-by-position": (
        [
            at(item(ADD, "a", "c", "f"), 1),
            at(item(DONE, "b", "c", "f", "{}"), 1),
            at(item(DONE, "d", "c", "f", "{}"), 1),
        ],
        [tc(0, "c", "f"), tc(0, "c", "", "{}"), CUT_OFF],
    ),
    "empty-item-id-still-stops": (
        [
            at(item(ADD, "", "c", "f"), 0),
            at(frag("", "x"), 0),
            at(item(DONE, "", "c", "f", "{}"), 0),
            at(frag("fc", ""), 0),
        ],
        [CUT_OFF],
    ),
}


@pytest.mark.parametrize("events,expected", KEYED.values(), ids=KEYED.keys())
def test_calls_keyed_by_position(run, events, expected):
    deltas, _ = run(sse(*events))
    assert ordered(deltas) == ordered(expected)


def failed(kind="response.failed", **response):
    return {"type": kind, "response": dict({"error": {"message": "M"}}, **response)}


FAILURE_USAGE = [  # event -> (prompt, completion, total) of its error delta
    (failed(usage={"input_tokens": 5, "output_tokens": 2, "total_tokens": 7}), (5, 2, 7)),
    (failed("response.incomplete", usage={"input_tokens": 5, "output_tokens": 3}), (5, 3, 8)),
    (failed(usage={"prompt_tokens": 4, "completion_tokens": 1, "input_tokens": 0}), (4, 1, 5)),
    (failed(usage={"input_tokens": 1.5, "total_tokens": 0}), (1.5, 0, 1.5)),
    (failed(usage={}), (0, 0, 0)),
    (failed(usage=None), (0, 0, 0)),
    (failed(usage="lots"), (0, 0, 0)),
    (failed(usage=[1, 2]), (0, 0, 0)),
    ({"type": "response.failed", "response": "x", "usage": {"input_tokens": 3}}, (0, 0, 0)),
    ({"type": "response.incomplete", "response": [{"usage": {"input_tokens": 3}}]}, (0, 0, 0)),
    ({"type": "response.failed", "usage": {"input_tokens": 3}}, (0, 0, 0)),  # only the response's usage counts
    ({"type": "error", "message": "m", "response": {"usage": {"input_tokens": 3}}}, (0, 0, 0)),
]


@pytest.mark.parametrize("event,counts", FAILURE_USAGE)
def test_failure_usage(run, event, counts):
    log = {}
    (delta,), _ = run(sse(event, completed(input_tokens=99)), log)
    assert list(delta) == ["_finish_reason", "_usage", "_error"] and delta["_finish_reason"] == "error"
    assert ordered(delta["_usage"]) == ordered(
        dict(zip(("prompt_tokens", "completion_tokens", "total_tokens"), counts))
    )
    assert log == {}


def test_failure_usage_that_cannot_be_added_raises_as_on_completion(run):
    for kind in ("response.completed", "response.failed", "response.incomplete"):
        with pytest.raises(TypeError):
            run(sse({"type": kind, "response": {"usage": {"input_tokens": "3", "output_tokens": 1}}}))


# ---------------------------------------------------- a known call renamed


def test_known_call_renamed_to_a_non_text_name(impl, monkeypatch):
    added = {
        "type": "response.output_item.added",
        "output_index": 0,
        "item": {"type": "function_call", "id": "fc", "call_id": "c", "name": "f"},
    }
    done = {
        "type": "response.output_item.done",
        "output_index": 0,
        "item": {"type": "function_call", "id": "fc", "call_id": "c", "name": 7, "arguments": ""},
    }
    deltas, result = stream_result(impl, monkeypatch, FakeResponse1([sse(added, done), sse(completed())]))
    assert [d["tool_calls"][0]["function"]["name"] for d in deltas[:-1]] == ["f", 7]
