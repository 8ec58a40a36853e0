// The module's one callable type: a function with a fixed parameter table,
// bound by one binder that produces every binding error, with the attributes
// of a Python function (`__name__`, `__qualname__`, `__module__`, `__doc__`,
// `__defaults__`, `__signature__`) and a descriptor `__get__` so that a
// function stored in a class binds to instances as a method. Pinned down in
// tests/test_surface.py and tests/test_getters.py.
#pragma once

#include "surface/traceback.hpp"
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
    Entry entry;  // its traceback entry
    int nparams;
    int nrequired;
    const char *params[kMaxParams];
    DefaultValue defaults[kMaxParams];  // for params nrequired..nparams-1
    FunctionBody body;
};

// A new function object for a spec (the spec must outlive it).
Ref new_function(const FunctionSpec *spec);
int init_function_type();

// `callable(args...)`. When callable is one of this module's functions
// whose body is `body`, the body is run directly, without argument binding
// (the traceback entry on an error is the same as through a call).
Ref call_function(Borrowed callable, FunctionBody body, PyObject *const *args, int nargs);

}  // namespace rapi
