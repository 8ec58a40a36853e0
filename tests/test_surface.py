"""The native module's own surface: import, globals, callables, binding
errors, documentation strings, tracebacks and the generator protocol."""

import ctypes
import email.message
import inspect
import io
import json
import os
import pathlib
import subprocess
import sys
import textwrap
import traceback
import urllib
import urllib.request

import pytest

from sse_server import URL, FakeOpener, FakeResponse1, sse, text

native = pytest.importorskip("routes.responses_api")  # conftest refuses a missing build unless asked

pytestmark = pytest.mark.usefixtures("native")

GLOBALS = [
    "json",
    "urllib",
    "convert_messages",
    "_normalize_content",
    "convert_tools",
    "build_payload",
    "normalize_response",
    "stream_raw",
    "_PostRedirectHandlerLocal",
    "_urllib_opener_local",
    "__test__",
]

SIGNATURES = {
    "convert_messages": (["api_messages"], None),
    "_normalize_content": (["content", "text_type"], None),
    "convert_tools": (["tools"], None),
    "build_payload": (
        [
            "api_messages",
            "llm_config",
            "tools",
            "tool_choice",
            "stream",
            "max_tokens",
            "temperature",
            "skip_tool_choice",
        ],
        (None, None, False, None, None, False),
    ),
    "normalize_response": (["resp"], None),
    "stream_raw": (["url", "headers", "payload", "debug_logger"], (None,)),
}


def run_python(code):
    """Runs code in a fresh interpreter; returns (returncode, stdout, stderr)."""
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
        env={**os.environ, "PYTHONWARNINGS": "default"},
    )
    return proc.returncode, proc.stdout, proc.stderr


# ---------------------------------------------------------------- import


def test_globals_in_order():
    names = [k for k in vars(native) if k in GLOBALS]
    assert names == GLOBALS
    assert native.json is json
    assert native.urllib is urllib and native.urllib.error and native.urllib.request
    assert native.__test__ == {} and type(native.__test__) is dict
    assert sys.modules["routes.responses_api"] is native
    assert native.__name__ == "routes.responses_api"


def test_no_routes_package_init():
    import routes

    assert getattr(routes, "__file__", None) is None  # a namespace package
    assert pathlib.Path(native.__file__).name.startswith("responses_api.cpython-%d%d-" % sys.version_info[:2])
    assert (pathlib.Path(native.__file__).parent / "responses_api.pyi").exists()


def test_reimport_through_new_module_object_is_refused():
    code = """
    import importlib, sys, _imp
    import routes.responses_api as first
    assert _imp.exec_dynamic(first) == 0          # same object: nothing happens
    importlib.reload(first)                        # harmless
    assert first.build_payload([], {})["model"] == "gpt-4o"
    del sys.modules["routes.responses_api"]
    try:
        import routes.responses_api
    except RuntimeError as e:
        print(e)
    print(first.convert_tools([{"type": "function", "function": {"name": "f"}}])[0]["name"])
    """
    rc, out, err = run_python(code)
    assert rc == 0, err
    assert out.splitlines() == [
        "Module 'responses_api' has already been imported. Re-initialisation is not supported.",
        "f",
    ]


def test_second_interpreter_is_refused():
    code = """
    import routes.responses_api
    import _interpreters
    for config in ("isolated", "legacy"):
        interp = _interpreters.create(config)
        exc = _interpreters.exec(interp, "import routes.responses_api")
        print(exc.type.__name__, exc.msg)
        _interpreters.destroy(interp)
    """
    rc, out, err = run_python(code)
    assert rc == 0, err
    expected = (
        "ImportError Interpreter change detected - this module can only be loaded into one interpreter per process."
    )
    assert out.splitlines() == [expected, expected]


