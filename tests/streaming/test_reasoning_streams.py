"""Streams of reasoning models and of other compatible servers: calls found
by item id and output index together (a server that renames items, one that
gives every open call output index 0), text sent only whole with its message
item, the older reasoning event name, and usage with cached and reasoning
token details."""

import json

import pytest

from sse_server import CUT_OFF, ZERO, completed, fin, ordered, sse, tc, text

ADD, DONE, ARGS = "response.output_item.added", "response.output_item.done", "response.function_call_arguments.delta"


def added(id, call, name, index=None):
    e = {"type": ADD, "item": {"type": "function_call", "id": id, "call_id": call, "name": name, "arguments": ""}}
    return e if index is None else dict(e, output_index=index)


def done(id, call, name, args, index=None):
    e = {"type": DONE, "item": {"type": "function_call", "id": id, "call_id": call, "name": name, "arguments": args}}
    return e if index is None else dict(e, output_index=index)


def frag(id, d, index=None):
    e = {"type": ARGS, "item_id": id, "delta": d}
    return e if index is None else dict(e, output_index=index)


def calls_of(deltas):
    """The calls a host assembles from the deltas, by their "index"."""
    calls = {}
    for d in deltas:
        for t in d.get("tool_calls", []):
            c = calls.setdefault(t["index"], {"id": "", "name": "", "arguments": ""})
            c["id"] = t["id"] or c["id"]
            c["name"] = t["function"]["name"] or c["name"]
            c["arguments"] += t["function"]["arguments"]
    return [calls[i] for i in sorted(calls)]


PARIS = '{"city": "Paris", "unit": "celsius"}'
TOKYO = '{"city": "Tōkyō"}'

# Two parallel calls; each shape is a real server's way of numbering them.
SERVERS = {
    # distinct, stable item ids; every open call at output index 0, the
    # done events then at 0 and 1
    "shared-output-index": [
        added("fc_1", "call_1", "weather", 0),
        added("fc_2", "call_2", "weather", 0),
        frag("fc_1", PARIS[:10], 0),
        frag("fc_2", TOKYO[:5], 0),
        frag("fc_1", PARIS[10:], 0),
        frag("fc_2", TOKYO[5:], 0),
        done("fc_1", "call_1", "weather", PARIS, 0),
        done("fc_2", "call_2", "weather", TOKYO, 1),
    ],
    # a new item id on every event; the output index holds
    "renamed-items": [
        added("a1", "call_1", "weather", 1),
        added("b1", "call_2", "weather", 2),
        frag("a2", PARIS, 1),
        frag("b2", TOKYO, 2),
        done("a3", "call_1", "weather", PARIS, 1),
        done("b3", "call_2", "weather", TOKYO, 2),
    ],
    # the service's own numbering
    "distinct-indices": [
        added("fc_1", "call_1", "weather", 0),
        frag("fc_1", PARIS, 0),
        done("fc_1", "call_1", "weather", PARIS, 0),
        added("fc_2", "call_2", "weather", 1),
        frag("fc_2", TOKYO, 1),
        done("fc_2", "call_2", "weather", TOKYO, 1),
    ],
    # no output index at all: the item id alone
    "no-output-index": [
        added("fc_1", "call_1", "weather"),
        added("fc_2", "call_2", "weather"),
        frag("fc_2", TOKYO),
        frag("fc_1", PARIS),
        done("fc_1", "call_1", "weather", PARIS),
        done("fc_2", "call_2", "weather", TOKYO),
    ],
    # arguments only whole, at item done, on a shared index
    "shared-index-whole-arguments": [
        added("fc_1", "call_1", "weather", 0),
        added("fc_2", "call_2", "weather", 0),
        done("fc_1", "call_1", "weather", PARIS, 0),
        done("fc_2", "call_2", "weather", TOKYO, 1),
    ],
}


