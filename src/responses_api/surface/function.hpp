// The module's one callable type: a function with a fixed parameter table,
// bound by one binder that produces every binding error, with the attributes
// of a Python function (`__name__`, `__qualname__`, `__module__`, `__doc__`,
// `__defaults__`, `__signature__`) and a descriptor `__get__` so that a
// function stored in a class binds to instances as a method.
#pragma once

#include "values.hpp"

namespace rapi {

constexpr int kMaxParams = 8;

// The body of a callable: receives every parameter, defaults filled in.
using FunctionBody = PyObject *(*)(PyObject *const *args);

enum class DefaultValue { None, False };

struct FunctionSpec {
    const char *name;
    const char *qualname;
    const char *doc;
    int line;  // line of the traceback entry
    int nparams;
    int nrequired;
    const char *params[kMaxParams];
    DefaultValue defaults[kMaxParams];  // for params nrequired..nparams-1
    FunctionBody body;
};

// Creates a function object for a spec (the spec must outlive it).
PyObject *new_function(const FunctionSpec *spec);
int init_function_type();

// `callable(args...)`. When callable is one of this module's functions
// whose body is `body`, the body is run directly, without argument binding
// (the traceback entry on an error is the same as through a call).
Ref call_function(PyObject *callable, FunctionBody body, PyObject *const *args, int nargs);

// Adds a traceback entry "routes.responses_api.<qualname>" in
// "routes/responses_api.py" to the exception being raised.
void add_traceback(const char *qualified_name, int line);

// Runs a body, turning C++ unwinding into the interpreter's error protocol.
template <class F>
PyObject *guarded(F &&body) noexcept {
    try {
        return body();
    } catch (const PyError &) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "error return without exception set");
        return nullptr;
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in routes.responses_api");
        return nullptr;
    }
}

}  // namespace rapi