def test_first_import_may_be_in_a_subinterpreter_with_its_own_gil():
    """What the module declares: any one interpreter of the process, even
    an isolated one with its own GIL; then no other."""
    code = """
    import _interpreters
    interp = _interpreters.create("isolated")
    exc = _interpreters.exec(interp, '''if True:
        import routes.responses_api as m
        assert m.build_payload([{"role": "user", "content": "hi"}], {})["input"][0]["content"] == "hi"
        assert m.normalize_response({"output": []})["choices"][0]["message"] == {"role": "assistant", "content": ""}
    ''')
    print(exc)
    try:
        import routes.responses_api
    except ImportError as e:
        print(e)
    """
    rc, out, err = run_python(code)
    assert rc == 0, err
    assert out.splitlines() == [
        "None",
        "Interpreter change detected - this module can only be loaded into one interpreter per process.",
    ]


def test_of_two_subinterpreters_importing_at_once_exactly_one_gets_the_module():
    """Two threads, each in a subinterpreter with its own GIL (so both run at
    once), import the module at the same moment: one import succeeds, the
    other is refused as any second interpreter is. A few rounds, each in a
    fresh process."""
    code = """
    import _interpreters, threading
    interps = [_interpreters.create("isolated") for _ in range(2)]
    barrier = threading.Barrier(2)
    results = [None, None]

    def run(i):
        barrier.wait()
        exc = _interpreters.exec(interps[i], "import routes.responses_api")
        results[i] = "imported" if exc is None else exc.type.__name__ + " " + exc.msg

    threads = [threading.Thread(target=run, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print(sorted(results))
    """
    refused = (
        "ImportError Interpreter change detected - this module can only be loaded into one interpreter per process."
    )
    for _ in range(3):
        rc, out, err = run_python(code)
        assert rc == 0, err
        assert out.strip() == repr(sorted(["imported", refused]))


def test_failing_import_has_init_traceback_entry():
    code = """
    import sys, traceback
    sys.modules["json"] = None
    try:
        import routes.responses_api
    except ImportError:
        traceback.print_exc(file=sys.stdout)
    sys.modules.pop("json")
    import routes.responses_api           # a failed import can be retried
    print("retried", routes.responses_api.json.__name__)
    """
    rc, out, err = run_python(code)
    assert rc == 0, err
    assert 'File "routes/responses_api.py", line 1, in init routes.responses_api' in out
    assert out.rstrip().endswith("retried json")


# failed imports: GC clear, state; the body run twice; builtins

# urllib.request's HTTPRedirectHandler replaced by a class whose metaclass
# fails to make the module's handler class: the import fails after every
# function is made, and the hook sees them first.
HOOKED_IMPORT = """
import gc, sys, weakref, urllib.request
real = urllib.request.HTTPRedirectHandler
grabbed = {}

def refs(name):  # counted the same way each time (3.14 counts a local's load on the stack differently)
    return sys.getrefcount(grabbed[name][2])

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
            grabbed[fn.__name__] = (weakref.ref(fn), weakref.ref(marker), sig)
            grabbed[fn.__name__] += (refs(fn.__name__),)
        raise LookupError("refused")

urllib.request.HTTPRedirectHandler = Refusing("Base", (), {})
try:
    import routes.responses_api
except LookupError as e:
    print("failed", e)
gc.collect()
for name, (fn_ref, marker_ref, sig, before) in sorted(grabbed.items()):
    print(name, fn_ref() is None, marker_ref() is None, before - refs(name))
urllib.request.HTTPRedirectHandler = real
import routes.responses_api as m
print("retried", m.build_payload([], {})["model"])
"""


