"""Inputs that take the rarely travelled roads: reads that return other
bytes-like objects, lines that only decode to something ignorable,
replaced `json` globals and standard classes, responses that are odd
context managers, header names that cannot be encoded, values the fast JSON
writer hands back. Both implementations must agree on each."""
import ctypes
import io
import email.message
import json
import sys
import urllib.request

import pytest

from sse_server import URL, FakeOpener, FakeResponse1, completed, fin, sse, text

C = lambda t: {"content": t}  # noqa: E731
DONE = sse(completed())


def outcome(f):
    try:
        return ("value", f())
    except Exception as e:  # noqa: BLE001 - compared
        return ("raise", type(e), str(e), type(e.__context__))


def stream(impl, monkeypatch, resp, logger=None):
    monkeypatch.setattr(impl, "_urllib_opener_local", FakeOpener(resp))
    deltas = []
    g = impl.stream_raw(URL, {}, {}, logger)
    return deltas, outcome(lambda: [deltas.append(d) for d in g])


# ------------------------------------------------------------- the reader

class Chunks(FakeResponse1):
    """Reads hand out each piece converted by `kind`."""

    def __init__(self, pieces, kind):
        super().__init__(pieces)
        self.kind = kind

    def read1(self, n=-1):
        piece = super().read1(n)
        return self.kind(piece) if piece else piece


@pytest.mark.parametrize("kind", [bytearray, memoryview, lambda b: memoryview(bytearray(b))])
def test_reads_returning_other_bytes_like_objects(impl, monkeypatch, kind):
    deltas, result = stream(impl, monkeypatch, Chunks([sse(text("a")), b"data: ", sse(text("b"))[6:], DONE], kind))
    assert (deltas, result[0]) == ([C("a"), C("b"), fin()], "value")


def test_read_returning_text_fails(impl, monkeypatch):
    resp = Chunks([sse(text("a"))], lambda b: b.decode())
    deltas, result = stream(impl, monkeypatch, resp)
    assert (deltas, result[:2]) == ([], ("raise", TypeError)) and resp.closed


@pytest.mark.parametrize("line,deltas", [
    ("\u00e9 not a field", [C("b")]),  # non-ASCII first: decoded, then ignored
    ("comment \u00e9", [C("b")]),
    ("\u00a0data: " + json.dumps(text("a")), [C("a"), C("b")]),  # str.strip() removes NO-BREAK SPACE
    ("data: " + json.dumps(text("a")) + "\u2003", [C("a"), C("b")]),
    ("\u3000event: response.output_text.delta\u3000", [C("b")]),
    ("\u00a0\u00a0", [C("b")]),
])
def test_lines_with_non_ascii_at_their_ends(impl, monkeypatch, line, deltas):
    body = line.encode() + b"\n" + sse(text("b")) + DONE
    got, result = stream(impl, monkeypatch, FakeResponse1([body]))
    assert (got, result[0]) == (deltas + [fin()], "value")


# ------------------------------------------------ replaced json, odd responses

class Text(str):
    """json.dumps text whose encode() gives something without a length."""

    def encode(self, *args):
        return object()


class LenlessJson:
    JSONDecodeError = json.JSONDecodeError
    loads = staticmethod(json.loads)

    @staticmethod
    def dumps(obj, **kw):
        return Text(json.dumps(obj, **kw))


class ForgetfulJson:
    """json.loads that fails with ValueError, and no JSONDecodeError to
    tell it by: evaluating the except clause fails."""

    dumps = staticmethod(json.dumps)

    @staticmethod
    def loads(s):
        raise ValueError("not today")


def test_body_without_length_ends_the_start_entries(impl, monkeypatch):
    monkeypatch.setattr(impl, "json", LenlessJson)
    logger = {"x": 1}
    deltas, result = stream(impl, monkeypatch, FakeResponse1([sse(text("a")), DONE]), logger)
    assert (deltas, result[0]) == ([C("a"), fin()], "value")
    assert list(logger) == ["x", "body", "payload", "usage", "raw_sse_count", "raw_sse_tail"]


