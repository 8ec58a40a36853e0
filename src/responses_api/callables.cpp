// Traceback entries of the module's functions and their direct calls of
// one another (see callables.hpp); pinned down in tests/test_surface.py.
#include "callables.hpp"

#include <frameobject.h>

#include <iterator>

#include "state.hpp"
#include "values.hpp"

namespace rapi {

namespace {

// There is no routes/responses_api.py: the module is native. Each entry
// still gets a fixed line (see callables.hpp).
struct EntrySpec {
    const char *name;
    int line;
};
// clang-format off
constexpr EntrySpec kEntries[] = {
    {RAPI_INIT_ENTRY, RAPI_INIT_LINE},
#define RAPI_ENTRY(id, name, qualname, line, ...) {"routes.responses_api." qualname, line},
    RAPI_CALLABLES(RAPI_ENTRY)
#undef RAPI_ENTRY
};
// clang-format on
static_assert(std::size(kEntries) == static_cast<size_t>(Entry::Count));

}  // namespace

void build_callables() {
#define RAPI_CREATE(id, name, ...)                                                          \
    callable_objects.names[static_cast<int>(Entry::id)] = PyUnicode_InternFromString(name); \
    if (!callable_objects.names[static_cast<int>(Entry::id)]) raise();
    RAPI_CALLABLES(RAPI_CREATE)
#undef RAPI_CREATE
}

void clear_callables() {
    for (PyObject *&name : callable_objects.names) Py_CLEAR(name);
    for (PyObject *&function : callable_objects.functions) Py_CLEAR(function);
    for (PyObject *&code : callable_objects.traceback_codes) Py_CLEAR(code);
}

void add_traceback(Entry entry) {
    Ref exc = Ref::steal_or_null(PyErr_GetRaisedException());
    if (!exc) return;
    const EntrySpec &spec = kEntries[static_cast<int>(entry)];
    PyObject *&code = callable_objects.traceback_codes[static_cast<int>(entry)];
    if (!code) code = reinterpret_cast<PyObject *>(PyCode_NewEmpty("routes/responses_api.py", spec.name, spec.line));
    // During a failed import the globals may not be there yet: any dict does.
    Ref globals = state.module_dict ? Ref::retain(state.module_dict) : Ref::steal_or_null(PyDict_New());
    Ref frame;
    if (code && globals)
        frame = Ref::steal_or_null(reinterpret_cast<PyObject *>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(code), globals.get(), nullptr)));
    // Could not build the entry: the exception being raised wins over that
    // failure, whatever it was (it is dropped, as restoring would drop it).
    if (!frame) PyErr_Clear();
    PyErr_SetRaisedException(exc.release());
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject *>(frame.get()));
}

Ref call_own(Entry entry, FunctionBody body, PyObject *const *args, int nargs) {
    Ref callable = global(name_of(entry));
    if (callable.get() == callable_objects.functions[static_cast<int>(entry)]) {
        try {
            return Ref::steal(body(args));
        } catch (const PyError &) {
            add_traceback(entry);
            throw;
        }
    }
    return Ref::steal(PyObject_Vectorcall(callable.get(), args, static_cast<size_t>(nargs), nullptr));
}

}  // namespace rapi
