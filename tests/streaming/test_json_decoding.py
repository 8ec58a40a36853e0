"""The reader decodes each data line exactly as json.loads does: same values,
same decision to skip a line or to raise. The native reader may call the
standard scanner directly when the module's `json` is the standard one; a
stand-in `json` (same functions, another object) forces the plain loads call,
and both must agree with each other and with json.loads itself."""

import json
import types

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from helpers import stream_result
from sse_server import CUT_OFF, URL, FakeOpener, FakeResponse, FakeResponse1, completed, fin, sse, text

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
    max_leaves=12,
)

junk = st.sampled_from(
    [
        "",
        " ",
        "\t",
        "\u00a0",
        "x",
        "]",
        "}",
        ",",
        "\ufeff",
        "\\",
        '"',
        "1",
        "e5",
        "NaN",
        "-Infinity",
        "\ud800",
        "\x00",
        "//",
    ]
)


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


@pytest.mark.parametrize(
    "text",
    [
        '{"a":1} x',
        '{"a":1}{"b":2}',
        '\ufeff{"a":1}',
        ' {"a":1} ',
        '{"a":1}\u00a0',
        '{"a":NaN}',
        '{"a":Infinity,"b":-Infinity}',
        '{"a":1,"a":2}',
        '{"a":' + "9" * 5000 + "}",
        '{"a":1e400}',
        '{"a":"\\ud800"}',
        '{"a":"\\udc00\\ud800"}',
        '{"a":"é\u2028"}',
        "",
        "[",
        "nul",
        '"s"',
        "[1]",
        "{}",
        '{"type":"response.output_text.delta","delta":"x"}\r',
    ],
)
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


# ----------------------------------- replaced json.loads and decoder parts

C = lambda t: {"content": t}  # noqa: E731
COMPLETION = sse(completed())


def test_replaced_json_loads_is_called_for_every_data_line(impl, monkeypatch):
    calls = []
    real = json.loads

    def spy(s, *args, **kw):
        calls.append(s)
        return real(s, *args, **kw)

    lines = [json.dumps(text("a")), "{not json", json.dumps(text("b")), json.dumps({"type": "x"})]
    body = b"".join(b"data: " + line.encode() + b"\n" for line in lines)
    monkeypatch.setattr(impl, "_urllib_opener_local", FakeOpener(FakeResponse([body])))
    monkeypatch.setattr(impl.json, "loads", spy)  # the standard module itself, not a stand-in
    assert list(impl.stream_raw(URL, {}, {})) == [{"content": "a"}, {"content": "b"}, CUT_OFF]
    assert calls == lines
    monkeypatch.undo()
    calls.clear()
    monkeypatch.setattr(impl, "_urllib_opener_local", FakeOpener(FakeResponse([body])))
    list(impl.stream_raw(URL, {}, {}))
    assert calls == []  # restored: the spy is out of the way again


class Patched:
    """A decoder method of the standard class replaced: every line must go
    through it."""

    def __init__(self, original):
        self.original, self.calls = original, 0

    def __call__(self, decoder, s, *args, **kw):
        self.calls += 1
        value, end = self.original(decoder, s, *args, **kw)
        if isinstance(value, dict) and "delta" in value:
            value["delta"] = value["delta"].upper()
        return value, end


@pytest.mark.parametrize("method", ["decode", "raw_decode"])
def test_patched_standard_decoder_is_honoured(impl, monkeypatch, method):
    original = getattr(json.JSONDecoder, method)
    if method == "decode":
        patched = Patched(lambda d, s: (original(d, s), len(s)))
        monkeypatch.setattr(json.JSONDecoder, method, lambda d, s, *a: patched(d, s)[0])
    else:
        patched = Patched(original)
        monkeypatch.setattr(json.JSONDecoder, method, lambda d, s, *a, **kw: patched(d, s, *a, **kw))
    deltas, result = stream_result(impl, monkeypatch, FakeResponse1([sse(text("a"), text("b")), COMPLETION]))
    assert (deltas, result[0], patched.calls) == ([C("A"), C("B"), fin()], "value", 3)