def test_callable_reached_only_through_a_cycle_releases_everything(native):
    rc, out, err = run_python(HOOKED_IMPORT)
    assert rc == 0, err
    # freed, its dict's contents freed, its cached signature released
    assert out.splitlines() == [
        "failed refused",
        "build_payload True True 1",
        "redirect_request True True 1",
        "retried gpt-4o",
    ]


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
        "failed no opener False",
        "failed no opener False",
        "handler classes freed [True, True]",
        "retried _PostRedirectHandlerLocal True OpenerDirector",
        "('s', [{'type': 'function_call_output', 'call_id': '', 'output': '[1]'}])",
        "1 f",
        "1 f",
        "1 f",
    ]


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
    run_with_builtins(
        "found['new'] = h.redirect_request(req, fp, 302, 'Moved', m, 'http://h.example/b')",  # super()
        {
            "h": impl._PostRedirectHandlerLocal(),
            "req": req,
            "fp": io.BytesIO(b""),
            "m": email.message.Message(),
            "found": found,
        },
    )
    assert "timestamp" in logger and found["new"].full_url == "http://h.example/b"


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


def test_import_warns_about_nothing():
    proc = subprocess.run(
        [sys.executable, "-W", "error", "-X", "dev", "-c", "import routes.responses_api"],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "", "")


# ------------------------------------------------------------- callables


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_callable_attributes(name, twin):
    fn = getattr(native, name)
    params, defaults = SIGNATURES[name]
    assert fn.__name__ == fn.__qualname__ == name
    assert fn.__module__ == "routes.responses_api"
    assert fn.__defaults__ == defaults
    assert fn.__doc__ == getattr(twin, name).__doc__
    sig = inspect.signature(fn)
    assert list(sig.parameters) == params
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())
    assert sig == inspect.signature(getattr(twin, name))


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_callables_bind_as_functions_do(name, twin):
    class Holder:
        pass

    fn, py = getattr(native, name), getattr(twin, name)
    holder = Holder()
    for f in (fn, py):
        Holder.f = f  # reached through a class, or __get__(None, cls): the function itself
        assert f.__get__(None, Holder) is f and Holder.f is f
        bound = f.__get__(holder, Holder)
        assert bound.__func__ is f and bound.__self__ is holder
    with pytest.raises(TypeError):
        type(fn)()  # no other function of the native type can be made


def test_module_and_class_documentation(twin):
    assert native.__doc__ == twin.__doc__
    cls = native._PostRedirectHandlerLocal
    assert cls.__doc__ == "Preserve POST method + body on 307/308 redirects (default urllib converts to GET)."
    assert cls.__module__ == "routes.responses_api" and cls.__qualname__ == "_PostRedirectHandlerLocal"
    assert cls.__bases__ == (urllib.request.HTTPRedirectHandler,)
    own = [k for k in vars(cls) if not k.startswith("__")]
    assert own == ["redirect_request"]
    method = cls.redirect_request
    assert method.__name__ == "redirect_request"
    assert method.__qualname__ == "_PostRedirectHandlerLocal.redirect_request"
    assert method.__doc__ == "_PostRedirectHandlerLocal.redirect_request(self, req, fp, code, msg, headers, newurl)"
    handler = cls()
    bound = handler.redirect_request
    assert bound.__self__ is handler and bound.__func__ is method
    assert list(inspect.signature(bound).parameters) == ["req", "fp", "code", "msg", "headers", "newurl"]
    opener = native._urllib_opener_local
    assert any(type(h) is cls for h in opener.handlers)
    assert not any(type(h) is urllib.request.HTTPRedirectHandler for h in opener.handlers)