def test_except_clause_that_fails_is_raised_with_its_context(impl, monkeypatch):
    monkeypatch.setattr(impl, "json", ForgetfulJson)
    resp = FakeResponse1([sse(text("a"))])
    deltas, result = stream(impl, monkeypatch, resp)
    assert (deltas, result[1], result[3]) == ([], AttributeError, ValueError) and resp.closed


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
    deltas, result = stream(impl, monkeypatch, FakeResponse1([sse(text("a"), text("b")), DONE]))
    assert (deltas, result[0], patched.calls) == ([C("A"), C("B"), fin()], "value", 3)


class Enter:
    """A plain callable as a class's __enter__ or __exit__: no descriptor,
    so it is called without the instance."""

    def __init__(self, result):
        self.result, self.calls = result, []

    def __call__(self, *args):
        self.calls.append(args)
        return self.result


class Bound:
    """A method whose binding is recorded: the with statement binds each
    special method as it finds it."""

    def __init__(self, name, binds):
        self.name, self.binds = name, binds

    def __get__(self, obj, owner=None):
        self.binds.append(self.name)
        return lambda *args: obj if self.name == "__enter__" else None


NO_CM = "'{}' object does not support the context manager protocol"
ASYNC_HINT = " but it supports the asynchronous context manager protocol. Did you mean to use 'async with'?"


# (the methods the class has; 3.13's message and bindings; 3.14's): 3.13
# names the class by its name and takes __enter__ first, 3.14 by module and
# qualified name, __exit__ first, and hints at `async with`.
@pytest.mark.parametrize("methods, py313, py314", [
    (["__exit__"], (NO_CM, []), (NO_CM + " (missed __enter__ method)", ["__exit__"])),
    (["__enter__"], (NO_CM + " (missed __exit__ method)", ["__enter__"]), (NO_CM + " (missed __exit__ method)", [])),
    ([], (NO_CM, []), (NO_CM + " (missed __exit__ method)", [])),
    (["__aenter__", "__aexit__"], (NO_CM, []), (NO_CM + " (missed __exit__ method)" + ASYNC_HINT, [])),
    (["__aenter__", "__aexit__", "__exit__"], (NO_CM, []),
     (NO_CM + " (missed __enter__ method)" + ASYNC_HINT, ["__exit__"])),
    (["__aenter__"], (NO_CM, []), (NO_CM + " (missed __exit__ method)", [])),
], ids=["no __enter__", "no __exit__", "neither", "async only", "async and __exit__", "__aenter__ only"])
def test_response_that_is_no_context_manager(impl, monkeypatch, methods, py313, py314):
    binds = []
    attrs = {name: Bound(name, binds) for name in methods}
    attrs["read"] = lambda self, n: b""
    cls = type("Reply", (), attrs)
    deltas, result = stream(impl, monkeypatch, cls())
    if sys.version_info >= (3, 14):
        message, bound = py314
        message = message.format(cls.__module__ + "." + cls.__qualname__)
    else:
        message, bound = py313
        message = message.format(cls.__name__)
    assert (deltas, result[:3], binds) == ([], ("raise", TypeError, message), bound)


def test_non_descriptor_enter_and_exit(impl, monkeypatch):
    body = FakeResponse1([sse(text("a")), DONE])
    enter, exit_ = Enter(body), Enter(None)
    reply = type("Reply", (), {"__enter__": enter, "__exit__": exit_})()
    deltas, result = stream(impl, monkeypatch, reply)
    assert (deltas, result[0]) == ([C("a"), fin()], "value")
    assert enter.calls == [()] and exit_.calls == [(None, None, None)]


# ------------------------------------------------------ translation, request

def test_known_call_renamed_to_a_non_text_name(impl, monkeypatch):
    added = {"type": "response.output_item.added", "output_index": 0,
             "item": {"type": "function_call", "id": "fc", "call_id": "c", "name": "f"}}
    done = {"type": "response.output_item.done", "output_index": 0,
            "item": {"type": "function_call", "id": "fc", "call_id": "c", "name": 7, "arguments": ""}}
    deltas, result = stream(impl, monkeypatch, FakeResponse1([sse(added, done), DONE]))
    assert [d["tool_calls"][0]["function"]["name"] for d in deltas[:-1]] == ["f", 7]


