// stream_raw(url, headers, payload, debug_logger=None): the streaming call.
//
// The generator is an explicit state machine: created (nothing sent yet),
// open (the response is held by its `with` block: the manager's __exit__ is
// kept and called on every way out), finished. Deltas of one event wait in a
// small queue and are handed out one per resumption.
#include <cstddef>
#include <new>

#include "api.hpp"
#include "json_std.hpp"
#include "streaming/events.hpp"
#include "streaming/lines.hpp"
#include "surface/function.hpp"

namespace rapi {

namespace {

constexpr int kLineStreamRaw = 390;
constexpr const char *kTracebackName = "routes.responses_api.stream_raw";

enum class Stage { Created, Open, Finished };

struct StreamState {
    // arguments
    Ref url, headers, payload, debug_logger;
    Stage stage = Stage::Created;
    bool running = false;
    bool ending = false;  // finish at the next resumption
    // the `with` block
    Ref exit;    // the manager's bound __exit__
    Ref resp;    // what __enter__ returned
    Ref reader;  // resp.read1, or resp.read when there is no read1
    // the reader
    LineBuffer byte_buffer;
    Ref current_event;
    Capture raw_sse_lines;
    StreamTranslation translation;
    DeltaQueue pending;

    int traverse(visitproc visit, void *arg) {
        for (const Ref *r : {&url, &headers, &payload, &debug_logger, &exit, &resp, &reader, &current_event})
            Py_VISIT(r->get());
        if (int e = raw_sse_lines.traverse(visit, arg)) return e;
        if (int e = translation.traverse(visit, arg)) return e;
        return pending.traverse(visit, arg);
    }
    void clear() {
        for (Ref *r : {&url, &headers, &payload, &debug_logger, &exit, &resp, &reader, &current_event})
            *r = Ref();
        raw_sse_lines.clear();
        translation.clear();
        pending.clear();
        byte_buffer.clear();
    }
};

// Standard layout for the interpreter; the C++ state lives in raw storage,
// constructed when the generator is made and destroyed in dealloc.
struct StreamObject {
    PyObject_HEAD
    PyObject *weakreflist;
    alignas(StreamState) unsigned char storage[sizeof(StreamState)];
    StreamState &state() { return *std::launder(reinterpret_cast<StreamState *>(storage)); }
};

PyTypeObject StreamType = {PyVarObject_HEAD_INIT(nullptr, 0)};

StreamState &state_of(PyObject *self) { return reinterpret_cast<StreamObject *>(self)->state(); }

// ------------------------------------------------------------ start steps

Ref serialise(PyObject *payload) {
    Ref json = global(S.json);
    Ref dumps = Ref::steal(PyObject_GetAttr(json, S.dumps));
    PyObject *stack[] = {payload, Py_False, C.compact_separators};
    Ref text = Ref::steal(PyObject_Vectorcall(dumps, stack, 1, C.kw_dumps_compact));
    if (PyUnicode_CheckExact(text)) return Ref::steal(PyUnicode_AsUTF8String(text));
    return call_method(text, Ref::steal(PyUnicode_InternFromString("encode")), S.utf_8);
}

Py_ssize_t check_size(Py_ssize_t n) {
    if (n < 0) raise();
    return n;
}

// The start entries of the debug record; the first failing write ends them.
void write_start_entries(StreamState &st, PyObject *body_bytes) {
    auto writes = [&] {
        check(PyObject_SetItem(st.debug_logger, S.body, body_bytes));
        check(PyObject_SetItem(st.debug_logger, S.payload, st.payload));
        Ref size = Ref::steal(PyLong_FromSsize_t(check_size(PyObject_Size(body_bytes))));
        check(PyObject_SetItem(st.debug_logger, S.size, size));
        check(PyObject_SetItem(st.debug_logger, S.url, st.url));
        Ref import = builtin(S.__import__);
        Ref time = call(import, S.time);
        Ref now = call_method(time, S.time);
        check(PyObject_SetItem(st.debug_logger, S.timestamp, now));
    };
    try {
        writes();
    } catch (const PyError &) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        PyErr_Clear();
    }
}

// `with <manager> as resp:` up to the body: __enter__ is called, __exit__ kept.
void enter_with(StreamState &st, PyObject *manager) {
    PyTypeObject *tp = Py_TYPE(manager);
    PyObject *enter_descr = _PyType_Lookup(tp, S.__enter__);
    if (!enter_descr) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol",
                     tp->tp_name);
        raise();
    }
    PyObject *exit_descr = _PyType_Lookup(tp, S.__exit__);
    if (!exit_descr) {
        PyErr_Format(PyExc_TypeError,
                     "'%.200s' object does not support the context manager protocol (missed __exit__ method)",
                     tp->tp_name);
        raise();
    }
    Ref enter_held = Ref::borrow(enter_descr), exit_held = Ref::borrow(exit_descr);
    auto bind = [&](PyObject *descr) {
        descrgetfunc get = Py_TYPE(descr)->tp_descr_get;
        return get ? Ref::steal(get(descr, manager, reinterpret_cast<PyObject *>(tp))) : Ref::borrow(descr);
    };
    Ref enter = bind(enter_held);
    Ref exit = bind(exit_held);
    Ref resp = call(enter);
    st.exit = std::move(exit);
    st.resp = std::move(resp);
}