class Exploding(dict):
    def get(self, *args):
        raise AssertionError("the body must not run on a binding error")


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda: native.build_payload(Exploding()), "build_payload() takes at least 2 positional arguments (1 given)"),
        (
            lambda: native.build_payload(llm_config=Exploding()),
            "build_payload() takes at least 2 positional arguments (0 given)",
        ),
        (lambda: native.convert_tools(), "convert_tools() takes exactly 1 positional argument (0 given)"),
        (lambda: native._normalize_content(1), "_normalize_content() takes exactly 2 positional arguments (1 given)"),
        (
            lambda: native._normalize_content(text_type=1),
            "_normalize_content() takes exactly 2 positional arguments (0 given)",
        ),
        (lambda: native.stream_raw(1, 2, 3, 4, 5), "stream_raw() takes at most 4 positional arguments (5 given)"),
        (lambda: native.normalize_response(1, 2), "normalize_response() takes exactly 1 positional argument (2 given)"),
        (
            lambda: native.build_payload([], Exploding(), 1, 2, 3, 4, 5, 6, 7),
            "build_payload() takes at most 8 positional arguments (9 given)",
        ),
        (
            lambda: native.build_payload([], Exploding(), colour=1),
            "build_payload() got an unexpected keyword argument 'colour'",
        ),
        (
            lambda: native.build_payload([], Exploding(), llm_config=1),
            "build_payload() got multiple values for keyword argument 'llm_config'",
        ),
        (
            lambda: native._PostRedirectHandlerLocal().redirect_request(1, 2, 3, 4, 5),
            "redirect_request() takes exactly 7 positional arguments (6 given)",
        ),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keywords_bind_everywhere():
    assert native.normalize_response(resp=None) is None
    payload = native.build_payload(
        llm_config={}, api_messages=[], skip_tool_choice=True, tool_choice="auto", stream=1, max_tokens=0, temperature=0
    )
    assert payload == {"model": "gpt-4o", "input": [], "max_output_tokens": 0, "temperature": 0, "stream": True}
    assert native._normalize_content(text_type="x", content=["a"]) == [{"type": "x", "text": "a"}]


def fresh(name):
    """An str equal to name but not the same object (built at run time)."""
    made = "".join([name[:1], name[1:]])
    assert made == name and made is not name
    return made


# Keyword names equal to a parameter's but not identical to it bind as a
# Python function binds them; so do the errors they meet.
@pytest.mark.parametrize(
    "name,args,kwargs",
    [
        (
            "build_payload",
            (),
            dict(
                api_messages=[{"role": "user", "content": "hi"}],
                llm_config={"model": "m"},
                tools=[{"type": "function", "function": {"name": "f"}}],
                tool_choice="auto",
                stream=True,
                max_tokens=5,
                temperature=0.5,
                skip_tool_choice=False,
            ),
        ),
        ("convert_messages", (), dict(api_messages=[{"role": "system", "content": "s"}])),
        ("_normalize_content", (), dict(content=["a", {"type": "text", "text": "b"}], text_type="output_text")),
        ("convert_tools", (), dict(tools=[{"type": "function", "function": {"name": "g"}}])),
        ("normalize_response", (), dict(resp={"output": [], "usage": {"input_tokens": 1}})),
        ("build_payload", ([],), dict(llm_config={}, stream=1)),
        ("build_payload", ([], {}), dict(api_messages=[])),  # given twice
        ("build_payload", ([], {}), dict(api_messagez=[])),  # no such parameter
    ],
)
def test_keywords_built_at_run_time_bind_as_literal_ones(twin, name, args, kwargs):
    def outcome(module, kw):
        try:
            return getattr(module, name)(*args, **kw)
        except TypeError as e:
            return str(e)

    built = {fresh(k): v for k, v in kwargs.items()}
    bound = outcome(native, built)
    assert bound == outcome(native, kwargs)
    if not isinstance(bound, str):  # the binding errors' texts are the module's own (see above)
        assert bound == outcome(twin, kwargs)


def test_functions_pickle_by_reference():
    import pickle

    assert pickle.loads(pickle.dumps(native.build_payload)) is native.build_payload


# binding errors: the count given, keywords that are not text


