"""Behaviours that sit in one guard each and that the broader tests do not
reach: a throw into a running generator, the identity check on `json.loads`,
whitespace as `str.strip()` sees it (system text and SSE line edges), the
count in a binding error, the callable's GC clear, and a failed import's
release of the state followed by a retry."""
import gc
import json
import os
import sys
import tracemalloc
import weakref

import pytest

from sse_server import CUT_OFF, URL, FakeOpener, FakeResponse, FakeResponse1, completed, ordered, sse, text
from test_surface import run_python

# Every character str.strip() removes (str.isspace() is its test).
WHITESPACE = [chr(c) for c in range(sys.maxunicode + 1) if chr(c).isspace()]
ASCII_WHITESPACE = [c for c in WHITESPACE if c < "\x80"]
# Not whitespace to strip(): every other ASCII control (those beside the
# whitespace ranges included), and the usual suspects beyond ASCII.
NEAR_MISSES = [chr(c) for c in [*range(0x20), 0x7f] if not chr(c).isspace()] + ["\u200b", "\ufeff", "\u180e"]


# ------------------------------------------------- throw while running

class Handled(Exception):
    pass


class Thrown(Exception):
    pass


def throw_into_itself(g, handling):
    """g.throw() from inside g's own step, optionally while an exception is
    being handled; the outcome and whether the thrown exception is freed."""
    thrown = Thrown("in")
    ref = weakref.ref(thrown)
    try:
        if handling:
            try:
                raise Handled("h")
            except Handled:
                g.throw(thrown)
        else:
            g.throw(thrown)
    except ValueError as e:
        ctx = e.__context__
        outcome = (str(e), type(ctx), ctx is thrown, e.__cause__, e.__suppress_context__)
    else:
        outcome = "no error"
    del thrown
    return outcome, ref() is None


@pytest.mark.parametrize("handling", [False, True], ids=["plain", "while-handling"])
def test_throw_into_a_running_generator_as_a_python_generator(impl, monkeypatch, handling):
    seen = {}

    def reference():
        seen["python"] = throw_into_itself(py_gen, handling)
        yield 1

    py_gen = reference()
    next(py_gen)

    class Response(FakeResponse1):
        def read1(self, n=-1):
            if "module" not in seen:
                seen["module"] = throw_into_itself(gen, handling)
            return super().read1(n)

    monkeypatch.setattr(impl, "_urllib_opener_local", FakeOpener(Response([sse(text("a"))])))
    gen = impl.stream_raw(URL, {}, {})
    assert next(gen) == {"content": "a"}
    assert seen["module"] == seen["python"]
    message, context, context_is_thrown, cause, _ = seen["python"][0]
    assert message == "generator already executing"
    assert not context_is_thrown and cause is None
    assert context is (Handled if handling else type(None))
    assert seen["module"][1]  # nothing keeps the thrown exception alive


# A call back into the generator while its body runs: refused as a Python
# generator refuses it, whatever stage the body is in (starting, reading,
# or finishing with the response's __exit__), and before a finished body
# would raise the thrown exception as it is.
REENTRIES = {
    "next": lambda g: next(g),
    "send None": lambda g: g.send(None),
    "send 1": lambda g: g.send(1),
    "throw": lambda g: g.throw(KeyError("k")),
    "close": lambda g: g.close(),
}


@pytest.mark.parametrize("where", ["open", "__enter__", "read1", "__exit__"])
@pytest.mark.parametrize("how", sorted(REENTRIES))
def test_a_call_back_into_the_running_generator_is_refused(impl, monkeypatch, where, how):
    seen = []

    def reenter():
        try:
            REENTRIES[how](gen)
        except ValueError as e:
            seen.append((where, str(e)))
        except BaseException as e:  # noqa: B902 - any other outcome is the fault
            seen.append((where, repr(e)))
        else:
            seen.append((where, "accepted"))

    class Response(FakeResponse1):
        def __enter__(self):
            if where == "__enter__":
                reenter()
            return super().__enter__()

        def read1(self, n=-1):
            if where == "read1" and not seen:
                reenter()
            return super().read1(n)

        def __exit__(self, *exc):
            if where == "__exit__":
                reenter()
            return super().__exit__(*exc)

    class Opener(FakeOpener):
        def open(self, req, timeout=None):
            if where == "open":
                reenter()
            return super().open(req, timeout)

    monkeypatch.setattr(impl, "_urllib_opener_local", Opener(Response([sse(text("a"), completed())])))
    gen = impl.stream_raw(URL, {}, {})
    assert [d.get("content", d.get("_finish_reason")) for d in gen] == ["a", "stop"]
    assert seen == [(where, "generator already executing")]


