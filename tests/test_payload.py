"""The request body built from messages, model configuration and options."""

import copy

import pytest

from helpers import typed


SYS = [{"role": "system", "content": "be brief"}, {"role": "user", "content": "hi"}]
USER = [{"role": "user", "content": "hi"}]
TOOLS = [{"type": "function", "function": {"name": "f", "parameters": {"type": "object"}}}]
FLAT = [{"type": "function", "name": "f", "description": "", "parameters": {"type": "object"}, "strict": False}]
INPUT = [{"type": "message", "role": "user", "content": "hi"}]

CASES = [
    (USER, {}, {}, {"model": "gpt-4o", "input": INPUT, "max_output_tokens": 50000, "temperature": 0.7}),
    (
        SYS,
        {},
        {},
        {"model": "gpt-4o", "input": INPUT, "max_output_tokens": 50000, "instructions": "be brief", "temperature": 0.7},
    ),
    (
        SYS,
        {"model": "m"},
        dict(tools=TOOLS, tool_choice="auto", stream=True, max_tokens=10, temperature=0.2),
        {
            "model": "m",
            "input": INPUT,
            "max_output_tokens": 10,
            "instructions": "be brief",
            "temperature": 0.2,
            "stream": True,
            "tools": FLAT,
            "tool_choice": "auto",
        },
    ),
    (
        USER,
        {"temperature": 1.5, "max_tokens": 99},
        dict(temperature=0, max_tokens=0),
        {"model": "gpt-4o", "input": INPUT, "max_output_tokens": 0, "temperature": 0},
    ),
    (
        USER,
        {"temperature": 1.5, "max_tokens": 99},
        {},
        {"model": "gpt-4o", "input": INPUT, "max_output_tokens": 99, "temperature": 1.5},
    ),
    (
        USER,
        {"temperature": None, "max_tokens": None, "model": ""},
        {},
        {"model": "", "input": INPUT, "max_output_tokens": None},
    ),
    (
        USER,
        {"model": None},
        dict(temperature=0.0, stream=1),
        {"model": None, "input": INPUT, "max_output_tokens": 50000, "temperature": 0.0, "stream": True},
    ),
    (
        USER,
        {},
        dict(stream=False, tools=[], tool_choice=None),
        {"model": "gpt-4o", "input": INPUT, "max_output_tokens": 50000, "temperature": 0.7},
    ),
    (
        USER,
        {},
        dict(stream="yes", tools=["junk"], tool_choice="none"),
        {
            "model": "gpt-4o",
            "input": INPUT,
            "max_output_tokens": 50000,
            "temperature": 0.7,
            "stream": True,
            "tools": [],
            "tool_choice": "none",
        },
    ),
    (
        USER,
        {},
        dict(tools=TOOLS, tool_choice="required", skip_tool_choice=True),
        {"model": "gpt-4o", "input": INPUT, "max_output_tokens": 50000, "temperature": 0.7, "tools": FLAT},
    ),
    (
        USER,
        {},
        dict(tool_choice=0, skip_tool_choice=0),
        {"model": "gpt-4o", "input": INPUT, "max_output_tokens": 50000, "temperature": 0.7, "tool_choice": 0},
    ),
    ([], {}, {}, {"model": "gpt-4o", "input": [], "max_output_tokens": 50000, "temperature": 0.7}),
]


@pytest.mark.parametrize("messages,config,kwargs,expected", CASES)
def test_payload(impl, messages, config, kwargs, expected):
    before = copy.deepcopy((messages, config, kwargs))
    payload = impl.build_payload(messages, config, **kwargs)
    assert typed(payload) == typed(expected)
    assert typed((messages, config, kwargs)) == typed(before)
    assert "stream_options" not in payload


def test_positional_binding(impl):
    args = (USER, {"model": "p"}, TOOLS, "auto", True, 5, 0.5, False)
    assert impl.build_payload(*args) == impl.build_payload(
        api_messages=USER,
        llm_config={"model": "p"},
        tools=TOOLS,
        tool_choice="auto",
        stream=True,
        max_tokens=5,
        temperature=0.5,
        skip_tool_choice=False,
    )


class Sub(dict):
    pass


FN_CHOICE = {"type": "function", "function": {"name": "f", "description": "x"}}
SAME = [
    "auto",
    "none",
    "required",
    5,
    ["function"],
    {"type": "function", "name": "f"},
    {"type": "function", "name": "g", "function": {"name": "f"}},
    {"type": "function", "function": {"name": ""}},
    {"type": "function", "function": {}},
    {"type": "function", "function": "f"},
    {"type": "function"},
    {"type": "FUNCTION", "function": {"name": "f"}},
    {"type": "allowed_tools", "function": {"name": "f"}},
]


@pytest.mark.parametrize("choice", SAME)
def test_tool_choice_sent_as_is(impl, choice):
    assert impl.build_payload(USER, {}, tool_choice=choice)["tool_choice"] is choice