void start(StreamState &st) {
    Ref body_bytes = serialise(st.payload);
    if (truthy(st.debug_logger)) write_start_entries(st, body_bytes);

    Ref request_class = urllib_request(S.Request);
    PyObject *stack[] = {st.url, body_bytes, st.headers, S.POST};
    Ref req = Ref::steal(PyObject_Vectorcall(request_class, stack, 2, C.kw_request));

    Ref opener = global(S.opener_name);
    Ref open = Ref::steal(PyObject_GetAttr(opener, S.open));
    PyObject *open_stack[] = {req.get(), C.timeout};
    Ref manager = Ref::steal(PyObject_Vectorcall(open, open_stack, 1, C.kw_timeout));
    enter_with(st, manager);
    st.stage = Stage::Open;
    st.current_event = Ref::borrow(Py_None);
}

// ------------------------------------------------------------ the reader

// json.loads(data_str); None when it raises json.JSONDecodeError or
// ValueError (the line is skipped).
Ref decode_json(PyObject *data_str) {
    Ref json = global(S.json);
    PyObject *data;
    if (PyObject *scanner = PyUnicode_CheckExact(data_str) ? standard_scanner(json) : nullptr) {
        data = scan_json(scanner, data_str);
    } else {
        Ref loads = Ref::steal(PyObject_GetAttr(json, S.loads));
        PyObject *stack[] = {nullptr, data_str};
        data = PyObject_Vectorcall(loads, stack + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    }
    if (data) return Ref::steal_or_null(data);

    Ref exc = Ref::steal_or_null(PyErr_GetRaisedException());
    // `except (json.JSONDecodeError, ValueError)`: the clause is evaluated
    // now; if that fails, its error propagates, chained to this one.
    Ref decode_error;
    try {
        decode_error = Ref::steal(PyObject_GetAttr(global(S.json), S.JSONDecodeError));
    } catch (const PyError &) {
        PyObject *raised = PyErr_GetRaisedException();
        PyException_SetContext(raised, exc.release());
        PyErr_SetRaisedException(raised);
        throw;
    }
    if (PyErr_GivenExceptionMatches(exc, decode_error) || PyErr_GivenExceptionMatches(exc, PyExc_ValueError))
        return Ref();
    PyErr_SetRaisedException(exc.release());
    raise();
}

void process_data(StreamState &st, PyObject *data_str) {
    if (equals(data_str, S.done_marker)) {
        if (st.debug_logger.get() != Py_None) {
            Ref count = Ref::steal(PyLong_FromSsize_t(st.raw_sse_lines.size()));
            check(PyObject_SetItem(st.debug_logger, S.raw_sse_count, count));
        }
        st.ending = true;
        return;
    }
    Ref data = decode_json(data_str);
    if (!data) return;
    st.raw_sse_lines.push(data_str);
    if (st.translation.translate(data, st.current_event, st.pending, st.debug_logger, st.raw_sse_lines))
        st.ending = true;
}

void process_line(StreamState &st, const char *bytes, size_t n) {
    SseLine line = classify_line(bytes, n);
    switch (line.kind) {
        case SseLine::Undecodable:
        case SseLine::Other:
            return;
        case SseLine::Blank:
            st.current_event = Ref::borrow(Py_None);
            return;
        case SseLine::Event:
            st.current_event = std::move(line.value);
            return;
        case SseLine::Data:
            process_data(st, line.value);
            return;
    }
}

void end_of_body(StreamState &st) {
    st.byte_buffer.clear();
    if (st.debug_logger.get() != Py_None) {
        Ref count = Ref::steal(PyLong_FromSsize_t(st.raw_sse_lines.size()));
        check(PyObject_SetItem(st.debug_logger, S.raw_sse_count, count));
    }
    st.pending.push(st.translation.end_of_stream_delta());
    st.ending = true;
}

// The next delta, or an empty Ref when the stream is over.
Ref advance(StreamState &st) {
    for (;;) {
        if (!st.pending.empty()) return st.pending.pop();
        if (st.ending) return Ref();
        const char *line = nullptr;
        size_t n = 0;
        if (st.byte_buffer.next_line(line, n)) {
            process_line(st, line, n);
            continue;
        }
        Ref chunk = call(st.reader, C.read_size);
        if (!truthy(chunk)) {
            end_of_body(st);
            continue;
        }
        st.byte_buffer.append(chunk);
    }
}

// ------------------------------------------------------------ ways out

// Leaves the `with` block normally: __exit__(None, None, None).
PyObject *leave_normally(StreamState &st) {
    Ref exit = std::move(st.exit);
    st.stage = Stage::Finished;
    st.clear();
    if (exit) {
        PyObject *r = PyObject_CallFunctionObjArgs(exit, Py_None, Py_None, Py_None, nullptr);
        if (!r) {
            add_traceback(kTracebackName, kLineStreamRaw);
            return nullptr;
        }
        Py_DECREF(r);
    }
    return nullptr;  // finished, no error: StopIteration
}

// Leaves the `with` block with the exception that is set: __exit__ gets
// (type, value, traceback); a true result swallows it.
PyObject *leave_with_exception(StreamState &st) {
    add_traceback(kTracebackName, kLineStreamRaw);
    Ref exit = std::move(st.exit);
    st.stage = Stage::Finished;
    st.clear();
    if (!exit) return nullptr;
    Ref exc = Ref::steal_or_null(PyErr_GetRaisedException());
    Ref tb = Ref::steal_or_null(PyException_GetTraceback(exc));
    PyObject *previous = PyErr_GetHandledException();
    PyErr_SetHandledException(exc);
    PyObject *r = PyObject_CallFunctionObjArgs(exit, reinterpret_cast<PyObject *>(Py_TYPE(exc.get())), exc.get(),
                                               tb ? tb.get() : Py_None, nullptr);
    int swallow = r ? PyObject_IsTrue(r) : -1;
    Py_XDECREF(r);
    PyErr_SetHandledException(previous);
    Py_XDECREF(previous);
    if (swallow < 0) {
        add_traceback(kTracebackName, kLineStreamRaw);
        return nullptr;
    }
    if (swallow) return nullptr;  // finished normally
    PyErr_SetRaisedException(exc.release());
    return nullptr;
}

// One resumption. `thrown` set: that exception is raised at the yield.
// Returns the next delta; NULL with no error set when the generator
// finished; NULL with an error set when it raised.
PyObject *resume(StreamState &st, bool thrown) {
    if (st.stage == Stage::Finished) return nullptr;
    if (st.stage == Stage::Created) {
        if (thrown) {
            st.stage = Stage::Finished;
            st.clear();
            add_traceback(kTracebackName, kLineStreamRaw);
            return nullptr;
        }
        PyObject *started = guarded([&]() -> PyObject * {
            start(st);
            Py_RETURN_NONE;
        });
        if (!started) {
            st.stage = Stage::Finished;
            st.clear();
            add_traceback(kTracebackName, kLineStreamRaw);
            return nullptr;
        }
        Py_DECREF(started);
        PyObject *reader = guarded([&]() -> PyObject * {
            int has_read1 = check(PyObject_HasAttrWithError(st.resp, S.read1));
            return PyObject_GetAttr(st.resp, has_read1 ? S.read1 : S.read);
        });
        if (!reader) return leave_with_exception(st);
        st.reader = Ref::steal_or_null(reader);
    }
    if (thrown) return leave_with_exception(st);
    PyObject *delta = guarded([&]() -> PyObject * {
        Ref d = advance(st);
        if (!d) Py_RETURN_NONE;  // marker: over
        return d.release();
    });
    if (!delta) return leave_with_exception(st);
    if (delta == Py_None) {
        Py_DECREF(delta);
        return leave_normally(st);
    }
    return delta;
}

// Runs one resumption with the re-entrance guard.
PyObject *run(PyObject *self, bool thrown) {
    StreamState &st = state_of(self);
    if (st.running) {
        if (thrown) PyErr_Clear();
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    st.running = true;
    Py_INCREF(self);  // a callback may drop the last outside reference
    PyObject *result = resume(st, thrown);
    st.running = false;
    Py_DECREF(self);
    return result;
}

// ------------------------------------------------------------ the type

PyObject *stream_iternext(PyObject *self) { return run(self, false); }

PyObject *stream_send(PyObject *self, PyObject *value) {
    StreamState &st = state_of(self);
    if (st.stage == Stage::Created && value != Py_None && !st.running) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return nullptr;
    }
    PyObject *result = run(self, false);
    if (!result && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return result;
}

// throw(value) or the deprecated throw(type[, value[, traceback]]).
PyObject *stream_throw(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        if (nargs > 3) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        }
        return nullptr;
    }
    if (nargs > 1 &&
        PyErr_WarnEx(PyExc_DeprecationWarning,
                     "the (type, exc, tb) signature of throw() is deprecated, use the single-arg signature instead.",
                     1) < 0)
        return nullptr;
    PyObject *typ = args[0];
    PyObject *val = nargs > 1 ? args[1] : nullptr;
    PyObject *tb = nargs > 2 ? args[2] : nullptr;
    if (tb == Py_None) tb = nullptr;
    if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    Py_INCREF(typ);
    Py_XINCREF(val);
    Py_XINCREF(tb);
    if (PyExceptionClass_Check(typ)) {
        PyErr_NormalizeException(&typ, &val, &tb);
    } else if (PyExceptionInstance_Check(typ)) {
        if (val && val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            Py_DECREF(typ);
            Py_DECREF(val);
            Py_XDECREF(tb);
            return nullptr;
        }
        Py_XDECREF(val);
        val = typ;
        typ = Py_NewRef(reinterpret_cast<PyObject *>(Py_TYPE(val)));
        if (!tb) tb = PyException_GetTraceback(val);
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        Py_DECREF(typ);
        Py_XDECREF(val);
        Py_XDECREF(tb);
        return nullptr;
    }
    PyErr_Restore(typ, val, tb);
    if (state_of(self).stage == Stage::Finished) return nullptr;  // raised as is
    PyObject *result = run(self, true);
    if (!result && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return result;
}

PyObject *stream_close(PyObject *self, PyObject *) {
    StreamState &st = state_of(self);
    if (st.running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    if (st.stage != Stage::Open) {
        st.stage = Stage::Finished;
        st.clear();
        Py_RETURN_NONE;
    }
    PyErr_SetNone(PyExc_GeneratorExit);
    PyObject *result = run(self, true);
    if (result) {  // cannot happen: nothing is yielded after an exception
        Py_DECREF(result);
        PyErr_SetString(PyExc_RuntimeError, "generator ignored GeneratorExit");
        return nullptr;
    }
    if (!PyErr_Occurred()) Py_RETURN_NONE;
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

void stream_finalize(PyObject *self) {
    StreamState &st = state_of(self);
    if (st.stage != Stage::Open || st.running) return;
    PyObject *exc = PyErr_GetRaisedException();
    PyObject *r = stream_close(self, nullptr);
    if (r) Py_DECREF(r);
    else PyErr_WriteUnraisable(self);
    PyErr_SetRaisedException(exc);
}

int stream_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    return state_of(self).traverse(visit, arg);
}

int stream_clear(PyObject *self) {
    StreamState &st = state_of(self);
    if (!st.running) st.clear();
    return 0;
}

void stream_dealloc(PyObject *self) {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    auto *obj = reinterpret_cast<StreamObject *>(self);
    if (obj->weakreflist) PyObject_ClearWeakRefs(self);
    obj->state().~StreamState();
    PyObject_GC_Del(self);
}

PyObject *stream_repr(PyObject *self) { return PyUnicode_FromFormat("<generator object stream_raw at %p>", self); }

PyObject *get_name(PyObject *, void *) { return Py_NewRef(S.stream_raw_fn); }
PyObject *get_running(PyObject *self, void *) { return PyBool_FromLong(state_of(self).running); }
PyObject *get_suspended(PyObject *self, void *) {
    const StreamState &st = state_of(self);
    return PyBool_FromLong(st.stage == Stage::Open && !st.running);
}

PyMethodDef stream_methods[] = {
    {"send", stream_send, METH_O, "send(arg) -> send 'arg' into generator,\nreturn next yielded value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(stream_throw)), METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,tb]])\n\nRaise exception in generator, return next yielded value or raise\nStopIteration."},
    {"close", stream_close, METH_NOARGS, "close() -> raise GeneratorExit inside generator."},
    {nullptr}};

PyGetSetDef stream_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_name, nullptr, nullptr, nullptr},
    {"gi_running", get_running, nullptr, nullptr, nullptr},
    {"gi_suspended", get_suspended, nullptr, nullptr, nullptr},
    {nullptr}};

}  // namespace

