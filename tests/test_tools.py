"""Chat Completions tool definitions flattened for the Responses API."""

import copy

import pytest

from helpers import typed, Boom, BadGet


def nested(name="f", **fn):
    return {"type": "function", "function": {"name": name, **fn}}


def flat(name, description="", parameters=None):
    if parameters is None:
        parameters = {"type": "object", "properties": {}}
    return {"type": "function", "name": name, "description": description, "parameters": parameters, "strict": False}


SCHEMA = {"type": "object", "properties": {"p": {"type": "string"}}, "required": ["p"]}

CASES = [
    (None, []),
    ([], []),
    ((), []),
    (0, []),
    ("", []),
    ({}, []),
    (False, []),
    ({"type": "function"}, []),
    ("function", []),
    (
        [
            nested("ok", description="d", parameters=SCHEMA),
            "str",
            {"type": "other", "function": {"name": "x"}},
            {"type": "function", "function": {}},
            nested(""),
            nested(None),
            nested(0),
            {"function": {"name": "n"}},
            {"type": "function", "name": "already_flat"},
            None,
            3,
            ["function"],
        ],
        [flat("ok", "d", SCHEMA)],
    ),
    (
        [nested("a"), nested("b", description=None, parameters=None)],
        [flat("a"), {"type": "function", "name": "b", "description": None, "parameters": None, "strict": False}],
    ),
    ([nested("s", strict=True, extra=1)], [flat("s")]),
    ((nested("t1"), nested("t2", description="two")), [flat("t1"), flat("t2", "two")]),
    (
        [nested(7)],
        [
            {
                "type": "function",
                "name": 7,
                "description": "",
                "parameters": {"type": "object", "properties": {}},
                "strict": False,
            }
        ],
    ),
]


@pytest.mark.parametrize("tools,expected", CASES)
def test_conversion(impl, tools, expected):
    snapshot = copy.deepcopy(tools)
    out = impl.convert_tools(tools)
    assert typed(out) == typed(expected)
    assert out is not tools
    assert typed(tools) == typed(snapshot)


def test_results_are_new_and_leaves_shared(impl):
    name, desc, params = "n" * 30, "d" * 30, {"type": "object"}
    tools = [
        {"type": "function", "function": {"name": name, "description": desc, "parameters": params}},
        nested("x"),
        nested("y"),
    ]
    first = impl.convert_tools(tools)
    assert first[0]["name"] is name and first[0]["description"] is desc
    assert first[0]["parameters"] is params
    assert first[1]["parameters"] is not first[2]["parameters"]
    first[1]["parameters"]["properties"]["z"] = 1
    assert first[2]["parameters"] == {"type": "object", "properties": {}}
    assert impl.convert_tools(tools)[1]["parameters"] == {"type": "object", "properties": {}}
    assert impl.convert_tools([]) is not impl.convert_tools([])


def test_iteration_protocol(impl):
    gen = (t for t in [nested("g")])
    assert impl.convert_tools(gen) == [flat("g")]
    assert impl.convert_tools({"k": nested("v")}) == []


class BadItem(dict):
    def __getitem__(self, key):
        raise Boom


ERRORS = [
    (5, TypeError),
    (True, TypeError),
    ([{"type": "function", "function": None}], AttributeError),
    ([{"type": "function", "function": "str"}], AttributeError),
    ([{"type": "function", "function": ["x"]}], AttributeError),
    ([nested("ok"), BadGet()], Boom),
    ([{"type": "function", "function": BadItem(name="n")}], Boom),
]


@pytest.mark.parametrize("tools,exc", ERRORS)
def test_errors(impl, tools, exc):
    with pytest.raises(exc):
        impl.convert_tools(tools)


def test_lookups_in_order(impl):
    log = []

    class Rec(dict):
        def get(self, *a):
            log.append(("get",) + a)
            return super().get(*a)

        def __getitem__(self, key):
            log.append(("item", key))
            return super().__getitem__(key)

    fn = Rec(name="n", parameters=None)
    impl.convert_tools([Rec(type="function", function=fn), Rec(type="x")])
    assert log == [
        ("get", "type"),
        ("get", "function", {}),
        ("get", "name"),
        ("item", "name"),
        ("get", "description", ""),
        ("get", "parameters", {"type": "object", "properties": {}}),
        ("get", "type"),
    ]


def test_overridden_lookups_are_used(impl):
    class Fn(dict):
        def get(self, key, default=None):
            return "from-get" if key == "name" else default

        def __getitem__(self, key):
            return "from-item"

    out = impl.convert_tools([{"type": "function", "function": Fn()}])
    assert out == [flat("from-item")]