# ------------------------------------------------- json.loads identity

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


def louder(value):
    """What the stand-ins below make of a decoded event: its delta upper-cased."""
    return dict(value, delta=value["delta"].upper()) if isinstance(value, dict) and "delta" in value else value


def scanner_around(scan):
    def scan_once(s, idx):
        value, end = scan(s, idx)
        return louder(value), end
    return scan_once


real_make_scanner, real_raw_decode, real_decode = json.scanner.make_scanner, json.JSONDecoder.raw_decode, \
    json.JSONDecoder.decode

# What json.loads goes through, replaced piece by piece: the stream decodes
# as json.loads now does. A new make_scanner alone changes nothing, for
# json.loads nor for the stream: the default decoder made its scanner
# already.
JSON_REPLACEMENTS = {
    "scan_once": (lambda mp: mp.setattr(json._default_decoder, "scan_once",
                                        scanner_around(json._default_decoder.scan_once)), True),
    "make_scanner and a new default decoder": (lambda mp: (
        mp.setattr(json.scanner, "make_scanner", lambda ctx: scanner_around(real_make_scanner(ctx))),
        mp.setattr(json, "_default_decoder", json.JSONDecoder())), True),
    "make_scanner alone": (lambda mp: mp.setattr(json.scanner, "make_scanner",
                                                 lambda ctx: scanner_around(real_make_scanner(ctx))), False),
    "raw_decode": (lambda mp: mp.setattr(json.JSONDecoder, "raw_decode",
                                         lambda self, s, idx=0: (lambda v, e: (louder(v), e))(
                                             *real_raw_decode(self, s, idx))), True),
    "decode": (lambda mp: mp.setattr(json.JSONDecoder, "decode",
                                     lambda self, s, _w=None: louder(real_decode(self, s))), True),
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


# ------------------------------------------- whitespace-only system text

@pytest.mark.parametrize("role", ["system", "developer"])
def test_system_text_of_any_whitespace_gives_no_instructions(impl, role):
    for ws in WHITESPACE:
        for content in (ws, ws * 3, " " + ws + "\n"):
            assert impl.convert_messages([{"role": role, "content": content}]) == (None, []), repr(content)
    for kept in NEAR_MISSES:
        content = "\u3000" + kept + "\t"
        assert impl.convert_messages([{"role": role, "content": content}])[0] == content, repr(kept)


# ----------------------------------------- binding errors: the count given

@pytest.mark.parametrize("call,message", [
    # a keyword fills a later slot: the count is where the first gap is
    (lambda m: m.build_payload(api_messages=[]), "build_payload() takes at least 2 positional arguments (1 given)"),
    (lambda m: m.build_payload(api_messages=[], tools=1, stream=1),
     "build_payload() takes at least 2 positional arguments (1 given)"),
    (lambda m: m.build_payload(tools=[]), "build_payload() takes at least 2 positional arguments (0 given)"),
    (lambda m: m.stream_raw(url=1, headers=2), "stream_raw() takes at least 3 positional arguments (2 given)"),
    (lambda m: m.stream_raw(1, payload=3), "stream_raw() takes at least 3 positional arguments (1 given)"),
    (lambda m: m._normalize_content(content=1), "_normalize_content() takes exactly 2 positional arguments (1 given)"),
])
def test_binding_error_counts_the_slots_filled_before_the_gap(native, call, message):
    with pytest.raises(TypeError) as info:
        call(native)
    assert str(info.value) == message


# ---------------------------------------- failed imports: GC clear, state

# urllib.request's HTTPRedirectHandler replaced by a class whose metaclass
# fails to make the module's handler class: the import fails after every
# function is made, and the hook sees them first.
HOOKED_IMPORT = """
import gc, sys, weakref, urllib.request
real = urllib.request.HTTPRedirectHandler
grabbed = {}

class Refusing(type):
    def __new__(mcls, name, bases, ns):
        if name == "Base":
            return super().__new__(mcls, name, bases, ns)
        module = sys.modules["routes.responses_api"]
        for fn in (module.build_payload, ns["redirect_request"]):
            sig = fn.__signature__                      # cached in the function
            marker = type("Marker", (), {})()
            fn.__dict__["marker"] = marker
            fn.__dict__["self"] = fn                    # only the collector can free it
            grabbed[fn.__name__] = (weakref.ref(fn), weakref.ref(marker), sig, sys.getrefcount(sig))
        raise LookupError("refused")

urllib.request.HTTPRedirectHandler = Refusing("Base", (), {})
try:
    import routes.responses_api
except LookupError as e:
    print("failed", e)
gc.collect()
for name, (fn_ref, marker_ref, sig, before) in sorted(grabbed.items()):
    print(name, fn_ref() is None, marker_ref() is None, before - sys.getrefcount(sig))
urllib.request.HTTPRedirectHandler = real
import routes.responses_api as m
print("retried", m.build_payload([], {})["model"])
"""


def test_callable_reached_only_through_a_cycle_releases_everything(native):
    rc, out, err = run_python(HOOKED_IMPORT)
    assert rc == 0, err
    # freed, its dict's contents freed, its cached signature released
    assert out.splitlines() == ["failed refused", "build_payload True True 1", "redirect_request True True 1",
                                "retried gpt-4o"]


FAILING_OPENER = """
import gc, sys, weakref, urllib.request
real = urllib.request.build_opener
made = []

def failing(*handlers):
    made.append(weakref.ref(handlers[0]))
    raise OSError("no opener")

urllib.request.build_opener = failing
for attempt in range(2):
    try:
        import routes.responses_api
    except OSError as e:
        print("failed", e, "routes.responses_api" in sys.modules)
gc.collect()
print("handler classes freed", [r() is None for r in made])
urllib.request.build_opener = real
import routes.responses_api as m
cls = m._PostRedirectHandlerLocal
print("retried", cls.__name__, all(r() is not cls for r in made), type(m._urllib_opener_local).__name__)
print(m.convert_messages([{"role": "system", "content": "s"}, {"role": "tool", "content": [1]}]))
for _ in range(3):
    gc.collect()
    print(sum(1 for h in m._urllib_opener_local.handlers if type(h) is cls),
          m.build_payload([{"role": "user", "content": "x"}], {}, tools=[{"type": "function",
                          "function": {"name": "f"}}])["tools"][0]["name"])
"""


def test_failed_import_after_the_handler_class_releases_it_and_can_be_retried(native):
    rc, out, err = run_python(FAILING_OPENER)
    assert rc == 0, err
    assert out.splitlines() == [
        "failed no opener False", "failed no opener False", "handler classes freed [True, True]",
        "retried _PostRedirectHandlerLocal True OpenerDirector",
        "('s', [{'type': 'function_call_output', 'call_id': '', 'output': '[1]'}])",
        "1 f", "1 f", "1 f"]



# What a failed import takes of the standard library (the json objects its
# fast paths check against, urllib's) it gives back, and the traceback
# entry it made is freed with the error.
RELEASES_WHAT_IT_TOOK = """
import gc, json, json.decoder, json.encoder, sys, urllib.request, weakref
real = urllib.request.build_opener


def failing(*handlers):
    raise OSError("no opener")


watched = [json, json.loads, json.dumps, json._default_decoder, json._default_decoder.scan_once,
           json.JSONDecoder.decode, json.JSONDecoder.raw_decode, json.JSONEncoder, json.JSONEncoder.__init__,
           json.JSONEncoder.encode, json.JSONEncoder.iterencode, vars(json.encoder), json.encoder.c_make_encoder,
           json.encoder.encode_basestring, urllib, urllib.request, urllib.request.HTTPRedirectHandler,
           urllib.request.Request]
codes = []


def attempt():
    try:
        import routes.responses_api
    except OSError as e:
        tb = e.__traceback__
        while tb is not None:
            if tb.tb_frame.f_code.co_filename == "routes/responses_api.py":
                codes.append(weakref.ref(tb.tb_frame.f_code))
            tb = tb.tb_next


urllib.request.build_opener = failing
attempt()  # the first attempt makes what outlives it (the type objects, the interned names)
gc.collect()
before = [sys.getrefcount(o) for o in watched]
for _ in range(3):
    attempt()
gc.collect()
after = [sys.getrefcount(o) for o in watched]
print("references", [a - b for a, b in zip(after, before)])
print("entries", len(codes), "freed", all(r() is None for r in codes))
"""


def test_a_failed_import_gives_back_every_reference_it_took(native):
    rc, out, err = run_python(RELEASES_WHAT_IT_TOOK)
    assert rc == 0, err
    assert out.splitlines() == ["references " + str([0] * 18), "entries 4 freed True"]

# ------------------------------------------- SSE line edges strip() removes

def frames(module, monkeypatch, body):
    monkeypatch.setattr(module, "_urllib_opener_local", FakeOpener(FakeResponse([body])))
    return ordered(list(module.stream_raw(URL, {}, {})))


DATA = b'data: {"type":"response.output_text.delta","delta":"x"}'
NAMED = b'data: {"delta":"y"}\n'  # typed only through the event name
EVENT = b"event: response.output_text.delta"


@pytest.mark.parametrize("ws", WHITESPACE, ids=lambda c: "U+%04X" % ord(c))
def test_line_edges_are_stripped_as_str_strip_does(native, twin, monkeypatch, ws):
    w = ws.encode()
    bodies = [
        w + DATA + b"\n", DATA + w + b"\n", w + DATA + w + w + b"\n",      # data lines
        b"data:" + w + b'{"type":"response.output_text.delta","delta":"z"}\n',
        w + EVENT + b"\n" + NAMED, EVENT + w + b"\n" + NAMED,                # event lines
        b"event:" + w + b"response.output_text.delta" + w + b"\n" + NAMED,
        EVENT + b"\n" + w + b"\n" + NAMED,                                   # a blank line of it
        b"data: " + w + b"[DONE]" + w + b"\n" + DATA + b"\n",
    ]
    for body in bodies:
        expected = frames(twin, monkeypatch, body)
        assert frames(native, monkeypatch, body) == expected, body
    # the edge is whitespace: the line means what it means without it
    assert frames(twin, monkeypatch, DATA + w + b"\n") == frames(twin, monkeypatch, DATA + b"\n")


@pytest.mark.parametrize("edge", NEAR_MISSES, ids=lambda c: "U+%04X" % ord(c))
def test_line_edges_strip_keeps(native, twin, monkeypatch, edge):
    e = edge.encode()
    for body in (e + DATA + b"\n", DATA + e + b"\n", EVENT + e + b"\n" + NAMED, b"data: " + e + b"[DONE]\n"):
        assert frames(native, monkeypatch, body) == frames(twin, monkeypatch, body), body


# ----------------------------------------------- what the collector sees

def test_suspended_generator_visits_the_key_of_its_last_summary(native, monkeypatch):
    """The (output_index, summary_index) of the last summary delta is a
    tuple of the generator's own; the indices alone are in other state too."""
    event = {"type": "response.reasoning_summary_text.delta", "output_index": 1000001,
             "summary_index": 1000002, "delta": "r"}
    body = b"data: " + json.dumps(event).encode() + b"\n\n"
    monkeypatch.setattr(native, "_urllib_opener_local", FakeOpener(FakeResponse1([body, sse(completed())])))
    g = native.stream_raw(URL, {}, {})
    assert next(g) == {"reasoning_content": "r"}
    assert any(type(r) is tuple and r == (1000001, 1000002) for r in gc.get_referents(g))
    g.close()


class MidLine:
    """A body of comment lines read in pieces that all end inside a line,
    so the buffer never empties at a read."""

    LINE = b": " + b"x" * 997 + b"\n"

    def __init__(self, total):
        self.left, self.first, self.closed, self.reads = total, True, False, 0
        self.base = self.peak = self.rss()

    @staticmethod
    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.closed = True

    def read1(self, n=-1):
        if self.left <= 0:
            return b""
        size = len(self.LINE)
        piece = self.LINE[:size // 2] if self.first else self.LINE[size // 2:] + self.LINE[:size // 2]
        self.first = False
        self.left -= len(piece)
        self.reads += 1
        if self.reads % 1024 == 0:
            self.peak = max(self.peak, self.rss())
        return piece


@pytest.mark.skipif(os.environ.get("RESPONSES_API_SANITIZED") == "1", reason="sizes are meaningless under ASan")
def test_buffer_stays_small_when_no_read_ends_a_line(native, monkeypatch):
    resp = MidLine(64 * 1024 * 1024)
    monkeypatch.setattr(native, "_urllib_opener_local", type("O", (), {"open": lambda self, r, timeout: resp})())
    assert list(native.stream_raw(URL, {}, {})) == [CUT_OFF] and resp.closed
    grown = resp.peak - resp.base
    assert grown < 16 * 1024 * 1024, "the line buffer grew by %d bytes" % grown


def test_a_finished_stream_frees_its_line_buffer_at_once(impl, monkeypatch):
    """The buffer that framed a 4 MiB line is freed when the stream ends,
    not when the generator that is still held is."""
    body = sse(text("x" * (4 << 20)), completed())
    pieces = [body[i:i + 65536] for i in range(0, len(body), 65536)]
    monkeypatch.setattr(impl, "_urllib_opener_local", FakeOpener(FakeResponse(pieces)))
    del body, pieces
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        gen = impl.stream_raw(URL, {}, {})
        assert [len(d.get("content", "")) for d in gen] == [4 << 20, 0]
        held = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert held < 1 << 20, "%d bytes still held by the finished stream" % held


# ------------------------------------------ errors that are not swallowed

class Stop(BaseException):
    pass


def test_debug_record_write_raising_a_base_exception_propagates(impl, monkeypatch):
    """The start entries absorb an Exception only."""
    class Logger(dict):
        def __setitem__(self, key, value):
            if key == "payload":
                raise Stop(key)
            super().__setitem__(key, value)

    resp = FakeResponse([sse(text("a"))])
    monkeypatch.setattr(impl, "_urllib_opener_local", FakeOpener(resp))
    g = impl.stream_raw(URL, {}, {}, Logger(x=1))
    with pytest.raises(Stop):
        next(g)


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


# ------------------------------------------ what a call holds and releases

class Dropping(dict):
    """A content part whose every read is logged; its first read drops it
    from the list being walked, leaving the walker's reference the last."""

    def get(self, key, default=None):
        self.log.append("get " + key)
        self.parent.clear()
        return dict.get(self, key, default)


@pytest.mark.parametrize("role, reads", [("system", ["get text"]), ("user", ["get type", "get text"])])
def test_a_part_dropped_from_its_list_while_read_stays_alive(impl, role, reads):
    """The part is freed after its last read, however many reads its
    message makes (an instruction reads its text; a user part its type, then
    its text)."""
    log = []
    part = Dropping(type="text", text="be brief")
    part.log, part.parent = log, [part]
    content = part.parent
    ref = weakref.ref(part, lambda _: log.append("freed"))
    del part
    instructions, items = impl.convert_messages([{"role": role, "content": content}])
    if role == "system":
        assert (instructions, items) == ("be brief", [])
    else:
        assert (instructions, items) == (None, [{"role": "user", "content": [{"type": "input_text", "text": "be brief"}]}])
    assert content == [] and ref() is None and log == reads + ["freed"]


class Liar(str):
    """A role that also claims to equal "developer"."""

    def __eq__(self, other):
        return str.__eq__(self, other) or other == "developer"

    __hash__ = str.__hash__


def test_a_str_subclass_compares_with_its_own_eq(impl):
    assert impl.convert_messages([{"role": Liar("user"), "content": "be brief"}]) == ("be brief", [])


def test_reexecuting_the_module_changes_nothing():
    code = """
import ctypes, importlib, routes.responses_api as m
before = dict(vars(m))
assert importlib.reload(m) is m
assert {k: v for k, v in vars(m).items()} == before, "globals changed"
# importlib never runs a module's body twice; an embedder's C code can
api = ctypes.pythonapi
api.PyModule_GetDef.restype = ctypes.c_void_p
api.PyModule_GetDef.argtypes = [ctypes.py_object]
api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
assert api.PyModule_ExecDef(m, api.PyModule_GetDef(m)) == 0
assert {k: v for k, v in vars(m).items()} == before, "globals changed"
print("reloaded")
"""
    rc, out, err = run_python(code)
    assert rc == 0, err
    assert out.strip() == "reloaded"
