// Module initialisation: the import checks, then the globals in their order.
#include "api.hpp"
#include "json_std.hpp"
#include "surface/docs.hpp"
#include "surface/function.hpp"

namespace rapi {
namespace {

constexpr int kLineInit = 1;

// ------------------------------------------------------------ callables

const FunctionSpec kConvertMessages = {
    "convert_messages", "convert_messages", docs::convert_messages_doc, 70, 1, 1,
    {"api_messages"}, {}, convert_messages};

const FunctionSpec kNormalizeContent = {
    "_normalize_content", "_normalize_content", docs::normalize_content_doc, 160, 2, 2,
    {"content", "text_type"}, {}, normalize_content};

const FunctionSpec kConvertTools = {
    "convert_tools", "convert_tools", docs::convert_tools_doc, 220, 1, 1,
    {"tools"}, {}, convert_tools};

const FunctionSpec kBuildPayload = {
    "build_payload", "build_payload", docs::build_payload_doc, 260, 8, 2,
    {"api_messages", "llm_config", "tools", "tool_choice", "stream", "max_tokens", "temperature",
     "skip_tool_choice"},
    {DefaultValue::None, DefaultValue::None, DefaultValue::False, DefaultValue::None,
     DefaultValue::None, DefaultValue::False},
    build_payload};

const FunctionSpec kNormalizeResponse = {
    "normalize_response", "normalize_response", docs::normalize_response_doc, 310, 1, 1,
    {"resp"}, {}, normalize_response};

const FunctionSpec kStreamRaw = {
    "stream_raw", "stream_raw", docs::stream_raw_doc, 390, 4, 3,
    {"url", "headers", "payload", "debug_logger"}, {DefaultValue::None}, stream_raw};

const FunctionSpec kRedirectRequest = {
    "redirect_request", "_PostRedirectHandlerLocal.redirect_request", docs::redirect_request_doc, 560,
    7, 7, {"self", "req", "fp", "code", "msg", "headers", "newurl"}, {}, redirect_request};

// ------------------------------------------------------------ import state

// The one module object of this process, and the interpreter that owns it.
PyObject *g_module = nullptr;
int64_t g_interpreter_id = -1;

void bind(PyObject *dict, PyObject *name, const Ref &value) { set_item(dict, name, value.get()); }

// `import <dotted>`: binds the top-level package, as the statement does.
Ref import_statement(PyObject *dotted, PyObject *globals) {
    return Ref::steal(PyImport_ImportModuleLevelObject(dotted, globals, nullptr, nullptr, 0));
}

void warn_on_version_mismatch() {
    int major = static_cast<int>((Py_Version >> 24) & 0xff);
    int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION) {
        check(PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                               "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                               PY_MAJOR_VERSION, PY_MINOR_VERSION, "routes.responses_api", "does not match",
                               major, minor));
    }
}

void register_in_sys_modules(PyObject *module) {
    PyObject *modules = PyImport_GetModuleDict();  // borrowed
    PyObject *existing = nullptr;
    check(PyDict_SetDefaultRef(modules, S.module_name, module, &existing));
    Py_XDECREF(existing);
}

void bind_globals(PyObject *dict) {
    Ref json = import_statement(S.json, dict);
    bind(dict, S.json, json);
    capture_standard_json(json);
    bind(dict, S.urllib, import_statement(S.urllib_request, dict));
    bind(dict, S.urllib, import_statement(S.urllib_error, dict));

    bind(dict, S.convert_messages_fn, Ref::steal(new_function(&kConvertMessages)));
    bind(dict, S.normalize_content_fn, Ref::steal(new_function(&kNormalizeContent)));
    bind(dict, S.convert_tools_fn, Ref::steal(new_function(&kConvertTools)));
    bind(dict, S.build_payload_fn, Ref::steal(new_function(&kBuildPayload)));
    bind(dict, S.normalize_response_fn, Ref::steal(new_function(&kNormalizeResponse)));
    bind(dict, S.stream_raw_fn, Ref::steal(new_function(&kStreamRaw)));

    // class _PostRedirectHandlerLocal(urllib.request.HTTPRedirectHandler)
    Ref base = urllib_request(S.HTTPRedirectHandler);
    Ref method = Ref::steal(new_function(&kRedirectRequest));
    Ref doc = Ref::steal(PyUnicode_FromString(docs::handler_class_doc));
    PyObject *name = S.handler_class_name;
    Ref ns = make_dict(S.__module__, S.module_name, S.__qualname__, name, S.__doc__, doc.get(),
                       S.redirect_request, method.get());
    Ref bases = Ref::steal(PyTuple_Pack(1, base.get()));
    Ref cls = call(reinterpret_cast<PyObject *>(Py_TYPE(base.get())), name, bases.get(), ns.get());
    set_handler_class(cls);
    bind(dict, name, cls);

    // _urllib_opener_local = urllib.request.build_opener(_PostRedirectHandlerLocal)
    Ref opener = call(urllib_request(S.build_opener), cls.get());
    bind(dict, S.opener_name, opener);

    bind(dict, S.test_name, new_dict());
}

int module_exec(PyObject *module) {
    if (g_module) {
        if (g_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'responses_api' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    g_module = module;
    PyObject *result = guarded([&]() -> PyObject * {
        check(init_strings());
        check(init_constants());
        check(init_function_type());
        check(init_stream_type());
        set_module_dict(PyModule_GetDict(module));
        warn_on_version_mismatch();
        register_in_sys_modules(module);
        bind_globals(PyModule_GetDict(module));
        Py_RETURN_NONE;
    });
    if (result) {
        Py_DECREF(result);
        return 0;
    }
    g_module = nullptr;
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init routes.responses_api");
    add_traceback("init routes.responses_api", kLineInit);
    return -1;
}

PyObject *module_create(PyObject *spec, PyModuleDef *) {
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    if (g_interpreter_id == -1) {
        g_interpreter_id = current;
    } else if (g_interpreter_id != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    PyObject *name = PyObject_GetAttrString(spec, "name");
    if (!name) return nullptr;
    PyObject *module = PyModule_NewObject(name);
    Py_DECREF(name);
    return module;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(module_create)},
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    // Our own create slot refuses every interpreter but the first, with its
    // own message; the interpreter's generic refusal must not pre-empt it.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "responses_api", docs::module_doc, 0, nullptr, module_slots,
    nullptr, nullptr, nullptr};

}  // namespace
}  // namespace rapi

extern "C" __attribute__((visibility("default"))) PyObject *PyInit_responses_api() {
    return PyModuleDef_Init(&rapi::module_def);
}
