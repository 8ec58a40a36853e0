// The one error convention, and the entry points' side of it: C++ unwinding
// turned into the interpreter's error protocol. It needs nothing but
// Python.h; tests/test_surface.py pins what leaves the entry points.
//
// Error convention:
// - Every function below the entry points (the callables' bodies, the
//   generator's step, the module's exec) either returns a value or throws
//   `PyError` with the Python exception set; the entry points catch it
//   (`guarded`, `attempt`) and report NULL / -1. Nothing in between returns
//   an error sentinel.
// - An outcome that is not an error, such as "not for the fast path, take the
//   standard library's call", has a type of its own (an enum, or an empty
//   Ref documented as such), never the same value as an error.
// - `PyError` checks, in the sanitizer and coverage builds, that an
//   exception is set when it is thrown.
// - `PyErr_Clear()` follows a `PyErr_ExceptionMatches` of the exception the
//   code expects; any other exception propagates.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>

namespace rapi {

// A Python exception is set; unwind to the entry point.
struct PyError {
#ifdef RAPI_CHECKED
    PyError() {
        if (!PyErr_Occurred()) Py_FatalError("routes.responses_api: PyError thrown with no exception set");
    }
#endif
};

[[noreturn]] inline void raise() { throw PyError{}; }

// Checks a C API status: -1 means an error is set.
inline int check(int status) {
    if (status < 0) raise();
    return status;
}

// Runs a body, turning C++ unwinding into the interpreter's error protocol:
// its result, or NULL with an exception set.
template <class F>
PyObject *guarded(F &&body) noexcept {
    try {
        return body();
    } catch (const PyError &) {
        // Unreachable while every throw site has an error set; kept so a
        // missed one surfaces as an error instead of a NULL without one.
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
        return nullptr;
    } catch (const std::bad_alloc &) {  // unreached but for a failed allocation
        return PyErr_NoMemory();
    } catch (...) {  // unreached: nothing else is thrown
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in routes.responses_api");
        return nullptr;
    }
}

// Runs a body that returns nothing: true when it finished, false with an
// exception set when it raised.
template <class F>
bool attempt(F &&body) noexcept {
    PyObject *finished = guarded([&]() -> PyObject * {
        body();
        return Py_None;  // a marker, never handed out
    });
    return finished != nullptr;
}

}  // namespace rapi