class Spaced(str):
    def strip(self, *args):
        return "" if self == "blank" else str(self)


@pytest.mark.parametrize("content,instructions", [(Spaced("blank"), None), (Spaced("  "), "  "), (Spaced("x"), "x")])
def test_system_text_subclass_is_stripped_by_its_own_method(impl, content, instructions):
    assert impl.convert_messages([{"role": "system", "content": content}])[0] == instructions


def test_tool_output_too_long_to_print_as_decimal(impl):
    content = {"n": 10 ** 5000}  # beyond the interpreter's int-to-text limit
    expected = outcome(lambda: json.dumps(content, ensure_ascii=False))
    assert expected[:2] == ("raise", ValueError)
    assert outcome(lambda: impl.convert_messages([{"role": "tool", "tool_call_id": "c", "content": content}])) == expected


# ----------------------------------------------------------------- redirect

@pytest.mark.parametrize("code", [307, 302])
def test_header_name_that_cannot_be_encoded_is_no_credential(impl, code):
    req = urllib.request.Request("http://h.example/a", data=b"{}", method="POST",
                                 headers={"Authorization": "Bearer k", "X-\udc80": "v"})
    new = impl._PostRedirectHandlerLocal().redirect_request(req, io.BytesIO(b""), code, "Moved",
                                                            email.message.Message(), "http://other.example/b")
    assert new.headers == {"X-\udc80": "v"}


# ------------------------------------------------------------------ binding

def test_keyword_that_is_not_text(native):
    call = ctypes.pythonapi.PyObject_Vectorcall  # the interpreter refuses such a call before it gets here
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    with pytest.raises(TypeError) as info:
        call(native.convert_messages, (ctypes.py_object * 2)([], 1), 1, (5,))
    assert str(info.value) == "convert_messages() keywords must be strings"


# ------------------------------------------------------- built-in functions

def run_with_builtins(code, namespace):
    """Runs code whose frame has only the given builtins."""
    exec(code, dict(namespace, __builtins__={"next": next}))


def test_builtins_are_the_modules_own_not_the_callers(impl, monkeypatch, request):
    monkeypatch.setattr(impl, "_urllib_opener_local", FakeOpener(FakeResponse1([sse(text("a"))])))
    logger = {"x": 1}
    g = impl.stream_raw(URL, {}, {}, logger)
    run_with_builtins("next(g)", {"g": g})  # __import__("time") for the timestamp
    req = urllib.request.Request("http://h.example/a", data=b"{}", method="POST")
    found = {}
    run_with_builtins("found['new'] = h.redirect_request(req, fp, 302, 'Moved', m, 'http://h.example/b')",  # super()
                      {"h": impl._PostRedirectHandlerLocal(), "req": req, "fp": io.BytesIO(b""),
                       "m": email.message.Message(), "found": found})
    assert "timestamp" in logger and found["new"].full_url == "http://h.example/b"


def test_response_whose_read1_lookup_fails(impl, monkeypatch):
    """hasattr() lets every error but AttributeError through: it is raised
    inside the `with` block, so the response is still closed."""
    class Broken(FakeResponse1):
        @property
        def read1(self):
            raise LookupError("read1")
    resp = Broken([sse(text("a"))])
    monkeypatch.setattr(impl, "_urllib_opener_local", FakeOpener(resp))
    with pytest.raises(LookupError):
        next(impl.stream_raw(URL, {}, {}))
    assert resp.exits[0][1] is LookupError


def test_missing_builtin_is_a_name_error(impl):
    import builtins
    req = urllib.request.Request("http://h.example/a", data=b"{}", method="POST")
    handler, saved, raised = impl._PostRedirectHandlerLocal(), builtins.super, None
    del builtins.super  # restored before anything else can need it
    try:
        handler.redirect_request(req, io.BytesIO(b""), 302, "Moved", email.message.Message(), "http://h.example/b")
    except NameError as e:
        raised = e
    finally:
        builtins.super = saved
    assert str(raised) == "name 'super' is not defined"
