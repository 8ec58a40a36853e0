"""The garbage collector sees everything the module's objects hold: every
object a callable or a stream's generator owns is among its referents, in
every stage of the generator, and a reference cycle through any of them is
collected. Most telling under the sanitizer build (make test-asan), where a
visit of a freed object fails at once."""

import gc
import json
import weakref

import pytest

from sse_server import URL, FakeOpener, FakeResponse1, completed, sse

# Output indices too large to be shared small ints, so that finding an equal
# int among the referents means the generator holds it.
SUMMARY_AT, CALL_AT, FRAGMENT_AT = 1000001, 1000003, 1000004
EVENTS = [
    {"type": "response.reasoning_summary_text.delta", "output_index": SUMMARY_AT, "summary_index": 5, "delta": "r"},
    # the model's state, kept for the finish delta: nothing is yielded for it
    {
        "type": "response.output_item.done",
        "output_index": 0,
        "item": {"type": "reasoning", "id": "rs_1", "summary": [], "encrypted_content": "gAAAABpPDIV=="},
    },
    {
        "type": "response.output_item.added",
        "output_index": 1,
        "item": {"type": "message", "id": "msg_1", "content": [], "phase": "commentary"},
    },
    {
        "type": "response.output_item.added",
        "output_index": CALL_AT,
        "item": {"type": "function_call", "id": "fc_1", "call_id": "call_1", "name": "write_file"},
    },
    # named by its event line only: the generator holds that name meanwhile
    {"output_index": FRAGMENT_AT, "item_id": "fc_2", "delta": "{\"a\""},
]
TEXTS = [json.dumps(e, separators=(",", ":")) for e in EVENTS]
BODY = (
    "".join("data: %s\n\n" % t for t in TEXTS[:-1])
    + "event: response.function_call_arguments.delta\ndata: %s\n\n" % TEXTS[-1]
).encode()
PENDING = {"tool_calls": [{"index": 1, "id": "fc_2", "function": {"name": "", "arguments": "{\"a\""}}]}
DETAILS = [
    {"type": "reasoning.encrypted", "data": "gAAAABpPDIV==", "id": "rs_1", "format": "openai-responses-v1", "index": 0}
]


def referents(obj):
    """Direct referents, and the contents of the containers among them that
    the object made itself (a dict or list of its own state may stand for
    the thing it keeps)."""
    direct = gc.get_referents(obj)
    inner = [x for r in direct if type(r) in (dict, list, tuple) for x in gc.get_referents(r)]
    return direct, direct + inner


def among(value, objects):
    return any(type(o) is type(value) and o == value for o in objects)


@pytest.fixture
def stream(native, monkeypatch):
    def make():
        resp = FakeResponse1([BODY, sse(completed())])
        monkeypatch.setattr(native, "_urllib_opener_local", FakeOpener(resp))
        args = ("".join([URL, "?x"]), {"X-Trace": "t"}, {"model": "m"}, {"log": 1})
        return native.stream_raw(*args), args, resp

    return make


def test_created_generator_visits_its_arguments(stream):
    g, args, _ = stream()
    direct, _ = referents(g)
    assert all(any(r is a for r in direct) for a in args)


def test_suspended_generator_visits_everything_it_holds(stream):
    g, args, resp = stream()
    assert [next(g) for _ in range(3)][0] == {"reasoning_content": "r"}
    direct, reachable = referents(g)
    missing = [
        name
        for name, found in [
            ("url", any(r is args[0] for r in direct)),
            ("headers", any(r is args[1] for r in direct)),
            ("payload", any(r is args[2] for r in direct)),
            ("debug_logger", any(r is args[3] for r in direct)),
            ("response", any(r is resp for r in direct)),
            ("reader", any(getattr(r, "__self__", None) is resp and r.__name__ == "read1" for r in direct)),
            ("__exit__", any(getattr(r, "__self__", None) is resp and r.__name__ == "__exit__" for r in direct)),
            ("current event", among("response.function_call_arguments.delta", direct)),
            ("pending delta", among(PENDING, direct)),
            ("call name", among("write_file", direct)),
            ("call id", among("call_1", direct)),
            ("call keys", among(CALL_AT, reachable) and among(FRAGMENT_AT, reachable)),
            ("summary key", among(SUMMARY_AT, reachable)),
            ("reasoning details", among(DETAILS, direct)),
            ("phase", among("commentary", direct)),
        ]
        + [("captured line %d" % i, among(t, direct)) for i, t in enumerate(TEXTS)]
        if not found
    ]
    assert missing == []
    assert next(g) == PENDING
    g.close()


@pytest.mark.parametrize("end", ["drained", "closed", "raised"])
def test_finished_generator_holds_nothing(stream, end):
    g, args, resp = stream()
    next(g)
    if end == "drained":
        list(g)
    elif end == "closed":
        g.close()
    else:
        with pytest.raises(KeyError):
            g.throw(KeyError("k"))
    assert resp.closed
    assert [r for r in gc.get_referents(g) if r is not type(g)] == []


def test_callable_visits_what_can_form_a_cycle(native):
    fn = native.build_payload
    fn.__dict__["marker"] = object()
    try:
        signature = fn.__signature__
        direct = gc.get_referents(fn)
        assert all(any(r is x for r in direct) for x in (fn.__dict__, signature, fn.__doc__))
        # What it does not visit cannot be part of a cycle: texts, and a
        # tuple of None and False.
        assert all(type(x) is str for x in (fn.__name__, fn.__qualname__, fn.__module__))
        assert set(fn.__defaults__) <= {None, False}
    finally:
        del fn.__dict__["marker"]


class HandOver:
    """An opener that keeps nothing of the response it hands out."""

    def __init__(self, resp):
        self.resp = resp

    def open(self, req, timeout=None):
        resp, self.resp = self.resp, None
        return resp


@pytest.mark.parametrize("through", ["headers", "payload", "debug_logger", "response"])
def test_cycle_through_any_held_object_is_collected(impl, monkeypatch, through):
    resp = FakeResponse1([BODY, sse(completed())])
    calls = resp.calls
    monkeypatch.setattr(impl, "_urllib_opener_local", HandOver(resp))
    headers, payload, logger = {"X": "y"}, {"model": "m"}, {}
    g = impl.stream_raw(URL, headers, payload, logger)
    next(g)
    {"headers": headers, "payload": payload, "debug_logger": logger, "response": vars(resp)}[through]["g"] = g
    ref = weakref.ref(g)
    del g, headers, payload, logger, resp
    gc.collect()
    assert ref() is None
    assert [c[:2] for c in calls if c[0] == "exit"] == [("exit", GeneratorExit)]


# --------------------------------------------- the key of the last summary


def test_suspended_generator_visits_the_key_of_its_last_summary(native, monkeypatch):
    """The (output_index, summary_index) of the last summary delta is a
    tuple of the generator's own; the indices alone are in other state too."""
    event = {
        "type": "response.reasoning_summary_text.delta",
        "output_index": 1000001,
        "summary_index": 1000002,
        "delta": "r",
    }
    body = b"data: " + json.dumps(event).encode() + b"\n\n"
    monkeypatch.setattr(native, "_urllib_opener_local", FakeOpener(FakeResponse1([body, sse(completed())])))
    g = native.stream_raw(URL, {}, {})
    assert next(g) == {"reasoning_content": "r"}
    assert any(type(r) is tuple and r == (1000001, 1000002) for r in gc.get_referents(g))
    g.close()