@pytest.mark.parametrize(
    "choice",
    [
        FN_CHOICE,
        Sub(type="function", function=Sub(name="f")),
        {"function": {"name": "f"}, "type": "function", "extra": 1},
    ],
)
def test_nested_function_choice_is_flattened(impl, choice):
    before = copy.deepcopy(choice)
    name = choice["function"]["name"]
    out = impl.build_payload(USER, {}, tool_choice=choice)["tool_choice"]
    assert typed(out) == typed({"type": "function", "name": "f"})
    assert out["name"] is name
    assert choice == before


def test_tool_choice_reads_in_order(impl):
    log = []

    class Rec(dict):
        def get(self, *a):
            log.append(("get",) + a)
            return super().get(*a)

        def __contains__(self, key):
            log.append(("in", key))
            return super().__contains__(key)

    impl.build_payload(USER, {}, tool_choice=Rec(type="function", function={"name": "f"}))
    assert log == [("get", "type"), ("in", "name"), ("get", "function")]
    log.clear()
    impl.build_payload(USER, {}, tool_choice=Rec(type="auto"))
    assert log == [("get", "type")]


class Rec(dict):
    def __init__(self, *a, **kw):
        super().__init__(*a, **kw)
        self.log = []

    def get(self, *a):
        self.log.append(a)
        return super().get(*a)


@pytest.mark.parametrize(
    "kwargs,expected",
    [
        (
            {},
            [
                ("model", "gpt-4o"),
                ("reasoning_effort", None),
                ("reasoning_summary", None),
                ("store", None),
                ("temperature", 0.7),
                ("max_tokens", 50000),
            ],
        ),
        (
            dict(temperature=0),
            [
                ("model", "gpt-4o"),
                ("reasoning_effort", None),
                ("reasoning_summary", None),
                ("store", None),
                ("max_tokens", 50000),
            ],
        ),
        (
            dict(max_tokens=0, temperature=None),
            [
                ("model", "gpt-4o"),
                ("reasoning_effort", None),
                ("reasoning_summary", None),
                ("store", None),
                ("temperature", 0.7),
            ],
        ),
        (
            dict(max_tokens=1, temperature=1),
            [("model", "gpt-4o"), ("reasoning_effort", None), ("reasoning_summary", None), ("store", None)],
        ),
    ],
)
def test_config_reads(impl, kwargs, expected):
    config = Rec(temperature=0.1)
    impl.build_payload(USER, config, **kwargs)
    assert config.log == expected
    assert [type(d) for _, d in config.log] == [type(d) for _, d in expected]


def test_callees_are_module_globals(impl, monkeypatch):
    calls = []
    items, flat = ["items"], ["flat"]

    def fake_messages(m):
        calls.append(("messages", m))
        return "instr", items

    def fake_tools(t):
        calls.append(("tools", t))
        return flat

    monkeypatch.setattr(impl, "convert_messages", fake_messages)
    monkeypatch.setattr(impl, "convert_tools", fake_tools)
    msgs, tools = object(), ["t"]
    payload = impl.build_payload(msgs, {}, tools=tools, stream=True)
    assert calls == [("messages", msgs), ("tools", tools)]
    assert calls[0][1] is msgs and calls[1][1] is tools
    assert payload["input"] is items and payload["tools"] is flat
    assert list(payload) == ["model", "input", "max_output_tokens", "instructions", "temperature", "stream", "tools"]


@pytest.mark.parametrize(
    "result,message",
    [
        (lambda: ("a", [], "c"), "too many values to unpack (expected 2)"),
        (lambda: iter(["a", [], "c", "d"]), "too many values to unpack (expected 2)"),
        (lambda: ["a", [], "c"], "too many values to unpack (expected 2)"),
        (lambda: ("a",), "need more than 1 value to unpack"),
        (lambda: iter(["a"]), "need more than 1 value to unpack"),
        (lambda: (), "need more than 0 values to unpack"),
        (lambda: "", "need more than 0 values to unpack"),
    ],
)
def test_unpack_errors(impl, monkeypatch, result, message):
    monkeypatch.setattr(impl, "convert_messages", lambda m: result())
    with pytest.raises(ValueError) as info:
        impl.build_payload(USER, {})
    assert str(info.value) == message


@pytest.mark.parametrize(
    "result,instructions",
    [
        (lambda: ["", []], None),
        (lambda: iter([None, []]), None),
        (lambda: "ab", "a"),
    ],
)
def test_any_two_values_unpack(impl, monkeypatch, result, instructions):
    monkeypatch.setattr(impl, "convert_messages", lambda m: result())
    payload = impl.build_payload(USER, {})
    assert payload.get("instructions") == instructions


def test_errors(impl, monkeypatch):
    called = []
    monkeypatch.setattr(impl, "convert_messages", lambda m: called.append(m) or (None, []))
    for config in (None, [], "cfg"):
        with pytest.raises(AttributeError):
            impl.build_payload(USER, config)
    assert called == []
    monkeypatch.undo()
    with pytest.raises(AttributeError):
        impl.build_payload(USER, {}, tools=[{"type": "function", "function": None}])
    with pytest.raises(TypeError):
        impl.build_payload(5, {})
