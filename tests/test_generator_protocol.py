"""The generator of stream_raw beside a real Python generator of the same
shape (a `with` block over the response, yielding the deltas): every form of
send, throw and close, in every stage, gives the same result or exception
(type, message, cause and context, identity of what was thrown), the same
warnings, the same calls on the response and the same state afterwards."""

import gc
import sys
import warnings
import weakref

import pytest

from sse_server import URL, FakeOpener, FakeResponse1, completed, fin, sse, text

BODY = [sse(text("a")), sse(text("b")), sse(completed())]
DELTAS = [{"content": "a"}, {"content": "b"}, fin()]


def reference(resp, deltas):
    with resp:
        for d in deltas:
            yield d


class Response(FakeResponse1):
    """Also records the exception being handled while its __exit__ runs, and
    can run a hook from a read, or fail on exit."""

    hook = None

    def __init__(self, pieces, exit_result=None, exit_error=None):
        super().__init__(pieces, exit_result)
        self.exit_error = exit_error

    def __exit__(self, *exc):
        self.calls.append(("handling", sys.exception()))
        result = super().__exit__(*exc)
        if self.exit_error:
            raise self.exit_error
        return result

    def read1(self, n=-1):
        if self.hook and len(self.reads) == 1:
            hook, self.hook = self.hook, None
            hook()
        return super().read1(n)


class Hooked:
    """The reference's deltas; the response's hook runs while the second
    is fetched, as the module's reader runs it from its second read."""

    def __init__(self, resp):
        self.resp, self.it, self.count = resp, iter(DELTAS), 0

    def __iter__(self):
        return self

    def __next__(self):
        self.count += 1
        if self.count == 2 and self.resp.hook:
            hook, self.resp.hook = self.resp.hook, None
            hook()
        return next(self.it)


@pytest.fixture
def pair(impl, monkeypatch):
    """pair(**response_kw) -> [(reference generator, its response), (the
    module's generator, its response)]"""

    def make(**kw):
        ref_resp, resp = Response(list(BODY), **kw), Response(list(BODY), **kw)
        monkeypatch.setattr(impl, "_urllib_opener_local", FakeOpener(resp))
        return [(reference(ref_resp, Hooked(ref_resp)), ref_resp), (impl.stream_raw(URL, {}, {}), resp)]

    return make


def traceback_of():
    try:
        raise KeyError("for its traceback")
    except KeyError as e:
        return e.__traceback__


class E(Exception):
    pass


class Sub(E):
    pass


class Unmakeable(Exception):
    def __init__(self, *args):
        raise ZeroDivisionError("cannot make it")


# name: (method, a function returning its arguments)
DEPRECATED = "the (type, exc, tb) signature of throw() is deprecated, use the single-arg signature instead."
OPERATIONS = {
    "throw()": ("throw", lambda: ()),
    "throw(E, None, None, 1)": ("throw", lambda: (E, None, None, 1)),
    "throw(E)": ("throw", lambda: (E,)),
    "throw(E())": ("throw", lambda: (E("x"),)),
    "throw(E, None)": ("throw", lambda: (E, None)),
    "throw(E, 'v')": ("throw", lambda: (E, "v")),
    "throw(E, ('a', 'b'))": ("throw", lambda: (E, ("a", "b"))),
    "throw(E, E())": ("throw", lambda: (E, E("i"))),
    "throw(E, Sub())": ("throw", lambda: (E, Sub("s"))),
    "throw(Sub, E())": ("throw", lambda: (Sub, E("s"))),
    "throw(E, KeyError())": ("throw", lambda: (E, KeyError("k"))),
    "throw(E(), None)": ("throw", lambda: (E("x"), None)),
    "throw(E(), 'v')": ("throw", lambda: (E("x"), "v")),
    "throw(E, None, None)": ("throw", lambda: (E, None, None)),
    "throw(E, None, tb)": ("throw", lambda: (E, None, traceback_of())),
    "throw(E(), None, tb)": ("throw", lambda: (E("x"), None, traceback_of())),
    "throw(E, None, 1)": ("throw", lambda: (E, None, 1)),
    "throw(E(), None, 'tb')": ("throw", lambda: (E("x"), None, "tb")),
    "throw('s')": ("throw", lambda: ("s",)),
    "throw(int)": ("throw", lambda: (int,)),
    "throw(1, 2)": ("throw", lambda: (1, 2)),
    "throw(Unmakeable)": ("throw", lambda: (Unmakeable,)),
    "throw(StopIteration)": ("throw", lambda: (StopIteration,)),
    "throw(StopIteration(5))": ("throw", lambda: (StopIteration(5),)),
    "throw(GeneratorExit)": ("throw", lambda: (GeneratorExit,)),
    "throw(KeyboardInterrupt())": ("throw", lambda: (KeyboardInterrupt(),)),
    "throw(ExceptionGroup)": ("throw", lambda: (ExceptionGroup("eg", [E("in")]),)),
    "send(None)": ("send", lambda: (None,)),
    "send(1)": ("send", lambda: (1,)),
    "send()": ("send", lambda: ()),
    "close()": ("close", lambda: ()),
    "close(1)": ("close", lambda: (1,)),
    "next": ("__next__", lambda: ()),
}
STAGES = {
    "created": lambda g: None,
    "suspended": next,
    "at its last delta": lambda g: [next(g) for _ in DELTAS],
    "finished": list,
    "closed": lambda g: (next(g), g.close()),
    "raised": lambda g: (next(g), run(g, "throw", (KeyError("k"),))),
}


