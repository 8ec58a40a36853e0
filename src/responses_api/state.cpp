// Building and clearing the module state (see state.hpp); pinned down by
// the import tests in tests/test_surface.py.
#include "values.hpp"

#include <functional>

namespace rapi {

namespace {

// Every owned pointer of the state, for the one loop that clears them.
template <class F>
void each_reference(F &&visit) {
#define RAPI_VISIT(field, text) visit(S.field);
    RAPI_STRINGS(RAPI_VISIT)
#undef RAPI_VISIT
    for (PyObject *&c : {std::ref(C.zero), std::ref(C.temperature), std::ref(C.max_tokens), std::ref(C.timeout),
                         std::ref(C.read_size), std::ref(C.code_307), std::ref(C.code_308),
                         std::ref(C.compact_separators), std::ref(C.kw_ensure_ascii), std::ref(C.kw_dumps_compact),
                         std::ref(C.kw_request), std::ref(C.kw_redirect), std::ref(C.kw_timeout),
                         std::ref(C.kw_default)})
        visit(c);
    StandardJson &j = state.json;
    for (PyObject *&p : {std::ref(j.module), std::ref(j.loads), std::ref(j.decoder), std::ref(j.decode),
                         std::ref(j.raw_decode), std::ref(j.scanner), std::ref(j.dumps), std::ref(j.encoder_class),
                         std::ref(j.encoder_init), std::ref(j.encode), std::ref(j.iterencode),
                         std::ref(j.encoder_module_dict), std::ref(j.make_encoder), std::ref(j.encode_basestring)})
        visit(p);
    visit(state.module_dict);
    visit(state.builtins);
    visit(state.handler_class);
    for (PyObject *&code : state.traceback_codes) visit(code);
}

}  // namespace

int build_state() {
#define RAPI_CREATE(field, text) \
    if (!(S.field = PyUnicode_InternFromString(text))) return -1;
    RAPI_STRINGS(RAPI_CREATE)
#undef RAPI_CREATE
    PyObject **made[] = {&C.zero, &C.temperature, &C.max_tokens, &C.timeout, &C.read_size, &C.code_307,
                         &C.code_308, &C.compact_separators, &C.kw_ensure_ascii, &C.kw_dumps_compact,
                         &C.kw_request, &C.kw_redirect, &C.kw_timeout, &C.kw_default};
    C.zero = PyLong_FromLong(0);
    C.temperature = PyFloat_FromDouble(0.7);
    C.max_tokens = PyLong_FromLong(50000);
    C.timeout = PyLong_FromLong(300);
    C.read_size = PyLong_FromLong(4096);
    C.code_307 = PyLong_FromLong(307);
    C.code_308 = PyLong_FromLong(308);
    C.compact_separators = PyTuple_Pack(2, S.comma, S.colon);
    C.kw_ensure_ascii = PyTuple_Pack(1, S.ensure_ascii);
    C.kw_dumps_compact = PyTuple_Pack(2, S.ensure_ascii, S.separators);
    C.kw_request = PyTuple_Pack(2, S.headers, S.method);
    C.kw_redirect = PyTuple_Pack(5, S.data, S.headers, S.method, S.origin_req_host, S.unverifiable);
    C.kw_timeout = PyTuple_Pack(1, S.timeout);
    C.kw_default = PyTuple_Pack(1, S.default_);
    for (PyObject **p : made)
        if (!*p) return -1;
    return 0;
}

void clear_state() {
    // The state is a plain structure of raw pointers (zero before any code
    // runs, so no constructor order to worry about): here they are released.
    each_reference([](PyObject *&p) { Py_CLEAR(p); });
    state.json.loads_ok = state.json.dumps_ok = false;
    state.module = nullptr;  // the interpreter that imported it stays the one
}

}  // namespace rapi