int init_stream_type() {
    if (StreamType.tp_flags & Py_TPFLAGS_READY) return 0;
    StreamType.tp_name = "routes.responses_api.generator";
    StreamType.tp_basicsize = sizeof(StreamObject);
    StreamType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
                          Py_TPFLAGS_DISALLOW_INSTANTIATION;
    StreamType.tp_iter = PyObject_SelfIter;
    StreamType.tp_iternext = stream_iternext;
    StreamType.tp_methods = stream_methods;
    StreamType.tp_getset = stream_getset;
    StreamType.tp_traverse = stream_traverse;
    StreamType.tp_clear = stream_clear;
    StreamType.tp_dealloc = stream_dealloc;
    StreamType.tp_finalize = stream_finalize;
    StreamType.tp_repr = stream_repr;
    StreamType.tp_weaklistoffset = offsetof(StreamObject, weakreflist);
    StreamType.tp_doc = "The generator of one streaming call.";
    if (PyType_Ready(&StreamType) < 0) return -1;
    // Known to the generator ABC, so isinstance(..., Generator) holds.
    PyObject *abc = PyImport_ImportModule("collections.abc");
    PyObject *generator_abc = abc ? PyObject_GetAttrString(abc, "Generator") : nullptr;
    PyObject *r = generator_abc ? PyObject_CallMethod(generator_abc, "register", "O", &StreamType) : nullptr;
    Py_XDECREF(abc);
    Py_XDECREF(generator_abc);
    if (!r) return -1;
    Py_DECREF(r);
    return 0;
}

PyObject *stream_raw(PyObject *const *args) {
    auto *obj = PyObject_GC_New(StreamObject, &StreamType);
    if (!obj) raise();
    obj->weakreflist = nullptr;
    StreamState &st = *new (obj->storage) StreamState();
    st.url = Ref::borrow(args[0]);
    st.headers = Ref::borrow(args[1]);
    st.payload = Ref::borrow(args[2]);
    st.debug_logger = Ref::borrow(args[3]);
    PyObject_GC_Track(obj);
    return reinterpret_cast<PyObject *>(obj);
}

}  // namespace rapi
