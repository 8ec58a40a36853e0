// Building and clearing the module state (see state.hpp); pinned down by
// the import tests in tests/test_surface.py.
#include "state.hpp"

namespace rapi {

namespace {

// Every owned pointer of the state, for the one loop that clears them.
template <class F>
void each_reference(F &&visit) {
#define RAPI_VISIT(field, ...) visit(S.field);
    RAPI_STRINGS(RAPI_VISIT)
#undef RAPI_VISIT
#define RAPI_VISIT(field, make) visit(C.field);
    RAPI_CONSTANTS(RAPI_VISIT)
#undef RAPI_VISIT
    visit(state.module_dict);
    visit(state.builtins);
    visit(state.handler_class);
}

}  // namespace

void build_state() {
#define RAPI_CREATE(field, text)                \
    S.field = PyUnicode_InternFromString(text); \
    if (!S.field) raise();
    RAPI_STRINGS(RAPI_CREATE)
#undef RAPI_CREATE
#define RAPI_CREATE(field, make) \
    C.field = (make);            \
    if (!C.field) raise();
    RAPI_CONSTANTS(RAPI_CREATE)
#undef RAPI_CREATE
}

void clear_state() {
    // The state is a plain structure of raw pointers (zero before any code
    // runs, so no constructor order to worry about): here they are released.
    each_reference([](PyObject *&p) { Py_CLEAR(p); });
    state.module = nullptr;  // the interpreter that imported it stays the one
}

}  // namespace rapi