@pytest.mark.parametrize("events", SERVERS.values(), ids=SERVERS.keys())
def test_parallel_calls_on_every_server_shape(impl, server, events):
    url = server.route("/v1/responses", sse(*events, completed(input_tokens=3, output_tokens=4)))
    deltas = list(impl.stream_raw(url, {}, {"stream": True}))
    assert calls_of(deltas) == [
        {"id": "call_1", "name": "weather", "arguments": PARIS},
        {"id": "call_2", "name": "weather", "arguments": TOKYO},
    ]
    assert all(json.loads(c["arguments"]) for c in calls_of(deltas))
    assert deltas[-1] == fin("tool_calls", prompt_tokens=3, completion_tokens=4, total_tokens=7)


# events -> deltas, each a rule of the lookup at work
LOOKUP = {
    # rule 1 beats rule 2: the record made with the id at this index
    "id-at-its-own-index": (
        [added("x", "c0", "f", 0), added("y", "c1", "g", 0), frag("x", "A", 0)],
        [tc(0, "c0", "f"), tc(1, "c1", "g"), tc(0, "c0", "", "A"), CUT_OFF],
    ),
    # rule 2: the record at the index made with this id, although a later
    # record was made with the same id elsewhere
    "index-made-with-this-id": (
        [added("s", "c0", "f", 1), added("s", "c1", "g", 2), frag("s", "A", 1)],
        [tc(0, "c0", "f"), tc(1, "c1", "g"), tc(0, "c0", "", "A"), CUT_OFF],
    ),
    # rule 3: the id's record, made at another index
    "id-made-elsewhere": (
        [added("x", "c0", "f", 0), frag("x", "A", 5)],
        [tc(0, "c0", "f"), tc(0, "c0", "", "A"), CUT_OFF],
    ),
    # rule 4: the index's record, made with another id
    "index-made-with-another-id": (
        [added("x", "c0", "f", 3), frag("y", "A", 3)],
        [tc(0, "c0", "f"), tc(0, "c0", "", "A"), CUT_OFF],
    ),
    # item added consults only rules 1 and 2: an id made elsewhere is a new call
    "added-with-id-seen-elsewhere": (
        [added("x", "c0", "f", 0), added("x", "c1", "g", 1)],
        [tc(0, "c0", "f"), tc(1, "c1", "g"), CUT_OFF],
    ),
    "added-at-index-seen-with-other-id": (
        [added("x", "c0", "f", 0), added("y", "c1", "g", 0)],
        [tc(0, "c0", "f"), tc(1, "c1", "g"), CUT_OFF],
    ),
    "added-again-same-id-and-index": (
        [added("x", "c0", "f", 4), added("x", "c9", "h", 4)],
        [tc(0, "c0", "f"), CUT_OFF],
    ),
    # an event without an index finds the id's record wherever it was made
    "no-index-finds-the-id": (
        [added("x", "c0", "f", 7), added("x", "c1", "g"), frag("x", "A")],
        [tc(0, "c0", "f"), tc(0, "c0", "", "A"), CUT_OFF],
    ),
    # a record made without an index is made at none: an event at index 0
    # finds it only by its id
    "record-without-index": (
        [frag("x", "A"), frag("y", "B", 0), frag("x", "C", 0)],
        [tc(0, "x"), tc(0, "x", "", "A"), tc(1, "y"), tc(1, "y", "", "B"), tc(0, "x", "", "C"), CUT_OFF],
    ),
    # only the last record per index counts
    "last-record-at-an-index": (
        [added("x", "c0", "f", 0), added("y", "c1", "g", 0), frag("z", "A", 0)],
        [tc(0, "c0", "f"), tc(1, "c1", "g"), tc(1, "c1", "", "A"), CUT_OFF],
    ),
    # bools and other non-ints are no index
    "bool-is-no-index": (
        [added("x", "c0", "f", False), frag("y", "A", 0)],
        [tc(0, "c0", "f"), tc(1, "y"), tc(1, "y", "", "A"), CUT_OFF],
    ),
    # the whole-arguments mark is the record's: a second item at the shared
    # index still gets its whole arguments
    "whole-arguments-mark-per-record": (
        [
            added("x", "c0", "f", 0),
            frag("x", "A", 0),
            added("y", "c1", "g", 0),
            done("x", "c0", "f", "A", 0),
            done("y", "c1", "g", "B", 1),
        ],
        [tc(0, "c0", "f"), tc(0, "c0", "", "A"), tc(1, "c1", "g"), tc(1, "c1", "", "B"), CUT_OFF],
    ),
    # the id reported is the event's own when the record has no call id
    "reports-the-events-item-id": (
        [frag("x", "A", 2), frag("x2", "B", 2)],
        [tc(0, "x"), tc(0, "x", "", "A"), tc(0, "x2", "", "B"), CUT_OFF],
    ),
}


