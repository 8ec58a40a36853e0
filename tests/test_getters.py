"""Every attribute of the module's callables and of a stream's generator,
read many times over: neither what a read returns nor anything the object
holds changes its reference count. (A getter handing out a borrowed
reference frees, a few reads later, what the object still points to.)"""

import ctypes
import gc
import sys

import pytest

from sse_server import URL, FakeOpener, FakeResponse1, completed, sse, text

READS = 1000
FUNCTIONS = [
    "convert_messages",
    "_normalize_content",
    "convert_tools",
    "build_payload",
    "normalize_response",
    "stream_raw",
]
# Methods that only report on the object, called like getters: name -> arguments.
REPORTING = {
    "__reduce__": (),
    "__reduce_ex__": (4,),
    "__repr__": (),
    "__str__": (),
    "__hash__": (),
    "__sizeof__": (),
    "__dir__": (),
    "__getstate__": (),
    "__format__": ("",),
    "__iter__": (),
}


def callables(impl):
    out = {name: getattr(impl, name) for name in FUNCTIONS}
    out["redirect_request"] = vars(impl._PostRedirectHandlerLocal)["redirect_request"]
    return out


def reads(obj):
    """name -> a function making one read (attribute or reporting method)."""
    out = {}
    for name in dir(obj):
        out["." + name] = lambda name=name: getattr(obj, name)
        if name in REPORTING:
            out[name + "()"] = lambda name=name: getattr(obj, name)(*REPORTING[name])
    if hasattr(obj, "__get__"):  # a function as a class attribute, and bound to an instance
        out["__get__(None, cls)"] = lambda: obj.__get__(None, object)
        out["__get__(obj)"] = lambda: obj.__get__(sys)
    return out


def held(obj, readers):
    """What the object returns and holds: every read's result, its referents
    and the object itself."""
    objects = [obj, *gc.get_referents(obj)]
    for read in readers.values():
        try:
            objects.append(read())
        except (AttributeError, TypeError):
            pass
    return objects


def drift_after(read, objects, times):
    """Reads `times` times; returns the reference-count changes of `objects`
    as (index, change). An over-release is paid back at once, that of the
    first read made by held() too, so that a failing check reports instead
    of crashing later."""
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(times):
        try:
            read()
        except (AttributeError, TypeError):
            pass
    after = [sys.getrefcount(o) for o in objects]
    changes = [(i, a - b) for i, (a, b) in enumerate(zip(after, before)) if a != b]
    for i, change in changes:
        for _ in range(-change * (times + 1) // times):
            ctypes.pythonapi.Py_IncRef(ctypes.py_object(objects[i]))
    return changes


def check_reads(obj):
    readers = reads(obj)
    objects = held(obj, readers)
    # Extra references, so that an over-releasing read (its first one made
    # by held()) cannot free anything before the check has seen it.
    pinned = objects * 3  # noqa: F841
    failures = []
    gc.collect()
    gc.disable()  # a collection mid-loop could free garbage that points to them
    try:
        for name, read in readers.items():
            # one read first: a count off by one is seen before anything is freed
            for times in (1, READS):
                changes = drift_after(read, objects, times)
                if changes:
                    failures.append((name, times, [(type(objects[i]).__name__, c) for i, c in changes]))
                    break
    finally:
        gc.enable()
    return failures


@pytest.mark.parametrize("name", FUNCTIONS + ["redirect_request"])
def test_callable_attributes_keep_their_counts(impl, name):
    fn = callables(impl)[name]
    fn.__dict__["marker"] = object()  # a dict that holds something
    try:
        assert check_reads(fn) == []
    finally:
        del fn.__dict__["marker"]


def stages(impl, monkeypatch):
    """The generator created, suspended with a delta pending and a call
    recorded, finished, and closed."""
    body = [
        sse(
            {
                "type": "response.output_item.added",
                "output_index": 0,
                "item": {"type": "function_call", "id": "fc_1", "call_id": "call_1", "name": "write_file"},
            },
            {"type": "response.function_call_arguments.delta", "output_index": 1, "item_id": "fc_2", "delta": "{"},
            text("x"),
            completed(input_tokens=1),
        )
    ]

    def gen(advance):
        monkeypatch.setattr(impl, "_urllib_opener_local", FakeOpener(FakeResponse1(body)))
        g = impl.stream_raw(URL, {"X": "y"}, {"model": "m"}, {})
        advance(g)
        return g

    return {
        "created": lambda: gen(lambda g: None),
        "suspended": lambda: gen(lambda g: [next(g), next(g)]),  # the second call's arguments wait
        "finished": lambda: gen(list),
        "closed": lambda: gen(lambda g: (next(g), g.close())),
    }


@pytest.mark.parametrize("stage", ["created", "suspended", "finished", "closed"])
def test_generator_attributes_keep_their_counts(impl, monkeypatch, stage):
    g = stages(impl, monkeypatch)[stage]()
    assert check_reads(g) == []
    g.close()
