// Traceback entries of the module's functions (see traceback.hpp); pinned
// down in tests/test_surface.py.
#include "surface/traceback.hpp"

#include <frameobject.h>

#include <iterator>

namespace rapi {

namespace {

// There is no routes/responses_api.py: the module is native. Each entry
// still gets a fixed line, so that a traceback reads like one from a Python
// module: line 1 is the module's own initialisation, and the functions sit
// in the order of the module's namespace, spaced as their definitions would
// be. The numbers carry no other meaning; tests pin them.
struct EntrySpec {
    const char *name;
    int line;
};
constexpr EntrySpec kEntries[] = {
    {"init routes.responses_api", 1},
    {"routes.responses_api.convert_messages", 70},
    {"routes.responses_api._normalize_content", 160},
    {"routes.responses_api.convert_tools", 220},
    {"routes.responses_api.build_payload", 260},
    {"routes.responses_api.normalize_response", 310},
    {"routes.responses_api.stream_raw", 390},
    {"routes.responses_api._PostRedirectHandlerLocal.redirect_request", 560},
};
static_assert(std::size(kEntries) == static_cast<size_t>(Entry::Count));

}  // namespace

void add_traceback(Entry entry) {
    Ref exc = Ref::steal_or_null(PyErr_GetRaisedException());
    if (!exc) return;
    const EntrySpec &spec = kEntries[static_cast<int>(entry)];
    PyObject *&code = state.traceback_codes[static_cast<int>(entry)];
    if (!code) code = reinterpret_cast<PyObject *>(PyCode_NewEmpty("routes/responses_api.py", spec.name, spec.line));
    // During a failed import the globals may not be there yet: any dict does.
    Ref globals = state.module_dict ? Ref::retain(state.module_dict) : Ref::steal_or_null(PyDict_New());
    Ref frame;
    if (code && globals)
        frame = Ref::steal_or_null(reinterpret_cast<PyObject *>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(code), globals.get(), nullptr)));
    // Could not build the entry: keep the original exception, not this one.
    if (!frame) PyErr_Clear();
    PyErr_SetRaisedException(exc.release());
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject *>(frame.get()));
}

}  // namespace rapi