@pytest.mark.parametrize("events,expected", LOOKUP.values(), ids=LOOKUP.keys())
def test_call_lookup_rules(run, events, expected):
    deltas, _ = run(sse(*events))
    assert ordered(deltas) == ordered(expected)


def test_unhashable_item_id_raises_whatever_the_index(run):
    for index in (0, None):
        with pytest.raises(TypeError):
            run(sse(frag("x", "A", 0), {"type": ARGS, "item_id": ["x"], "delta": "B", "output_index": index}))


def msg_done(*parts, content=None):
    return {
        "type": DONE,
        "output_index": 0,
        "item": {"type": "message", "id": "m", "content": list(parts) if content is None else content},
    }


def out_text(t):
    return {"type": "output_text", "text": t}


class L(list):
    pass


WHOLE = {
    "parts-joined": ([msg_done(out_text("Hel"), out_text("lo"))], [{"content": "Hello"}]),
    "skips-what-is-not-text": (
        [
            msg_done(
                out_text(""), {"type": "refusal", "refusal": "no"}, "s", 5, {"text": 7}, {"text": None}, out_text("ok")
            )
        ],
        [{"content": "ok"}],
    ),
    "list-subclass": ([msg_done(content=L([out_text("a")]))], [{"content": "a"}]),
    "mapping-is-no-list": ([msg_done(content={"text": "a"})], []),
    "no-content": ([msg_done(content=None), msg_done(content="text")], []),
    "nothing-to-say": ([msg_done(out_text(""))], []),
    # text deltas already carried it
    "after-deltas": ([text("Hi"), msg_done(out_text("Hi"))], [{"content": "Hi"}]),
    "empty-delta-is-no-delta": ([text(""), msg_done(out_text("Hi"))], [{"content": "Hi"}]),
    # a whole message is no text delta: a second one is sent too, and later
    # deltas still go out
    "two-whole-messages": (
        [msg_done(out_text("A")), msg_done(out_text("B")), text("C")],
        [{"content": "A"}, {"content": "B"}, {"content": "C"}],
    ),
    "deltas-of-one-message-cover-the-next": (
        [text("A"), msg_done(out_text("A")), msg_done(out_text("B"))],
        [{"content": "A"}],
    ),
}


@pytest.mark.parametrize("events,expected", WHOLE.values(), ids=WHOLE.keys())
def test_text_sent_only_whole(run, events, expected):
    deltas, _ = run(sse(*events, completed()))
    assert ordered(deltas) == ordered(expected + [fin()])


def test_older_reasoning_event_name(run):
    legacy = "response.reasoning.delta"
    deltas, _ = run(
        sse(
            {"type": legacy, "delta": "think"},
            {"type": legacy, "delta": ""},
            {"type": "response.reasoning_summary_text.delta", "delta": "sum", "output_index": 0, "summary_index": 0},
            completed(),
        )
    )
    # it counts as reasoning sent: the summary part after it is set apart
    assert deltas == [{"reasoning_content": "think"}, {"reasoning_content": "\n\nsum"}, fin()]


DETAILS = {"input_tokens_details": {"cached_tokens": 30}, "output_tokens_details": {"reasoning_tokens": 12}}
CHAT_DETAILS = {"prompt_tokens_details": {"cached_tokens": 30}, "completion_tokens_details": {"reasoning_tokens": 12}}


class D(dict):
    pass


