"""A tool message's non-string content is sent as the text of
json.dumps(content, ensure_ascii=False). The native module may write that
text itself while `json` is the standard module; it must be the very same
text, and anything it does not handle must go to json.dumps unchanged."""
import collections
import json
import math
import types

import pytest
from hypothesis import given, settings, strategies as st

from helpers import result_of

native = pytest.importorskip("routes.responses_api")


def tool_output(content, module=native):
    (item,) = module.convert_messages([{"role": "tool", "tool_call_id": "c", "content": content}])[1]
    return item["output"]


class StrKey(str):
    pass


class SubDict(dict):
    def items(self):
        return reversed(list(super().items()))


scalars = (st.none() | st.booleans() | st.integers() | st.integers(min_value=-2**80, max_value=2**80)
           | st.floats(allow_nan=True, allow_infinity=True) | st.text()
           | st.text(alphabet=st.characters(max_codepoint=0x40)) | st.text(alphabet="\"\\\n\r\t\b\f\x00\x1f\x7f é€😀"))
values = st.recursive(
    scalars,
    lambda inner: (st.lists(inner, max_size=5) | st.lists(inner, max_size=3).map(tuple)
                   | st.dictionaries(st.text(max_size=6), inner, max_size=5)
                   | st.dictionaries(st.integers() | st.floats() | st.booleans() | st.none(), inner, max_size=2)),
    max_leaves=25)


@settings(max_examples=500, deadline=None)
@given(values)
def test_same_text_as_dumps(value):
    if isinstance(value, str):  # text is sent as it is
        assert tool_output(value) is value
        return
    try:
        expected = json.dumps(value, ensure_ascii=False)
    except (TypeError, ValueError) as e:
        with pytest.raises(type(e)):
            tool_output(value)
        return
    got = tool_output(value)
    assert got == expected and type(got) is str


def nested(depth):
    value = "leaf"
    for i in range(depth):
        value = [value] if i % 2 else {"k": value}
    return value


circular = []
circular.append(circular)


@pytest.mark.parametrize("value", [
    {}, [], (), {"a": []}, [{}], {"a": 1.0, "b": -0.0, "c": 1e300, "d": 5e-324, "e": math.inf, "f": -math.inf},
    {"nan": math.nan}, 2**63, -2**63 - 1, 10**4000, True, None, 1.5,
    {"\ud800": "\udfff", "ctl": "\x00\x01\x1f\x7f", "quote": "\"\\/"},
    {StrKey("k"): 1}, [StrKey("v")], SubDict(a=1, b=2), collections.OrderedDict(a=1), {1: "int key", None: 0},
    {(1, 2): "tuple key"}, {"set": {1}}, nested(47), nested(48), nested(49), nested(400), circular,
    [1j], {"bytes": b"x"},
    {"long": 'a"\\\n\x01\t\x7fé' * 20000}, ["x" * 70000 + "\n"], ["\n" * 70001], ["é" * 17 + '"'] * 40,
])
def test_edge_values(value):
    try:
        expected = json.dumps(value, ensure_ascii=False)
    except (TypeError, ValueError, RecursionError) as e:
        with pytest.raises(type(e)):
            tool_output(value)
        return
    assert tool_output(value) == expected


def test_replaced_json_is_honoured(monkeypatch):
    calls = []

    def dumps(obj, **kw):
        calls.append(kw)
        return "custom"

    monkeypatch.setattr(native, "json", types.SimpleNamespace(dumps=dumps))
    assert tool_output({"a": 1}) == "custom" and calls == [{"ensure_ascii": False}]
    monkeypatch.undo()
    monkeypatch.setattr(json, "dumps", dumps)  # the standard module, patched
    assert tool_output([1]) == "custom"
    monkeypatch.undo()
    monkeypatch.setattr(json.encoder, "encode_basestring", lambda s: '"X"')
    assert tool_output({"a": "b"}) == json.dumps({"a": "b"}, ensure_ascii=False)
    monkeypatch.undo()
    made, real = [], json.encoder.c_make_encoder

    def make_encoder(*args):  # the C encoder, replaced by a spy around it
        made.append(len(args))
        return real(*args)

    monkeypatch.setattr(json.encoder, "c_make_encoder", make_encoder)
    assert tool_output({"a": [1, "b"]}) == '{"a": [1, "b"]}' and made == [9]


# ------------------------------------ numbers beyond the int-to-text limit

def test_tool_output_too_long_to_print_as_decimal(impl):
    content = {"n": 10 ** 5000}  # beyond the interpreter's int-to-text limit
    expected = result_of(lambda: json.dumps(content, ensure_ascii=False))
    assert expected[:2] == ("raise", ValueError)
    assert result_of(lambda: impl.convert_messages([{"role": "tool", "tool_call_id": "c", "content": content}])) == expected
