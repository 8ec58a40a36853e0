// The module's one callable type: a function with a fixed parameter table,
// bound by one binder that produces every binding error, with the attributes
// of a Python function (`__name__`, `__qualname__`, `__module__`, `__doc__`,
// `__defaults__`, `__signature__`) and a descriptor `__get__` so that a
// function stored in a class binds to instances as a method. Pinned down in
// tests/test_surface.py and tests/test_getters.py.
#pragma once

#include "callables.hpp"

namespace rapi {

constexpr int kMaxParams = 8;

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
// Readies the function type once; throws PyError on failure.
void init_function_type();

}  // namespace rapi