USAGE_DETAILS = [
    (DETAILS, CHAT_DETAILS),
    (
        {"prompt_tokens_details": {"cached_tokens": 1}, "completion_tokens_details": {"reasoning_tokens": 2}},
        {"prompt_tokens_details": {"cached_tokens": 1}, "completion_tokens_details": {"reasoning_tokens": 2}},
    ),
    # the Responses name first; a falsy one falls back to the Chat name
    (
        {"input_tokens_details": {"cached_tokens": 1}, "prompt_tokens_details": {"cached_tokens": 9}},
        {"prompt_tokens_details": {"cached_tokens": 1}},
    ),
    (
        {"input_tokens_details": {}, "prompt_tokens_details": {"cached_tokens": 9}},
        {"prompt_tokens_details": {"cached_tokens": 9}},
    ),
    ({"input_tokens_details": None, "output_tokens_details": 0}, {}),
    # empty: no details key (only a non-empty dict is copied)
    ({"input_tokens_details": {}, "output_tokens_details": {}}, {}),
    ({"prompt_tokens_details": {}, "completion_tokens_details": D()}, {}),
    (
        {"input_tokens_details": {}, "completion_tokens_details": {}, "output_tokens_details": {"reasoning_tokens": 1}},
        {"completion_tokens_details": {"reasoning_tokens": 1}},
    ),
    # other inner keys pass through
    (
        {"input_tokens_details": {"cached_tokens": 4, "cache_write_tokens": 2}},
        {"prompt_tokens_details": {"cached_tokens": 4, "cache_write_tokens": 2}},
    ),
    # not dicts: nothing
    ({"input_tokens_details": [("cached_tokens", 1)], "output_tokens_details": "x"}, {}),
    ({"output_tokens_details": {"reasoning_tokens": 0}}, {"completion_tokens_details": {"reasoning_tokens": 0}}),
]


@pytest.mark.parametrize("details,expected", USAGE_DETAILS)
def test_usage_details_on_completion(run, details, expected):
    log = {}
    deltas, _ = run(sse(completed(input_tokens=40, output_tokens=20, **details)), log)
    usage = deltas[-1]["_usage"]
    assert list(usage) == ["prompt_tokens", "completion_tokens", "total_tokens"] + list(expected)
    assert usage == dict(prompt_tokens=40, completion_tokens=20, total_tokens=60, **expected)
    assert log["usage"] is usage
    for key in expected:  # new dicts, not the event's own
        assert type(usage[key]) is dict


def test_usage_details_of_a_dict_subclass(run, impl, monkeypatch):
    # a replaced json global hands the translation dict subclasses
    import json as std_json

    class J:
        JSONDecodeError = std_json.JSONDecodeError

        @staticmethod
        def loads(s):
            return std_json.loads(s, object_hook=D)

        dumps = staticmethod(std_json.dumps)

    monkeypatch.setattr(impl, "json", J)
    deltas, _ = run(sse(completed(input_tokens=1, input_tokens_details={"cached_tokens": 5})))
    details = deltas[-1]["_usage"]["prompt_tokens_details"]
    assert details == {"cached_tokens": 5} and type(details) is dict


def failed_with(usage):
    return {"type": "response.failed", "response": {"error": {"message": "M"}, "usage": usage}}


def test_usage_details_of_failed_and_cut_streams(run):
    (delta,), _ = run(sse(failed_with(dict(input_tokens=5, output_tokens=1, **DETAILS))))
    assert delta["_usage"] == dict(prompt_tokens=5, completion_tokens=1, total_tokens=6, **CHAT_DETAILS)
    # zeros keep exactly three keys
    for events in ([failed_with(None)], [text("x")], [{"type": "error", "message": "m"}]):
        deltas, _ = run(sse(*events))
        assert deltas[-1]["_usage"] == ZERO and list(deltas[-1]["_usage"]) == list(ZERO)


def test_a_count_sum_that_raises_reads_no_details(run):
    with pytest.raises(TypeError):
        run(sse(completed(input_tokens="3", output_tokens=1, **DETAILS)))
