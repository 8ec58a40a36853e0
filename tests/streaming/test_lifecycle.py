"""The generator's lifetime and the response it holds open."""

import gc
import weakref

import pytest

from sse_server import CUT_OFF, URL, sse, text

C = lambda t: {"content": t}  # noqa: E731
TWO_READS = [sse(text("a")), sse(text("b"))]


@pytest.mark.parametrize("exit_result", [None, True])
def test_close_after_first_delta(impl, fake, exit_result):
    resp = fake(TWO_READS, exit_result=exit_result)
    g = impl.stream_raw(URL, {}, {})
    assert next(g) == C("a")
    g.close()
    assert resp.reads == [("read", 4096)]
    ((_, typ, val, _),) = resp.exits
    assert typ is GeneratorExit and isinstance(val, GeneratorExit)
    assert list(g) == []


@pytest.mark.parametrize("exit_result", [None, True])
def test_throw_passes_through_exit(impl, fake, exit_result):
    resp = fake(TWO_READS, exit_result=exit_result)
    g = impl.stream_raw(URL, {}, {})
    next(g)
    e = KeyError("k")
    with pytest.raises(StopIteration if exit_result else KeyError) as ei:
        g.throw(e)
    assert exit_result or ei.value is e
    assert resp.exits[0][1:3] == (KeyError, e) and len(resp.reads) == 1
    assert list(g) == []


def test_unstarted_generator(impl, fake):
    fake(TWO_READS)
    g = impl.stream_raw(URL, {}, {})
    with pytest.raises(TypeError):
        g.send(1)
    g.close()
    assert fake.opener.opened == [] and list(g) == []
    g = impl.stream_raw(URL, {}, {})
    assert g.send(None) == C("a")
    assert list(g) == [C("b"), CUT_OFF]


def test_collection_of_suspended_generator_closes_response(impl, fake):
    resp = fake(TWO_READS)
    g = impl.stream_raw(URL, {}, {})
    next(g)
    del g
    gc.collect()
    assert resp.exits and resp.exits[0][1] is GeneratorExit and len(resp.reads) == 1


def test_cycle_through_debug_logger_is_collected(impl, fake):
    resp = fake(TWO_READS)
    log = {}
    g = impl.stream_raw(URL, {}, {"p": 1}, log)
    log["generator"] = g
    next(g)
    try:
        ref = weakref.ref(g)
    except TypeError:  # not weakref-able: the closed response tells instead
        ref = None
    del g, log
    gc.collect()
    assert resp.closed and (ref is None or ref() is None)
