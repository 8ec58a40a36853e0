"""A tool message's non-string content is sent as the text of
json.dumps(content, ensure_ascii=False). The native module may write that
text itself while `json` is the standard module; it must be the very same
text, and anything it does not handle must go to json.dumps unchanged."""

import collections
import json
import math
import sys
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


scalars = (
    st.none()
    | st.booleans()
    | st.integers()
    | st.integers(min_value=-(2**80), max_value=2**80)
    | st.floats(allow_nan=True, allow_infinity=True)
    | st.text()
    | st.text(alphabet=st.characters(max_codepoint=0x40))
    | st.text(alphabet="\"\\\n\r\t\b\f\x00\x1f\x7f é€😀")
)
values = st.recursive(
    scalars,
    lambda inner: (
        st.lists(inner, max_size=5)
        | st.lists(inner, max_size=3).map(tuple)
        | st.dictionaries(st.text(max_size=6), inner, max_size=5)
        | st.dictionaries(st.integers() | st.floats() | st.booleans() | st.none(), inner, max_size=2)
    ),
    max_leaves=25,
)


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


@pytest.mark.parametrize(
    "value",
    [
        {},
        [],
        (),
        {"a": []},
        [{}],
        {"a": 1.0, "b": -0.0, "c": 1e300, "d": 5e-324, "e": math.inf, "f": -math.inf},
        {"nan": math.nan},
        2**63,
        -(2**63) - 1,
        10**4000,
        True,
        None,
        1.5,
        {"\ud800": "\udfff", "ctl": "\x00\x01\x1f\x7f", "quote": "\"\\/"},
        {StrKey("k"): 1},
        [StrKey("v")],
        SubDict(a=1, b=2),
        collections.OrderedDict(a=1),
        {1: "int key", None: 0},
        {(1, 2): "tuple key"},
        {"set": {1}},
        nested(47),
        nested(48),
        nested(49),
        nested(400),
        circular,
        [1j],
        {"bytes": b"x"},
        {"long": 'a"\\\n\x01\t\x7fé' * 20000},
        ["x" * 70000 + "\n"],
        ["\n" * 70001],
        ["é" * 17 + '"'] * 40,
        # long text made of escapes only: each control character, alone and with a wide one after it
        *[[chr(c) * 70000] for c in range(0x20)],
        ["".join(map(chr, range(0x20))) * 3000 + "é"],
        ["\x1f" * 40000 + "€"],
        [1, "\x01" * 70000],
    ],
)
def test_edge_values(value):
    try:
        expected = json.dumps(value, ensure_ascii=False)
    except (TypeError, ValueError, RecursionError) as e:
        with pytest.raises(type(e)):
            tool_output(value)
        return
    assert tool_output(value) == expected


# The text written is a str as compact as json.dumps's own: ASCII text is an
# ASCII str (isascii() is true), and each text takes the narrowest storage
# its characters allow, with nothing left over, whatever the writer grew
# through on the way (sys.getsizeof shows both).
@pytest.mark.parametrize(
    "value",
    [
        [1],
        {"a": "b"},
        {"ctl": "\x00\x1f\n\"\\"},
        ["x" * 70000],
        {"k": [None, True, 1.5, -(2**70), "t" * 17]},
        [{"deep": [[["ascii"]]]}] * 50,
        ["é"],
        ["ascii first", "é"],
        ["é", "€"],
        ["€" * 3, "😀"],
        ["😀", "ascii after"],
        [{"é": "\x7f"}],
        ["a" * 100 + "ÿ"],
        {"long": "é" * 70000 + "€"},
    ],
)
def test_written_text_is_a_canonical_str(value):
    got, expected = tool_output(value), json.dumps(value, ensure_ascii=False)
    assert got == expected
    assert got.isascii() == expected.isascii()
    assert sys.getsizeof(got) == sys.getsizeof(expected)


# The writer's buffer grows geometrically and is re-made wider at most once
# per storage width, whatever the text holds and in whatever order: its
# growths stay logarithmic and the characters its re-makings copy linear in
# the text's length. Counted by the checked builds, not timed.
@pytest.mark.parametrize(
    "value",
    [
        ["a"] * 100_000,
        ["\uffff"] * 20_000,
        ["a" * 1000, "é", "\uffff" * 3, "😀"] * 2000,
        [{"k": "v" * 50, "n": [1.5, 2**70, None]}] * 5000,
        ["x" * 3_000_000],
    ],
    ids=["many-short", "many-uffff", "every-width", "mixed", "one-long"],
)
def test_the_writer_grows_geometrically(native, value):
    counts = getattr(native, "_checked_counts", None)
    if counts is None:
        pytest.skip("counters: checked builds only")
    before = counts()
    text = tool_output(value)
    after = counts()
    resized, widened, copied = (after[k] - before[k] for k in ("resized", "widened", "copied"))
    assert text == json.dumps(value, ensure_ascii=False)
    assert resized <= math.log(len(text), 1.25) + 2
    assert widened <= 3 and copied <= len(text)


def json_frames(call):
    """The functions of the json package that run while call() runs."""
    entered = []

    def profile(frame, event, arg):
        if event == "call" and frame.f_code.co_filename.startswith(JSON_DIR):
            entered.append(frame.f_code.co_name)

    sys.setprofile(profile)
    try:
        call()
    finally:
        sys.setprofile(None)
    return entered


JSON_DIR = json.__file__.rsplit("/", 1)[0] + "/"


# With the standard json module, what the writer handles it writes without
# the standard encoder; what it does not goes to json.dumps.
@pytest.mark.parametrize(
    "value,writes_itself",
    [
        ({"a": [1, 2.5, None, True, "x"]}, True),
        (["é€😀" * 3, {"k": "\x00"}], True),
        (["x" * 70000], True),
        ([2**70], True),
        (nested(47), True),
        (nested(49), False),
        ({1: "int key"}, False),
        (SubDict(a=1), False),
        ([StrKey("v")], False),
    ],
)
def test_the_writer_writes_what_it_handles_itself(value, writes_itself):
    assert (json_frames(lambda: tool_output(value)) == []) is writes_itself


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
    content = {"n": 10**5000}  # beyond the interpreter's int-to-text limit
    expected = result_of(lambda: json.dumps(content, ensure_ascii=False))
    assert expected[:2] == ("raise", ValueError)
    assert (
        result_of(lambda: impl.convert_messages([{"role": "tool", "tool_call_id": "c", "content": content}]))
        == expected
    )
