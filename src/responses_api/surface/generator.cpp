// The generator type (see generator.hpp); compared with a real Python
// generator in tests/test_generator_protocol.py.
#include "surface/generator.hpp"

#include <cstddef>
#include <new>

#include "callables.hpp"
#include "errors.hpp"
#include "streaming/reader.hpp"

namespace rapi {

namespace {

using Stage = StreamReader::Stage;

// Standard layout for the interpreter; the reader is C++ state, built in
// raw storage when the generator is made and destroyed in dealloc.
struct GeneratorObject {
    PyObject_HEAD
    PyObject *weakreflist;
    bool running;
    alignas(StreamReader) unsigned char storage[sizeof(StreamReader)];
    StreamReader &body() { return *std::launder(reinterpret_cast<StreamReader *>(storage)); }
};

PyTypeObject GeneratorType = {PyVarObject_HEAD_INIT(nullptr, 0)};

GeneratorObject &gen(PyObject *self) { return *reinterpret_cast<GeneratorObject *>(self); }

// Runs one resumption with the re-entrance guard.
PyObject *run(PyObject *self, bool thrown) {
    GeneratorObject &g = gen(self);
    if (g.running) {
        if (thrown) PyErr_Clear();
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    g.running = true;
    Ref keep_alive = Ref::retain(self);  // a callback may drop the last outside reference
    // A throw into a generator that never started raises before its body.
    const bool in_body = !(thrown && g.body().stage() == Stage::Created);
    Ref result;
    const bool ok = attempt([&] { result = g.body().resume(thrown); });
    g.running = false;
    if (!ok && in_body && PyErr_ExceptionMatches(PyExc_StopIteration)) {
        // Leaving the body, it would read as the generator's own end: as in
        // every generator, it becomes a RuntimeError caused by it.
        Ref cause = Ref::steal_or_null(PyErr_GetRaisedException());
        PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
        Ref error = Ref::steal_or_null(PyErr_GetRaisedException());
        PyException_SetContext(error.get(), Borrowed(cause).retain().release());  // steals
        PyException_SetCause(error.get(), cause.release());                       // steals
        PyErr_SetRaisedException(error.release());
    }
    return result.release();  // NULL: finished, or raised (with the error set)
}

// A finished generator reports StopIteration to send() and throw().
PyObject *or_stop_iteration(PyObject *result) {
    if (!result && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return result;
}

PyObject *gen_iternext(PyObject *self) { return run(self, false); }

PyObject *gen_send(PyObject *self, PyObject *value) {
    GeneratorObject &g = gen(self);
    if (g.body().stage() == Stage::Created && value != Py_None && !g.running) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return nullptr;
    }
    return or_stop_iteration(run(self, false));
}

// The exception throw() raises, normalised as a generator's throw does:
// throw(value) or the deprecated throw(type[, value[, traceback]]). False
// with a TypeError set when the arguments make no exception.
bool set_thrown_exception(PyObject *typ, PyObject *val, PyObject *tb) {
    if (tb == Py_None) tb = nullptr;
    if (tb && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return false;
    }
    Ref exc;
    if (PyExceptionClass_Check(typ)) {
        // throw(Class[, value]): the value made an instance of the class, as `raise` does
        PyObject *t = Ref::retain(typ).release(), *v = Ref::retain(val).release(), *b = Ref::retain(tb).release();
        PyErr_NormalizeException(&t, &v, &b);  // takes and gives back ownership of all three
        Ref type_ref = Ref::steal_or_null(t), tb_ref = Ref::steal_or_null(b);
        exc = Ref::steal_or_null(v);  // the class's instance, or the error making it raised
        // The traceback given, or none: an instance passed as the value
        // loses its own, as in a generator's throw.
        if (PyException_SetTraceback(exc.get(), tb_ref ? tb_ref.get() : Py_None) < 0) return false;
    } else if (PyExceptionInstance_Check(typ)) {
        if (val && val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return false;
        }
        exc = Ref::retain(typ);
        if (tb && PyException_SetTraceback(exc.get(), tb) < 0) return false;
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        return false;
    }
    PyErr_SetRaisedException(exc.release());
    return true;
}

PyObject *gen_throw(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        return nullptr;
    }
    if (nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        return nullptr;
    }
    if (nargs > 1 &&
        PyErr_WarnEx(PyExc_DeprecationWarning,
                     "the (type, exc, tb) signature of throw() is deprecated, use the single-arg signature instead.",
                     1) < 0)
        return nullptr;
    if (!set_thrown_exception(args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr)) return nullptr;
    // A finished generator raises the exception as is; a running one (its
    // body finishing, say, with the response's __exit__ calling back) refuses
    // first, in run().
    GeneratorObject &g = gen(self);
    if (!g.running && g.body().stage() == Stage::Finished) return nullptr;
    return or_stop_iteration(run(self, true));
}

PyObject *gen_close(PyObject *self, PyObject *) {
    GeneratorObject &g = gen(self);
    if (g.running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    if (g.body().stage() != Stage::Open) {
        g.body().abandon();
        Py_RETURN_NONE;
    }
    PyErr_SetNone(PyExc_GeneratorExit);
    Ref yielded = Ref::steal_or_null(run(self, true));
    // Unreachable: the body yields nothing once an exception is raised in it.
    if (yielded) {
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

void gen_finalize(PyObject *self) {
    GeneratorObject &g = gen(self);
    if (g.body().stage() != Stage::Open || g.running) return;
    // A finaliser must leave the exception being raised, if any, as it was.
    Ref saved = Ref::steal_or_null(PyErr_GetRaisedException());
    if (!Ref::steal_or_null(gen_close(self, nullptr))) {
#if PY_VERSION_HEX >= 0x030E0000
        // 3.14 reports it as a generator's own close does: a message, no object
        PyErr_FormatUnraisable("Exception ignored while closing generator %R", self);
#else
        PyErr_WriteUnraisable(self);
#endif
    }
    PyErr_SetRaisedException(saved.release());
}

int gen_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    return gen(self).body().traverse(visit, arg);
}

int gen_clear(PyObject *self) {
    GeneratorObject &g = gen(self);
    if (!g.running) g.body().clear();
    return 0;
}

void gen_dealloc(PyObject *self) {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    GeneratorObject &g = gen(self);
    if (g.weakreflist) PyObject_ClearWeakRefs(self);
    g.body().~StreamReader();
    PyObject_GC_Del(self);
}

PyObject *gen_repr(PyObject *self) { return PyUnicode_FromFormat("<generator object stream_raw at %p>", self); }

// Getters hand out a new reference, as the getset protocol requires.
PyObject *get_name(PyObject *, void *) { return Ref::retain(name_of(Entry::StreamRaw)).release(); }
PyObject *get_running(PyObject *self, void *) { return PyBool_FromLong(gen(self).running); }
PyObject *get_suspended(PyObject *self, void *) {
    GeneratorObject &g = gen(self);
    return PyBool_FromLong(g.body().stage() == Stage::Open && !g.running);
}

PyMethodDef gen_methods[] = {
    {"send", gen_send, METH_O,
     "send(arg) -> send 'arg' into generator,\nreturn next yielded value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(gen_throw)), METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,tb]])\n\nRaise exception in generator, return next yielded value or "
     "raise\nStopIteration."},
    {"close", gen_close, METH_NOARGS, "close() -> raise GeneratorExit inside generator."},
    {nullptr},
};

PyGetSetDef gen_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_name, nullptr, nullptr, nullptr},
    {"gi_running", get_running, nullptr, nullptr, nullptr},
    {"gi_suspended", get_suspended, nullptr, nullptr, nullptr},
    {nullptr},
};

}  // namespace

void init_generator_type() {
    if (GeneratorType.tp_flags & Py_TPFLAGS_READY) return;
    GeneratorType.tp_name = "routes.responses_api.generator";
    GeneratorType.tp_basicsize = sizeof(GeneratorObject);
    GeneratorType.tp_flags =
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    GeneratorType.tp_iter = PyObject_SelfIter;
    GeneratorType.tp_iternext = gen_iternext;
    GeneratorType.tp_methods = gen_methods;
    GeneratorType.tp_getset = gen_getset;
    GeneratorType.tp_traverse = gen_traverse;
    GeneratorType.tp_clear = gen_clear;
    GeneratorType.tp_dealloc = gen_dealloc;
    GeneratorType.tp_finalize = gen_finalize;
    GeneratorType.tp_repr = gen_repr;
    GeneratorType.tp_weaklistoffset = offsetof(GeneratorObject, weakreflist);
    GeneratorType.tp_doc = "The generator of one streaming call.";
    check(PyType_Ready(&GeneratorType));
    // Known to the generator ABC, so isinstance(..., Generator) holds.
    Ref abc = Ref::steal(PyImport_Import(S.collections_abc));
    call_method(attr(abc, S.Generator), S.register_, reinterpret_cast<PyObject *>(&GeneratorType));
}

PyObject *stream_raw(PyObject *const *args) {
    auto *obj = PyObject_GC_New(GeneratorObject, &GeneratorType);
    if (!obj) raise();
    obj->weakreflist = nullptr;
    obj->running = false;
    new (obj->storage) StreamReader(args[0], args[1], args[2], args[3]);
    PyObject_GC_Track(obj);
    return reinterpret_cast<PyObject *>(obj);
}

}  // namespace rapi
