// Errors leaving the module: C++ unwinding turned into the interpreter's
// error protocol, the traceback entry a Python function of the same name
// would add, and the direct call of one of the module's own functions by
// another. Pinned down in tests/test_surface.py (traceback tests).
#pragma once

#include <new>

#include "values.hpp"

namespace rapi {

// Adds the traceback entry of `entry` ("routes.responses_api.<qualname>" in
// "routes/responses_api.py" at the entry's line) to the exception being
// raised. Never replaces that exception.
void add_traceback(Entry entry);

// Runs the body of the callable `entry` (the function object the import
// made for it) with `args`, or calls the module global of its name when that
// has been replaced: `name(*args)` as a Python function body would call it.
// Run directly, the body adds the same traceback entry a call would.
Ref call_own(Entry entry, FunctionBody body, PyObject *const *args, int nargs);

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
    return guarded([&]() -> PyObject * {
        body();
        return Py_None;  // a marker, never handed out
    }) != nullptr;
}

}  // namespace rapi