def run(g, method, args):
    """The outcome of g.<method>(*args), as comparable values."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            outcome = ("value", getattr(g, method)(*args))
        except BaseException as e:  # noqa: BLE001 - the outcome is compared
            tb_frames = []
            t = e.__traceback__
            while t is not None:
                tb_frames.append(t.tb_frame)
                t = t.tb_next
            given_tb = [a for a in args if type(a).__name__ == "traceback"]
            outcome = (
                "raise",
                type(e),
                str(e),
                type(e.__cause__),
                type(e.__context__),
                [a is e for a in args],
                [t.tb_frame in tb_frames for t in given_tb],
            )
    return outcome + tuple((w.category, str(w.message)) for w in caught)


def observed(g, resp, method, args):
    outcome = run(g, method, args)
    state = (g.gi_running, g.gi_suspended)
    calls = [c[:2] if c[0] == "exit" else c[:1] for c in resp.calls if c[0] in ("enter", "exit")]
    handling = [type(c[1]) for c in resp.calls if c[0] == "handling"]
    return outcome, state, calls, handling, run(g, "__next__", ())


@pytest.mark.parametrize("exit_result", [None, True], ids=["exit-passes", "exit-swallows"])
@pytest.mark.parametrize("op", OPERATIONS)
def test_operation_in_every_stage_as_a_python_generator(impl, pair, op, exit_result, request):
    method, args = OPERATIONS[op]
    differ = []
    for stage, reach in STAGES.items():
        seen = []
        for g, resp in pair(exit_result=exit_result):
            reach(g)
            seen.append(observed(g, resp, method, args()))
        if seen[0] != seen[1]:
            differ.append((stage, seen))
    assert differ == []


def test_deprecated_signature_warning_can_be_an_error(impl, pair):
    for g, _resp in pair():
        next(g)
        with warnings.catch_warnings():
            warnings.simplefilter("error", DeprecationWarning)
            with pytest.raises(DeprecationWarning) as info:
                g.throw(E, None)
        assert str(info.value) == DEPRECATED
        assert next(g) == {"content": "b"}  # nothing was thrown in


@pytest.mark.parametrize("op", ["next", "send(None)", "throw(E)", "close()"])
def test_reentry_while_running(impl, pair, op):
    method, args = OPERATIONS[op]
    seen = []
    for g, resp in pair():
        inside = []
        resp.hook = lambda g=g, inside=inside: inside.append((g.gi_running, g.gi_suspended, run(g, method, args())))
        outcomes = [run(g, "__next__", ()) for _ in range(3)]
        seen.append((inside, outcomes))
    assert seen[0] == seen[1]
    assert [(running, suspended, outcome[:3]) for running, suspended, outcome in seen[1][0]] == [
        (True, False, ("raise", ValueError, "generator already executing"))
    ]


@pytest.mark.parametrize("op", ["close()", "throw(E())", "next"])
def test_exit_that_raises(impl, pair, op):
    method, args = OPERATIONS[op]
    seen = []
    for g, resp in pair(exit_error=OSError("exit failed")):
        if op == "next":
            [next(g) for _ in DELTAS]
        else:
            next(g)
        seen.append(observed(g, resp, method, args()))
    assert seen[0] == seen[1]
    assert seen[1][0][:3] == ("raise", OSError, "exit failed")


@pytest.mark.parametrize("exit_error", [None, OSError("exit failed")], ids=["exit-passes", "exit-raises"])
def test_collected_while_suspended(impl, pair, exit_error):
    seen, pairs = [], pair(exit_error=exit_error)
    while pairs:
        g, resp = pairs.pop(0)
        next(g)
        unraisable, name = [], repr(g)
        # 3.14 names the generator in the message instead of passing it
        hook, sys.unraisablehook = (
            sys.unraisablehook,
            lambda u: unraisable.append(  # noqa: B023
                (
                    type(u.exc_value),
                    str(u.exc_value),
                    type(u.object).__name__,
                    u.err_msg and u.err_msg.replace(name, "G"),  # noqa: B023
                )
            ),
        )
        try:
            del g
            gc.collect()
        finally:
            sys.unraisablehook = hook
        seen.append(
            (
                [c[:2] for c in resp.calls if c[0] == "exit"],
                [type(c[1]) for c in resp.calls if c[0] == "handling"],
                unraisable,
            )
        )
    assert seen[0] == seen[1]
    assert seen[1][0] == [("exit", GeneratorExit)]


# ----------------------------------------------------- throw while running


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