@pytest.mark.parametrize(
    "call,message",
    [
        # a keyword fills a later slot: the count is where the first gap is
        (lambda m: m.build_payload(api_messages=[]), "build_payload() takes at least 2 positional arguments (1 given)"),
        (
            lambda m: m.build_payload(api_messages=[], tools=1, stream=1),
            "build_payload() takes at least 2 positional arguments (1 given)",
        ),
        (lambda m: m.build_payload(tools=[]), "build_payload() takes at least 2 positional arguments (0 given)"),
        (lambda m: m.stream_raw(url=1, headers=2), "stream_raw() takes at least 3 positional arguments (2 given)"),
        (lambda m: m.stream_raw(1, payload=3), "stream_raw() takes at least 3 positional arguments (1 given)"),
        (
            lambda m: m._normalize_content(content=1),
            "_normalize_content() takes exactly 2 positional arguments (1 given)",
        ),
    ],
)
def test_binding_error_counts_the_slots_filled_before_the_gap(native, call, message):
    with pytest.raises(TypeError) as info:
        call(native)
    assert str(info.value) == message


def test_keyword_that_is_not_text(native):
    call = ctypes.pythonapi.PyObject_Vectorcall  # the interpreter refuses such a call before it gets here
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]
    with pytest.raises(TypeError) as info:
        call(native.convert_messages, (ctypes.py_object * 2)([], 1), 1, (5,))
    assert str(info.value) == "convert_messages() keywords must be strings"


# -------------------------------------------------------------- tracebacks

# The line of each function's traceback entry: the functions in namespace
# order, spaced as their definitions would be in a Python module.
TRACEBACK_LINES = {
    "convert_messages": 70,
    "_normalize_content": 160,
    "convert_tools": 220,
    "build_payload": 260,
    "normalize_response": 310,
    "stream_raw": 390,
    "_PostRedirectHandlerLocal.redirect_request": 560,
}


@pytest.mark.parametrize(
    "call,qualname",
    [
        (lambda: native.build_payload([], None), "build_payload"),
        (lambda: native.convert_messages([None]), "convert_messages"),
        (lambda: native.convert_tools([{"type": "function", "function": None}]), "convert_tools"),
        (lambda: native.normalize_response({"usage": 5}), "normalize_response"),
        (lambda: native._normalize_content(BadStr(), "t"), "_normalize_content"),
        (
            lambda: native._PostRedirectHandlerLocal().redirect_request(None, None, 307, "", {}, "http://x/"),
            "_PostRedirectHandlerLocal.redirect_request",
        ),
    ],
)
def test_traceback_entry_names_the_function(call, qualname):
    with pytest.raises(Exception) as info:
        call()
    ours = [f for f in traceback.extract_tb(info.value.__traceback__) if f.filename == "routes/responses_api.py"]
    assert [f.name for f in ours] == ["routes.responses_api." + qualname]
    assert ours[0].lineno == TRACEBACK_LINES[qualname]


class Read1Fails:
    """A response whose second read raises, mid-stream (or that ends after
    one delta), and whose __exit__ may raise too."""

    def __init__(self, read_error=OSError("reset"), exit_error=None):  # noqa: B008 (one error object, never changed)
        self.reads = [b'data: {"type": "response.output_text.delta", "delta": "a"}\n\n']
        self.reads += [read_error] if read_error else [b""]
        self.exit_error = exit_error

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.exit_error:
            raise self.exit_error
        return None

    def read1(self, n=-1):
        piece = self.reads.pop(0)
        if isinstance(piece, BaseException):
            raise piece
        return piece


class EnterFails(Read1Fails):
    def __enter__(self):
        raise KeyError("enter")

    def __exit__(self, *exc):
        raise AssertionError("a with block whose __enter__ failed is not left")


def drain(module, response):
    import fake_opener

    opener = fake_opener.FakeOpener(response)
    saved = module._urllib_opener_local
    module._urllib_opener_local = opener
    try:
        return list(module.stream_raw("http://127.0.0.1:9/", {}, {}))
    finally:
        module._urllib_opener_local = saved


