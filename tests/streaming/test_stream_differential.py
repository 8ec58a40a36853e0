"""Random SSE bodies through both implementations: same deltas (key order
included), same final exception type, same debug record, same reads."""

import json
import time
from unittest import mock

from hypothesis import HealthCheck, given, settings, strategies as st

from sse_server import URL, FakeOpener, FakeResponse, FakeResponse1, ordered

BODY_TYPES = [
    "response.output_text.delta",
    "response.reasoning_text.delta",
    "response.function_call_arguments.done",
    "response.created",
    "response.reasoning_summary_part.added",
    "response.refusal.delta",
    "response.reasoning.delta",
] + 3 * [
    "response.output_item.added",
    "response.function_call_arguments.delta",
    "response.output_item.done",
    "response.reasoning_summary_text.delta",
]
TERMINAL = ["error", "response.completed", "response.failed", "response.incomplete"]
TYPES = BODY_TYPES * 3 + TERMINAL

small = st.one_of(
    st.none(), st.just(""), st.sampled_from(["a", "\u00e9\u2713", "{\"p\":", "1}", "\U0001f31f"]), st.text(max_size=4)
)
ids = st.sampled_from(["fc_1", "fc_2", "fc_1", "fc_2", "fc_3", "", None]) | st.integers(0, 99).map("rot_{}".format)
# output and summary positions: mostly small ints, sometimes what no server sends
index = st.one_of(
    *[st.integers(0, 2)] * 4,
    st.booleans(),
    st.sampled_from(["0", 0.0, 1.0, None]),
    st.lists(st.integers(0, 1), max_size=1),
)
counts = st.one_of(st.none(), st.integers(0, 50), st.just(1.5))
# cached and reasoning token details under both names, of every kind
details = st.one_of(
    st.none(),
    st.just({}),
    st.fixed_dictionaries(
        {}, optional={"cached_tokens": counts, "reasoning_tokens": counts, "cache_write_tokens": counts}
    ),
    small,
    st.lists(st.integers(), max_size=1),
)
usage = st.builds(
    lambda c, d: {**c, **d},
    st.dictionaries(
        st.sampled_from(["input_tokens", "output_tokens", "total_tokens", "prompt_tokens", "completion_tokens"]), counts
    ),
    st.dictionaries(
        st.sampled_from(
            ["input_tokens_details", "prompt_tokens_details", "output_tokens_details", "completion_tokens_details"]
        ),
        details,
        max_size=3,
    ),
)
error = st.one_of(
    st.none(),
    small,
    st.fixed_dictionaries({}, optional={"message": small, "code": small}),
    st.lists(st.integers(), max_size=2),
)
summary_part = st.one_of(
    st.fixed_dictionaries({"type": st.just("summary_text"), "text": small}),
    st.fixed_dictionaries({}, optional={"text": st.one_of(small, st.integers(), st.lists(small, max_size=1))}),
    small,
)
# a message's or reasoning item's content parts, of every shape
content_part = st.one_of(
    st.fixed_dictionaries(
        {"type": st.sampled_from(["output_text", "reasoning_text", "refusal"]), "text": st.one_of(small, st.integers())}
    ),
    st.fixed_dictionaries({}, optional={"text": small}),
    small,
)
content = st.one_of(st.lists(content_part, max_size=3), small, st.fixed_dictionaries({"text": small}))
# encrypted reasoning (whole at item done, maybe cut short at added) and
# a message's phase, of every type
encrypted = st.one_of(
    *[st.sampled_from(["gAAAAABpPDIV==", "gAAAAABpPDIU", "rsn_5Z"])] * 3,
    small,
    st.integers(0, 9),
    st.lists(small, max_size=1),
)
phase = st.one_of(
    *[st.sampled_from(["commentary", "final_answer"])] * 3, small, st.integers(0, 1), st.lists(small, max_size=1)
)
fc_item = st.fixed_dictionaries(
    {"type": st.sampled_from(["function_call", "function_call", "message", "message", "reasoning", "reasoning", None])},
    optional={
        "id": ids,
        "call_id": st.sampled_from(["call_a", "call_b", "", None]),
        "name": st.sampled_from(["f", "g", "", None]),
        "arguments": small,
        "summary": st.one_of(st.lists(summary_part, max_size=3), small, st.fixed_dictionaries({"text": small})),
        "content": content,
        "encrypted_content": encrypted,
        "phase": phase,
    },
)
fields = {
    "delta": small,
    "item": fc_item,
    "item_id": ids,
    "arguments": small,
    "error": error,
    "message": small,
    "code": st.one_of(small, st.integers(0, 500)),
    "incomplete_details": st.one_of(error, st.just({"reason": "max_output_tokens"})),
    "response": st.one_of(
        st.none(),
        small,
        st.fixed_dictionaries(
            {},
            optional={
                "usage": st.one_of(usage, st.none(), small, st.lists(st.integers(), max_size=1)),
                "error": error,
                "incomplete_details": error,
            },
        ),
    ),
    "output_index": index,
    "summary_index": index,
}


