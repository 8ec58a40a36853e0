"""Reasoning models without streaming: reasoning settings in the request,
cached and reasoning token details, raw reasoning text and the finish reason
of replies that did not complete."""

import pytest

from helpers import Boom

USER = [{"role": "user", "content": "hi"}]
SYSTEM = [{"role": "system", "content": "terse"}] + USER


BASE = ["model", "input", "max_output_tokens"]
INCLUDE = ["reasoning.encrypted_content"]


@pytest.mark.parametrize(
    "config,keys,temperature,reasoning",
    [
        ({}, BASE + ["temperature"], 0.7, None),
        # a reasoning effort other than "none" drops the default temperature and
        # asks for the encrypted reasoning
        ({"reasoning_effort": "high"}, BASE + ["reasoning", "include"], None, {"effort": "high"}),
        ({"reasoning_effort": "none"}, BASE + ["temperature", "reasoning"], 0.7, {"effort": "none"}),
        # a summary alone keeps it, and asks for nothing more
        ({"reasoning_summary": "auto"}, BASE + ["temperature", "reasoning"], 0.7, {"summary": "auto"}),
        (
            {"reasoning_effort": "low", "reasoning_summary": "auto"},
            BASE + ["reasoning", "include"],
            None,
            {"effort": "low", "summary": "auto"},
        ),
        # an explicit temperature in the configuration is sent as given
        (
            {"reasoning_effort": "low", "temperature": 1},
            BASE + ["temperature", "reasoning", "include"],
            1,
            {"effort": "low"},
        ),
        ({"reasoning_effort": "low", "temperature": None}, BASE + ["reasoning", "include"], None, {"effort": "low"}),
        # None is "not set"; falsy values are set and carried unvalidated
        ({"reasoning_effort": None, "reasoning_summary": None, "store": None}, BASE + ["temperature"], 0.7, None),
        (
            {"reasoning_effort": "", "reasoning_summary": 0},
            BASE + ["reasoning", "include"],
            None,
            {"effort": "", "summary": 0},
        ),
        # store goes as given, with or without reasoning
        ({"store": False}, BASE + ["temperature", "store"], 0.7, None),
        (
            {"store": 0, "reasoning_effort": "none"},
            BASE + ["temperature", "reasoning", "store"],
            0.7,
            {"effort": "none"},
        ),
        (
            {"store": True, "reasoning_effort": "medium"},
            BASE + ["reasoning", "include", "store"],
            None,
            {"effort": "medium"},
        ),
    ],
)
def test_reasoning_settings(impl, config, keys, temperature, reasoning):
    payload = impl.build_payload(USER, config)
    assert list(payload) == keys
    assert payload.get("temperature") == temperature
    assert payload.get("reasoning") == reasoning
    if "include" in keys:
        assert type(payload["include"]) is list and payload["include"] == INCLUDE
        assert impl.build_payload(USER, config)["include"] is not payload["include"]
    if "store" in keys:
        assert payload["store"] is config["store"]


def test_reasoning_key_order_with_every_option(impl):
    effort, summary, store = "high", "auto", False
    payload = impl.build_payload(
        SYSTEM,
        {"reasoning_effort": effort, "reasoning_summary": summary, "store": store},
        tools=[{"type": "function", "function": {"name": "f"}}],
        tool_choice="auto",
        stream=True,
        temperature=0.2,
    )
    assert list(payload) == [
        "model",
        "input",
        "max_output_tokens",
        "instructions",
        "temperature",
        "reasoning",
        "include",
        "store",
        "stream",
        "tools",
        "tool_choice",
    ]
    assert payload["temperature"] == 0.2
    assert payload["reasoning"]["effort"] is effort and payload["reasoning"]["summary"] is summary


@pytest.mark.parametrize("ne,include", [(False, False), (True, True), (0, False), ([1], True)])
@pytest.mark.parametrize("temperature", [None, 0.5])
def test_effort_is_compared_once_with_its_own_operator(impl, ne, include, temperature):
    class Effort:
        seen = []

        def __ne__(self, other):
            self.seen.append(other)
            return ne

    e = Effort()
    payload = impl.build_payload(USER, {"reasoning_effort": e}, temperature=temperature)
    assert e.seen == ["none"] and payload["reasoning"]["effort"] is e
    assert ("include" in payload) == include
    # the default temperature follows the same one comparison
    assert payload.get("temperature") == (temperature if temperature is not None else None if include else 0.7)


@pytest.mark.parametrize("temperature", [None, 0.5])
def test_effort_comparison_errors_propagate(impl, temperature):
    class Raises:
        def __ne__(self, other):
            raise Boom

    with pytest.raises(Boom):
        impl.build_payload(USER, {"reasoning_effort": Raises()}, temperature=temperature)


def test_default_temperature_is_only_read_when_no_argument(impl):
    reads = []

    class Cfg(dict):
        def get(self, *a):
            reads.append(a)
            return super().get(*a)

    impl.build_payload(USER, Cfg(reasoning_effort="high"))
    assert reads == [
        ("model", "gpt-4o"),
        ("reasoning_effort", None),
        ("reasoning_summary", None),
        ("store", None),
        ("temperature", None),
        ("max_tokens", 50000),
    ]


def reply(*output, **kw):
    return dict(output=list(output), **kw)


def message(text):
    return {"type": "message", "content": [{"type": "output_text", "text": text}]}