# An error raised inside a function that another one of the module called
# carries both entries, outermost first, as nested Python calls would; one
# raised inside the stream's `with` block carries the generator's entry.
@pytest.mark.parametrize(
    "call,error,entries",
    [
        (
            lambda m: m.convert_messages([{"role": "user", "content": BadStr()}]),
            ValueError,
            ["convert_messages", "_normalize_content"],
        ),
        (
            lambda m: m.build_payload([{"role": "assistant", "content": BadStr()}], {}),
            ValueError,
            ["build_payload", "convert_messages", "_normalize_content"],
        ),
        (
            lambda m: m.build_payload([], {}, tools=[{"type": "function", "function": None}]),
            AttributeError,
            ["build_payload", "convert_tools"],
        ),
        (lambda m: drain(m, Read1Fails()), OSError, ["stream_raw"]),
        (lambda m: drain(m, Read1Fails(exit_error=KeyError("exit"))), KeyError, ["stream_raw"]),
        (lambda m: drain(m, Read1Fails(read_error=None, exit_error=KeyError("exit"))), KeyError, ["stream_raw"]),
        (lambda m: drain(m, OSError("refused")), OSError, ["stream_raw"]),
        (lambda m: drain(m, EnterFails()), KeyError, ["stream_raw"]),
    ],
)
def test_traceback_entries_of_nested_failures(twin, call, error, entries):
    for module in (native, twin):
        with pytest.raises(error) as info:
            call(module)
        frames = traceback.extract_tb(info.value.__traceback__)
        if module is native:
            ours = [(f.name, f.lineno) for f in frames if f.filename == "routes/responses_api.py"]
            assert ours == [("routes.responses_api." + e, TRACEBACK_LINES[e]) for e in entries]
        else:  # the twin, a Python module, shows the same calls
            assert [f.name for f in frames if f.filename == twin.__file__ and f.name in TRACEBACK_LINES] == entries


class BadStr:
    def __str__(self):
        raise ValueError("no text")


def test_generator_traceback_and_protocol():
    gen = native.stream_raw("http://127.0.0.1:9/", {}, {"bad": object()})
    assert gen.__name__ == gen.__qualname__ == "stream_raw"
    assert iter(gen) is gen and not gen.gi_running
    import collections.abc

    assert isinstance(gen, collections.abc.Generator)
    with pytest.raises(TypeError) as info:
        gen.send(1)
    assert str(info.value) == "can't send non-None value to a just-started generator"
    with pytest.raises(TypeError):  # json.dumps refuses the payload at the first next()
        next(gen)
    with pytest.raises(StopIteration):
        next(gen)


def test_generator_error_traceback_entry():
    gen = native.stream_raw("http://127.0.0.1:9/", {}, {"bad": object()})
    with pytest.raises(TypeError) as info:
        next(gen)
    ours = [
        (f.name, f.lineno)
        for f in traceback.extract_tb(info.value.__traceback__)
        if f.filename == "routes/responses_api.py"
    ]
    assert ours == [("routes.responses_api.stream_raw", TRACEBACK_LINES["stream_raw"])]


def test_generator_throw_and_close_before_start():
    gen = native.stream_raw("http://127.0.0.1:9/", {}, {})
    gen.close()
    with pytest.raises(StopIteration):
        next(gen)
    gen = native.stream_raw("http://127.0.0.1:9/", {}, {})
    with pytest.raises(KeyError):
        gen.throw(KeyError("k"))
    with pytest.raises(StopIteration):
        next(gen)
    with pytest.raises(ValueError):  # a finished generator re-raises what is thrown
        gen.throw(ValueError)


def test_generator_reentry_is_refused(monkeypatch):
    seen = []

    class Logger(dict):
        def __setitem__(self, key, value):
            if key == "body":
                for call in (lambda: next(gen), gen.close, lambda: gen.throw(KeyError)):
                    try:
                        call()
                    except ValueError as e:
                        seen.append(str(e))
            super().__setitem__(key, value)

    gen = native.stream_raw("http://127.0.0.1:9/", {}, {}, Logger(x=1))
    monkeypatch.setattr(native, "_urllib_opener_local", None)
    with pytest.raises(AttributeError):
        next(gen)
    assert seen == ["generator already executing"] * 3


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