@st.composite
def event(draw, hostile, types=TYPES):
    t = draw(st.sampled_from(types))
    wanted = {
        "response.output_item.added": ["item", "output_index"],
        "response.output_item.done": ["item", "output_index"],
        "response.function_call_arguments.delta": ["item_id", "delta", "output_index"],
        "response.completed": ["response"],
        "response.reasoning_summary_text.delta": ["delta", "output_index", "summary_index"],
        "response.failed": ["error", "incomplete_details", "response"],
        "response.incomplete": ["error", "incomplete_details", "response"],
        "error": ["message", "error", "code"],
    }.get(t, ["delta"])
    data = {k: draw(fields[k]) for k in wanted if draw(st.integers(0, 4))}
    if hostile and "item" in data and not draw(st.integers(0, 3)):
        data["item"] = "x"  # not an object: the lookup on it fails
    if draw(st.integers(0, 5)):
        data = dict(type=t, **data)
    name = draw(st.sampled_from([t, t, None, "", "response.output_text.delta"]))
    return name, data


@st.composite
def reasoning_turn(draw):
    """A reasoning model's turn as the service streams it: reasoning items
    whose encrypted content is cut short at added and whole at done, then a
    message with its phase at added and at done."""
    events = []

    def add(t, index, item=None, **fields):
        data = dict(type=t, output_index=index, **fields)
        if item is not None:
            data["item"] = item
        events.append((t, data))

    count = draw(st.integers(1, 2))
    for n in range(count):
        item = {"type": "reasoning", "id": draw(st.sampled_from(["rs_1", "rs_2", "", None])), "summary": []}
        add("response.output_item.added", n, dict(item, encrypted_content=draw(encrypted)))
        add("response.output_item.done", n, dict(item, encrypted_content=draw(encrypted)))
    message = {"type": "message", "id": "msg_1", "content": [], "phase": draw(phase)}
    add("response.output_item.added", count, message)
    text = draw(st.sampled_from(["Checking.", "\u00e9\u2713", ""]))
    add("response.output_text.delta", count, delta=text)
    add(
        "response.output_item.done",
        count,
        dict(message, phase=draw(phase), content=[{"type": "output_text", "text": text}]),
    )
    return events


JUNK = [
    b": keepalive",
    b"id: 7",
    b"retry: 5",
    b"data: {bad",
    b"data:",
    b"\xff\xfe\xc3",
    b"event:",
    b"",
    b"data: [1]",
    b"data: [DONE]",
]


@st.composite
def body(draw, turn=None):
    """Random events framed at random, or at times (always, with `turn`) a
    reasoning model's turn with each event whole; split into reads."""
    lines, hostile = [], not draw(st.integers(0, 7))
    if turn is None:
        turn = not draw(st.integers(0, 3))
    if not turn:
        events = draw(st.lists(event(hostile), min_size=2, max_size=16))
        if draw(st.booleans()):
            events.append(draw(event(hostile, TERMINAL)))
    else:  # each event whole; mostly completed, at times ended otherwise
        events = draw(reasoning_turn()) + draw(st.lists(event(hostile), max_size=2))
        completion = {"type": "response.completed", "response": {"usage": draw(usage)}}
        events.append(("response.completed", completion) if draw(st.integers(0, 3)) else draw(event(hostile, TERMINAL)))
    for name, data in events:
        if name is not None:
            lines.append(b"event: " + name.encode())
        sep = draw(st.sampled_from([b" ", b"", b"  "]))
        lines.append(b"data:" + sep + json.dumps(data, ensure_ascii=draw(st.booleans())).encode())
        if turn or draw(st.integers(0, 3)):
            lines.append(b"")
        if not draw(st.integers(0, 6)):
            lines.append(draw(st.sampled_from(JUNK if hostile else JUNK[:-2])))
            if turn:
                lines.append(b"")  # a line of its own, not joined to the next event
    end = draw(st.sampled_from([b"\n", b"\n", b"\r\n"]))
    raw = end.join(lines) + draw(st.sampled_from([end, b""]))
    cuts = sorted(draw(st.lists(st.integers(0, len(raw)), max_size=8)))
    return [raw[a:b] for a, b in zip([0] + cuts, cuts + [len(raw)])]


def run(module, pieces, read1, logger):
    resp = (FakeResponse1 if read1 else FakeResponse)(pieces)
    saved, module._urllib_opener_local = module._urllib_opener_local, FakeOpener(resp)
    deltas, exc = [], None
    try:
        with mock.patch.object(time, "time", lambda: 1.0):
            for d in module.stream_raw(URL, {"A": "b"}, {"k": "\u00e9"}, logger):
                deltas.append(d)
    except Exception as e:
        exc = type(e)
    finally:
        module._urllib_opener_local = saved
    calls = [c[:2] for c in resp.calls]
    return ordered(deltas), exc, ordered(logger), calls


@settings(
    max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow]
)
@given(pieces=body(), read1=st.booleans(), logger=st.sampled_from([None, {}, {"x": 1}]))
def test_native_matches_twin(native, twin, pieces, read1, logger):
    a = run(native, pieces, read1, None if logger is None else dict(logger))
    b = run(twin, pieces, read1, None if logger is None else dict(logger))
    assert a == b


@settings(
    max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow]
)
@given(pieces=body(turn=True), read1=st.booleans())
def test_reasoning_turn_native_matches_twin(native, twin, pieces, read1):
    """The model's state carried by the finish delta, asked for every time."""
    assert run(native, pieces, read1, None) == run(twin, pieces, read1, None)
