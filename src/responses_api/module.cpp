// Module initialisation: the import checks, the module state, then the
// globals in their order. Pinned down in tests/test_surface.py (import).
#include "callables.hpp"
#include "errors.hpp"
#include "json/json.hpp"
#include "request/request.hpp"
#include "response/response.hpp"
#include "streaming/lines.hpp"
#include "streaming/redirect.hpp"
#include "surface/docs.hpp"
#include "surface/function.hpp"
#include "surface/generator.hpp"
#include "values.hpp"

#include <iterator>

namespace rapi {
namespace {

// ------------------------------------------------------------ callables

template <class... T>
constexpr int count(T...) {
    return sizeof...(T);
}

using enum DefaultValue;

// The binder's tables, one per callable, indexed by Entry.
// clang-format off
const FunctionSpec kSpecs[] = {
    {},  // Entry::Init, no callable
#define RAPI_SPEC(id, name, qualname, line, nrequired, params, defaults, doc, body) \
    {name, qualname, docs::doc, Entry::id, count params, nrequired, {RAPI_UNPAREN params}, {RAPI_UNPAREN defaults}, body},
    RAPI_CALLABLES(RAPI_SPEC)
#undef RAPI_SPEC
};
// clang-format on
static_assert(std::size(kSpecs) == static_cast<size_t>(Entry::Count));

// A new function object for the callable `entry`, which the state keeps too
// (for call_own's identity check).
Ref make_function(Entry entry) {
    Ref fn = new_function(&kSpecs[static_cast<int>(entry)]);
    callable_objects.functions[static_cast<int>(entry)] = Ref(fn).release();
    return fn;
}

#ifdef RAPI_CHECKED
// `_checked_counts()`, a global of the checked builds only: the framing
// counters (streaming/lines.hpp) and the JSON writer's (json_std.hpp) as a
// dict, for the tests that hold them linear without timing anything.
PyObject *checked_counts_now(PyObject *, PyObject *) {
    return Py_BuildValue("{s:K,s:K,s:K,s:K,s:K,s:K}", "scanned", framing_counts.scanned, "moved", framing_counts.moved,
                         "grown", framing_counts.grown, "resized", writer_counts.resized, "widened",
                         writer_counts.widened, "copied", writer_counts.copied);
}
PyMethodDef checked_counts_def = {"_checked_counts", checked_counts_now, METH_NOARGS,
                                  "The counters of this checked build: framing and JSON writing."};
#endif

// ------------------------------------------------------------ import steps

// `import <dotted>`: binds the top-level package, as the statement does.
Ref import_statement(PyObject *dotted, Borrowed globals) {
    return Ref::steal(PyImport_ImportModuleLevelObject(dotted, globals.get(), nullptr, nullptr, 0));
}

// The running interpreter (Py_Version) against the one whose headers built
// the module (PY_MAJOR_VERSION, PY_MINOR_VERSION), before anything else: a
// cp313 build loaded into 3.14, or the reverse, warns, then refuses to go on,
// since its code is compiled against the other interpreter's object layouts
// and crashes it (tests/test_version_check.py).
void check_version() {
    int major = static_cast<int>((Py_Version >> 24) & 0xff);
    int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return;
    check(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                           "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                           PY_MAJOR_VERSION, PY_MINOR_VERSION, "routes.responses_api", "does not match", major, minor));
    PyErr_Format(PyExc_ImportError, "routes.responses_api is built for Python %d.%d and cannot run on Python %d.%d",
                 PY_MAJOR_VERSION, PY_MINOR_VERSION, major, minor);
    raise();
}

void register_in_sys_modules(Borrowed module) {
    PyObject *existing = nullptr;
    check(PyDict_SetDefaultRef(PyImport_GetModuleDict(), S.module_name, module.get(), &existing));
    Ref dropped = Ref::steal_or_null(existing);  // the entry already there, or the module itself
}

void bind_globals(Borrowed dict) {
    Ref json = import_statement(S.json, dict);
    set_item(dict, S.json, json);
    capture_standard_json(json);
    set_item(dict, S.urllib, import_statement(S.urllib_request, dict));
    set_item(dict, S.urllib, import_statement(S.urllib_error, dict));

    // the functions, in their order; redirect_request is the class's
    for (int e = static_cast<int>(Entry::Init) + 1; e < kEntryCount; ++e)
        if (static_cast<Entry>(e) != Entry::RedirectRequest)
            set_item(dict, name_of(static_cast<Entry>(e)), make_function(static_cast<Entry>(e)));

    // class _PostRedirectHandlerLocal(urllib.request.HTTPRedirectHandler)
    Ref base = urllib_request(S.HTTPRedirectHandler);
    Ref doc = Ref::steal(PyUnicode_FromString(docs::handler_class_doc));
    Ref ns = make_dict(S.dunder_module, S.module_name, S.dunder_qualname, S.handler_class_name, S.dunder_doc, doc,
                       name_of(Entry::RedirectRequest), make_function(Entry::RedirectRequest));
    Ref cls = call(reinterpret_cast<PyObject *>(Py_TYPE(base.get())), S.handler_class_name, make_tuple(base), ns);
    state.handler_class = Ref(cls).release();  // the state keeps its own reference
    set_item(dict, S.handler_class_name, cls);

    // _urllib_opener_local = urllib.request.build_opener(_PostRedirectHandlerLocal)
    set_item(dict, S.opener_name, call(urllib_request(S.build_opener), cls));

    set_item(dict, S.test_name, new_dict());
#ifdef RAPI_CHECKED
    Ref counts = Ref::steal(PyCFunction_New(&checked_counts_def, nullptr));
    check(PyDict_SetItemString(dict.get(), checked_counts_def.ml_name, counts.get()));
#endif
}

int module_exec(PyObject *module) {
    if (state.module) {
        if (state.module == module) return 0;  // reload: nothing to do
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'responses_api' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    state.module = module;
    bool built = attempt([&] {
        check_version();
        build_state();
        build_callables();
        init_function_type();
        init_generator_type();
        state.module_dict = Ref::retain(PyModule_GetDict(module)).release();  // the state keeps its own reference
        // A module body runs with the builtins of the code importing it.
        state.builtins = Ref::steal(PyEval_GetFrameBuiltins()).release();
        register_in_sys_modules(module);
        bind_globals(state.module_dict);
    });
    if (built) return 0;
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init routes.responses_api");
    add_traceback(Entry::Init);
    // A failed import can be tried again from scratch.
    forget_standard_json();
    clear_callables();
    clear_state();
    return -1;
}

PyObject *module_create(PyObject *spec, PyModuleDef *) {
    std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    // The first interpreter here claims the module for the process, in one
    // step: of two importing at once, exactly one can.
    std::int64_t owner = -1;
    if (!state.interpreter.compare_exchange_strong(owner, current) && owner != current) {
        PyErr_SetString(
            PyExc_ImportError,
            "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    Ref name = Ref::steal_or_null(PyObject_GetAttrString(spec, "name"));
    return name ? PyModule_NewObject(name.get()) : nullptr;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(module_create)},
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    // The module can be loaded into any one interpreter of the process, the
    // main one or a subinterpreter with its own GIL; a second interpreter
    // is refused by module_create, with the module's own message. The slot
    // says the first; it cannot say "one per process", and a value that
    // refused subinterpreters here would pre-empt that message.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "responses_api", docs::module_doc, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace rapi

extern "C" __attribute__((visibility("default"))) PyObject *PyInit_responses_api() {
    return PyModuleDef_Init(&rapi::module_def);
}
