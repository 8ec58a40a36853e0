#include "values.hpp"

namespace rapi {

Strings S;
Constants C;

namespace {
PyObject *g_module_dict = nullptr;  // strong; the module is never unloaded
}

int init_strings() {
#define RAPI_CREATE(field, text) \
    if (!S.field && !(S.field = PyUnicode_InternFromString(text))) return -1;
    RAPI_STRINGS(RAPI_CREATE)
#undef RAPI_CREATE
    return 0;
}

int init_constants() {
    if (C.zero) return 0;
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
    if (!C.zero || !C.temperature || !C.max_tokens || !C.timeout || !C.read_size ||
        !C.code_307 || !C.code_308 || !C.compact_separators || !C.kw_ensure_ascii ||
        !C.kw_dumps_compact || !C.kw_request || !C.kw_redirect || !C.kw_timeout)
        return -1;
    return 0;
}

PyObject *module_dict() { return g_module_dict; }

void set_module_dict(PyObject *dict) {
    Py_XINCREF(dict);
    Py_XSETREF(g_module_dict, dict);
}

Ref global(PyObject *name) {
    PyObject *found = nullptr;
    if (g_module_dict) {
        check(PyDict_GetItemRef(g_module_dict, name, &found));
        if (found) return Ref::steal_or_null(found);
    }
    PyObject *builtins = PyEval_GetFrameBuiltins();
    if (!builtins) raise();
    Ref owned = Ref::steal_or_null(builtins);
    check(PyMapping_GetOptionalItem(owned, name, &found));
    if (found) return Ref::steal_or_null(found);
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    raise();
}

Ref urllib_request(PyObject *name) {
    Ref request = Ref::steal(PyObject_GetAttr(global(S.urllib), S.request));
    return Ref::steal(PyObject_GetAttr(request, name));
}

Ref get1(PyObject *m, PyObject *key) {
    if (PyDict_CheckExact(m)) {
        PyObject *found = nullptr;
        check(PyDict_GetItemRef(m, key, &found));
        return found ? Ref::steal_or_null(found) : Ref::borrow(Py_None);
    }
    return call_method(m, S.get, key);
}

Ref get2(PyObject *m, PyObject *key, PyObject *dflt) {
    if (PyDict_CheckExact(m)) {
        PyObject *found = nullptr;
        check(PyDict_GetItemRef(m, key, &found));
        return found ? Ref::steal_or_null(found) : Ref::borrow(dflt);
    }
    return call_method(m, S.get, key, dflt);
}

Ref text_of(PyObject *m, PyObject *key) {
    Ref v = get2(m, key, S.empty);
    return truthy(v) ? v : Ref::borrow(S.empty);
}

namespace {
// `m.get(key, <new empty container>) or <new empty container>`; the default
// is only materialised when a non-exact mapping needs to receive it.
template <PyObject *(*Make)()>
Ref get_or_new(PyObject *m, PyObject *key) {
    Ref v;
    if (PyDict_CheckExact(m)) {
        PyObject *found = nullptr;
        check(PyDict_GetItemRef(m, key, &found));
        v = Ref::steal_or_null(found);
    } else {
        Ref dflt = Ref::steal(Make());
        v = call_method(m, S.get, key, dflt.get());
    }
    if (v && truthy(v)) return v;
    return Ref::steal(Make());
}
PyObject *make_list() { return PyList_New(0); }
PyObject *make_dict() { return PyDict_New(); }
}  // namespace

Ref object_of(PyObject *m, PyObject *key) { return get_or_new<make_dict>(m, key); }
Ref get_or_new_list(PyObject *m, PyObject *key) { return get_or_new<make_list>(m, key); }

Ref get_with_new_dict_default(PyObject *m, PyObject *key) {
    if (PyDict_CheckExact(m)) {
        PyObject *found = nullptr;
        check(PyDict_GetItemRef(m, key, &found));
        return found ? Ref::steal_or_null(found) : new_dict();
    }
    Ref dflt = new_dict();
    return call_method(m, S.get, key, dflt.get());
}

bool contains(PyObject *m, PyObject *key) {
    if (PyDict_CheckExact(m)) return check(PyDict_Contains(m, key)) != 0;
    return check(PySequence_Contains(m, key)) != 0;
}

bool equals(PyObject *value, PyObject *literal) {
    if (value == literal) {
        // Interned literal meets itself: only a str can be here.
        return true;
    }
    if (PyUnicode_CheckExact(value)) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(value);
        if (n != PyUnicode_GET_LENGTH(literal)) return false;
        if (PyUnicode_KIND(value) != PyUnicode_KIND(literal)) return false;
        return std::memcmp(PyUnicode_DATA(value), PyUnicode_DATA(literal),
                           static_cast<size_t>(n) * PyUnicode_KIND(value)) == 0;
    }
    Ref r = Ref::steal(PyObject_RichCompare(value, literal, Py_EQ));
    return truthy(r);
}

bool differs(PyObject *a, PyObject *b) {
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(a);
        if (n != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return true;
        return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                           static_cast<size_t>(n) * PyUnicode_KIND(a)) != 0;
    }
    Ref r = Ref::steal(PyObject_RichCompare(a, b, Py_NE));
    return truthy(r);
}

Ref usage_dict(PyObject *in_tok, PyObject *out_tok, PyObject *tot_tok) {
    return make_dict(S.prompt_tokens, in_tok, S.completion_tokens, out_tok, S.total_tokens, tot_tok);
}

Ref normalized_usage(PyObject *usage_in) {
    auto first_truthy = [&](PyObject *primary, PyObject *secondary) -> Ref {
        Ref v = get2(usage_in, primary, C.zero);
        if (truthy(v)) return v;
        v = get2(usage_in, secondary, C.zero);
        if (truthy(v)) return v;
        return Ref::borrow(C.zero);
    };
    Ref in_tok = first_truthy(S.input_tokens, S.prompt_tokens);
    Ref out_tok = first_truthy(S.output_tokens, S.completion_tokens);
    Ref tot_tok = get2(usage_in, S.total_tokens, C.zero);
    if (!truthy(tot_tok)) tot_tok = Ref::steal(PyNumber_Add(in_tok, out_tok));
    return usage_dict(in_tok, out_tok, tot_tok);
}

}  // namespace rapi
