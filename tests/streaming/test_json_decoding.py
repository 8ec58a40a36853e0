"""The reader decodes each data line exactly as json.loads does: same values,
same decision to skip a line or to raise. The native reader may call the
standard scanner directly when the module's `json` is the standard one; a
stand-in `json` (same functions, another object) forces the plain loads call,
and both must agree with each other and with json.loads itself."""
import json
import types

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from sse_server import FakeOpener, FakeResponse, URL

native = pytest.importorskip("routes.responses_api")

STAND_IN = types.SimpleNamespace(loads=json.loads, dumps=json.dumps, JSONDecodeError=json.JSONDecodeError)


def outcome(module, monkeypatch, json_module, lines):
    """Deltas and debug record of a stream of data lines, or the exception type."""
    body = b"".join(b"data: " + line.encode("utf-8", "surrogatepass") + b"\n" for line in lines)
    monkeypatch.setattr(module, "_urllib_opener_local", FakeOpener(FakeResponse([body])))
    monkeypatch.setattr(module, "json", json_module)
    log = {}
    try:
        deltas = list(module.stream_raw(URL, {}, {}, log))
    except BaseException as e:  # noqa: B902 - the type is what is compared
        return type(e), log.get("raw_sse_count")
    return deltas, log


def reference(lines):
    """What json.loads decides for each line: the value, or 'skip'."""
    out = []
    for line in lines:
        try:
            out.append(json.loads(line))
        except ValueError:
            out.append("skip")
    return out


def wrapped(value_text):
    return '{"type":"response.output_text.delta","delta":' + value_text + "}"


def check(monkeypatch, lines):
    fast = outcome(native, monkeypatch, json, lines)
    slow = outcome(native, monkeypatch, STAND_IN, lines)
    assert fast == slow
    return fast


json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=True) | st.text(),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=5), inner, max_size=4),
    max_leaves=12)

junk = st.sampled_from(["", " ", "\t", "\u00a0", "x", "]", "}", ",", "\ufeff", "\\", '"', "1", "e5", "NaN",
                        "-Infinity", "\ud800", "\x00", "//"])


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(values=st.lists(json_values, min_size=1, max_size=5), edits=st.lists(st.tuples(junk, junk), max_size=5))
def test_decoding_matches_loads(monkeypatch, values, edits):
    lines = []
    for i, value in enumerate(values):
        text = json.dumps(value, ensure_ascii=bool(i % 2))
        if i < len(edits):
            prefix, suffix = edits[i]
            text = prefix + text + suffix
        lines.append(wrapped(text))
    deltas, log = check(monkeypatch, lines)
    expected = [{"content": v["delta"]} for v in reference(lines) if v != "skip" and v["delta"]]
    assert deltas[:-1] == expected


@pytest.mark.parametrize("text", [
    '{"a":1} x', '{"a":1}{"b":2}', '\ufeff{"a":1}', ' {"a":1} ', '{"a":1}\u00a0', '{"a":NaN}',
    '{"a":Infinity,"b":-Infinity}', '{"a":1,"a":2}', '{"a":' + "9" * 5000 + "}", '{"a":1e400}',
    '{"a":"\\ud800"}', '{"a":"\\udc00\\ud800"}', '{"a":"é\u2028"}', "", "[", "nul", '"s"', "[1]", "{}",
    '{"type":"response.output_text.delta","delta":"x"}\r',
])
def test_edge_lines(monkeypatch, text):
    check(monkeypatch, [text, wrapped('"after"')])


@pytest.mark.parametrize("offset", range(-3, 4))
def test_deep_nesting_same_decision(monkeypatch, offset):
    """A RecursionError propagates at the same depth on both paths."""
    def depth_ok(n):
        return outcome(native, monkeypatch, STAND_IN, [wrapped("[" * n + "]" * n)])[0] is not RecursionError

    lo, hi = 100, 200_000
    while lo < hi:  # the deepest nesting the plain loads call accepts here
        mid = (lo + hi + 1) // 2
        lo, hi = (mid, hi) if depth_ok(mid) else (lo, mid - 1)
    n = lo + offset
    check(monkeypatch, [wrapped("[" * n + "]" * n)])


# While `json` is the standard module, as imported, the reader decodes
# through its scanner without running json.loads; any other `json`, and a
# replaced loads, is called.
@pytest.mark.parametrize("json_module,loads_runs", [(json, False), (STAND_IN, True)], ids=["standard", "stand-in"])
def test_the_reader_decodes_with_the_scanner_itself(monkeypatch, json_module, loads_runs):
    from test_json_encoding import json_frames
    lines = [wrapped('"a"'), "{bad", wrapped('"\\u00e9"'), " " + wrapped("[1, {}]") + " "]
    entered = json_frames(lambda: outcome(native, monkeypatch, json_module, lines))
    decoding = [name for name in entered if name in ("loads", "decode", "raw_decode")]  # the body's dumps aside
    assert decoding == (["loads", "decode", "raw_decode"] * len(lines) if loads_runs else [])