def reasoning(summary=(), content=None):
    item = {"type": "reasoning", "summary": [{"type": "summary_text", "text": t} for t in summary]}
    if content is not None:
        item["content"] = content
    return item


def raw(*texts):
    return [{"type": "reasoning_text", "text": t} for t in texts]


class L(list):
    pass


@pytest.mark.parametrize(
    "output,expected",
    [
        ([reasoning(content=raw("a", "b")), message("x")], "a\n\nb"),
        # a summary wins over the raw text of its own item
        ([reasoning(["s"], raw("r")), message("x")], "s"),
        # per item: one item's summary, another's raw text, in item order
        ([reasoning(content=raw("r1")), reasoning(["s2"], raw("r2")), reasoning(content=raw("r3"))], "r1\n\ns2\n\nr3"),
        # only reasoning_text parts with a non-empty str text
        (
            [
                reasoning(
                    content=[
                        {"type": "summary_text", "text": "no"},
                        {"type": "reasoning_text", "text": ""},
                        {"type": "reasoning_text", "text": 5},
                        {"text": "no"},
                        "s",
                        {"type": "reasoning_text", "text": "y"},
                    ]
                )
            ],
            "y",
        ),
        ([reasoning(content=L(raw("sub")))], "sub"),
        ([reasoning(content=tuple(raw("t")))], None),
        ([reasoning(content="text")], None),
        ([reasoning([""], raw("r"))], "r"),  # a summary with no text contributed nothing
    ],
)
def test_raw_reasoning_in_replies(impl, output, expected):
    message_ = impl.normalize_response(reply(*output))["choices"][0]["message"]
    assert message_.get("reasoning_content") == expected
    assert list(message_)[:3] == ["role", "content", "reasoning_content"][: 2 + (expected is not None)]


@pytest.mark.parametrize(
    "fields,finish",
    [
        ({"status": "completed"}, "stop"),
        ({"status": "incomplete", "incomplete_details": {"reason": "max_output_tokens"}}, "length"),
        ({"status": "incomplete", "incomplete_details": {"reason": "content_filter"}}, "content_filter"),
        ({"status": "incomplete"}, "length"),
        ({"status": "incomplete", "incomplete_details": "content_filter"}, "length"),
        ({"status": "incomplete", "incomplete_details": [("reason", "content_filter")]}, "length"),
        ({"status": "failed", "incomplete_details": {"reason": "content_filter"}}, "error"),
        ({"status": "in_progress"}, "stop"),
        ({"status": None}, "stop"),
        # incomplete_details alone, without the status, says nothing
        ({"incomplete_details": {"reason": "max_output_tokens"}}, "stop"),
    ],
)
def test_finish_reason_of_replies_that_did_not_complete(impl, fields, finish):
    assert impl.normalize_response(reply(message("x"), **fields))["choices"][0]["finish_reason"] == finish
    call = {"type": "function_call", "call_id": "c", "name": "f", "arguments": "{}"}
    out = impl.normalize_response(reply(call, **fields))
    assert out["choices"][0]["finish_reason"] == ("tool_calls" if finish == "stop" else finish)
    assert out["choices"][0]["message"]["tool_calls"][0]["id"] == "c"


def test_status_reads(impl):
    reads = []

    class R(dict):
        def get(self, *a):
            reads.append(a)
            return super().get(*a)

    impl.normalize_response(R(status="incomplete", incomplete_details=R(reason="x")))
    assert reads[-5:] == [("id", ""), ("model", ""), ("status",), ("incomplete_details",), ("reason",)]
    reads.clear()
    impl.normalize_response(R(status="failed"))
    assert reads[-3:] == [("id", ""), ("model", ""), ("status",)]


class D(dict):
    pass


@pytest.mark.parametrize(
    "usage,details",
    [
        (
            {"input_tokens_details": {"cached_tokens": 3}, "output_tokens_details": {"reasoning_tokens": 9}},
            {"prompt_tokens_details": {"cached_tokens": 3}, "completion_tokens_details": {"reasoning_tokens": 9}},
        ),
        ({"prompt_tokens_details": D(cached_tokens=1)}, {"prompt_tokens_details": {"cached_tokens": 1}}),
        (
            {"output_tokens_details": {}, "completion_tokens_details": {"reasoning_tokens": 2}},
            {"completion_tokens_details": {"reasoning_tokens": 2}},
        ),
        ({"input_tokens_details": [1], "output_tokens_details": "x"}, {}),
        # empty: no details key (only a non-empty dict is copied)
        ({"input_tokens_details": {}, "output_tokens_details": {}}, {}),
        ({"prompt_tokens_details": D(), "completion_tokens_details": {}}, {}),
    ],
)
def test_usage_details_in_replies(impl, usage, details):
    out = impl.normalize_response(reply(usage=dict(input_tokens=5, output_tokens=2, **usage)))["usage"]
    assert out == dict(prompt_tokens=5, completion_tokens=2, total_tokens=7, **details)
    assert list(out)[3:] == list(details)
    for key in details:
        assert type(out[key]) is dict and all(out[key] is not v for v in usage.values())


def test_usage_details_read_after_the_counts(impl):
    reads = []

    class U:
        def get(self, key, default=None):
            reads.append(key)
            return {"input_tokens": "1", "output_tokens": 2}.get(key, default)

    with pytest.raises(TypeError):
        impl.normalize_response({"usage": U()})
    assert "input_tokens_details" not in reads