class ForgetfulJson:
    """json.loads that fails with ValueError, and no JSONDecodeError to
    tell it by: evaluating the except clause fails."""

    dumps = staticmethod(json.dumps)

    @staticmethod
    def loads(s):
        raise ValueError("not today")


def test_except_clause_that_fails_is_raised_with_its_context(impl, monkeypatch):
    monkeypatch.setattr(impl, "json", ForgetfulJson)
    resp = FakeResponse1([sse(text("a"))])
    deltas, result = stream_result(impl, monkeypatch, resp)
    assert (deltas, result[1], result[3]) == ([], AttributeError, ValueError) and resp.closed


@pytest.mark.parametrize("how", ["replaced-loads", "too-deep"])
def test_decode_error_other_than_a_value_error_propagates(impl, monkeypatch, how):
    if how == "replaced-loads":
        real = json.loads

        def loads(s, *args, **kw):
            if "boom" in s:
                raise RuntimeError("boom")
            return real(s, *args, **kw)

        monkeypatch.setattr(impl.json, "loads", loads)
        bad, error = b'"boom"', RuntimeError
    else:
        bad, error = b"[" * 200000, RecursionError
    body = sse(text("a")) + b"data: " + bad + b"\n\n" + sse(text("b"))
    monkeypatch.setattr(impl, "_urllib_opener_local", FakeOpener(FakeResponse([body])))
    g = impl.stream_raw(URL, {}, {})
    assert next(g) == {"content": "a"}
    with pytest.raises(error):
        next(g)


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


def louder(value):
    """What the stand-ins below make of a decoded event: its delta upper-cased."""
    return dict(value, delta=value["delta"].upper()) if isinstance(value, dict) and "delta" in value else value


def scanner_around(scan):
    def scan_once(s, idx):
        value, end = scan(s, idx)
        return louder(value), end

    return scan_once


real_make_scanner, real_raw_decode, real_decode = (
    json.scanner.make_scanner,
    json.JSONDecoder.raw_decode,
    json.JSONDecoder.decode,
)

# What json.loads goes through, replaced piece by piece: the stream decodes
# as json.loads now does. A new make_scanner alone changes nothing, for
# json.loads nor for the stream: the default decoder made its scanner
# already.
JSON_REPLACEMENTS = {
    "scan_once": (
        lambda mp: mp.setattr(json._default_decoder, "scan_once", scanner_around(json._default_decoder.scan_once)),
        True,
    ),
    "make_scanner and a new default decoder": (
        lambda mp: (
            mp.setattr(json.scanner, "make_scanner", lambda ctx: scanner_around(real_make_scanner(ctx))),
            mp.setattr(json, "_default_decoder", json.JSONDecoder()),
        ),
        True,
    ),
    "make_scanner alone": (
        lambda mp: mp.setattr(json.scanner, "make_scanner", lambda ctx: scanner_around(real_make_scanner(ctx))),
        False,
    ),
    "raw_decode": (
        lambda mp: mp.setattr(
            json.JSONDecoder,
            "raw_decode",
            lambda self, s, idx=0: (lambda v, e: (louder(v), e))(*real_raw_decode(self, s, idx)),
        ),
        True,
    ),
    "decode": (
        lambda mp: mp.setattr(json.JSONDecoder, "decode", lambda self, s, _w=None: louder(real_decode(self, s))),
        True,
    ),
}


@pytest.mark.parametrize("what", sorted(JSON_REPLACEMENTS))
def test_replaced_parts_of_json_loads_are_honoured(impl, monkeypatch, what):
    replace, changes = JSON_REPLACEMENTS[what]
    lines = [json.dumps(text("a")), json.dumps(text("b")), "{not json", json.dumps(text("c"))]
    body = b"".join(b"data: " + line.encode() + b"\n" for line in lines)
    monkeypatch.setattr(impl, "_urllib_opener_local", FakeOpener(FakeResponse([body])))
    replace(monkeypatch)
    expected = [json.loads(line)["delta"] for line in lines if line != "{not json"]
    assert (expected == ["A", "B", "C"]) is changes
    assert list(impl.stream_raw(URL, {}, {})) == [{"content": d} for d in expected] + [CUT_OFF]
