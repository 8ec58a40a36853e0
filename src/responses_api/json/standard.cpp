// The standard json module's objects captured at import, the identity
// checks, and json.loads through the decoder's scanner for the stream
// reader (see json.hpp). Compared with json.loads in
// tests/streaming/test_json_decoding.py.
#include "json/json.hpp"

#include "json/captures.hpp"
#include "json/writer.hpp"

namespace rapi {

namespace json_detail {

PyObject *entry(PyObject *dict, PyObject *name) {
    PyObject *v = PyDict_GetItemWithError(dict, name);
    if (!v && PyErr_Occurred()) raise();  // unreached: the names are exact str
    return v;
}

PyObject *type_attr(PyObject *type, PyObject *name) {
    if (!PyType_Check(type)) return nullptr;
    Ref found = type_lookup(reinterpret_cast<PyTypeObject *>(type), name);
    return found.get();  // compared by identity only: the class keeps it alive
}

}  // namespace json_detail

namespace {

using json_detail::entry;
using json_detail::type_attr;
StandardJson &g = standard_json;

// A new reference to what the name holds now (an empty Ref when nothing).
Ref captured(PyObject *value) { return Ref::retain(value); }

inline bool is_json_space(Py_UCS4 c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

#if PY_VERSION_HEX >= 0x030E0000
// scanner(s, idx) below a reserved stretch of stack: several times what the
// interpreter loop between loads and the scanner takes (under 1 KiB in a
// release build), and half the stack the interpreter keeps between raising
// RecursionError and giving up with a fatal error (16 KiB, more in debug
// builds), all of which the caller's recursion check leaves ahead.
constexpr std::size_t kLoadsHeadroom = 8 * 1024;

[[gnu::noinline]] PyObject *scan_with_headroom(PyObject *scanner, PyObject *const *args) {
    char headroom[kLoadsHeadroom];
    asm volatile("" : : "r"(headroom) : "memory");  // kept, and kept in place, through the call
    return PyObject_Vectorcall(scanner, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}
#endif

}  // namespace

void capture_standard_json(Borrowed json) {
    if (!PyModule_Check(json.get())) return;
    g.module = json.retain().release();
    PyObject *dict = PyModule_GetDict(json.get());  // borrowed from the module

    g.loads = captured(entry(dict, S.loads)).release();
    g.decoder = captured(entry(dict, S._default_decoder)).release();
    if (g.loads && g.decoder) {
        g.decode = type_lookup(Py_TYPE(g.decoder), S.decode).release();
        g.raw_decode = type_lookup(Py_TYPE(g.decoder), S.raw_decode).release();
        g.scanner = Ref::steal_or_null(PyObject_GetAttr(g.decoder, S.scan_once)).release();
        if (!g.scanner) {
            // a decoder without a scanner: loads then always takes the real call
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) raise();
            PyErr_Clear();
        }
        g.loads_ok = g.decode && g.raw_decode && g.scanner;
    }
    if (PyErr_Occurred()) raise();

    g.dumps = captured(entry(dict, S.dumps)).release();
    g.encoder_class = captured(entry(dict, S.JSONEncoder)).release();
    PyObject *encoder_module = entry(dict, S.encoder);
    if (g.dumps && g.encoder_class && encoder_module && PyModule_Check(encoder_module)) {
        g.encoder_init = captured(type_attr(g.encoder_class, S.dunder_init)).release();
        g.encode = captured(type_attr(g.encoder_class, S.encode)).release();
        g.iterencode = captured(type_attr(g.encoder_class, S.iterencode)).release();
        g.encoder_module_dict = captured(PyModule_GetDict(encoder_module)).release();
        g.make_encoder = captured(entry(g.encoder_module_dict, S.c_make_encoder)).release();
        g.encode_basestring = captured(entry(g.encoder_module_dict, S.encode_basestring)).release();
        g.dumps_ok = g.encoder_init && g.encode && g.iterencode && g.make_encoder && g.make_encoder != Py_None &&
                     g.encode_basestring;
    }
    if (PyErr_Occurred()) raise();
}

void forget_standard_json() {
#define RAPI_FORGET(field) Py_CLEAR(g.field);
    RAPI_JSON_CAPTURES(RAPI_FORGET)
#undef RAPI_FORGET
    g.loads_ok = g.dumps_ok = false;
}

// ------------------------------------------------------------------- dumps

namespace {

bool standard_dumps(Borrowed json) {
    if (!g.dumps_ok || json.get() != g.module) return false;
    PyObject *dict = PyModule_GetDict(json.get());
    return entry(dict, S.dumps) == g.dumps && entry(dict, S.JSONEncoder) == g.encoder_class &&
           type_attr(g.encoder_class, S.dunder_init) == g.encoder_init &&
           type_attr(g.encoder_class, S.encode) == g.encode &&
           type_attr(g.encoder_class, S.iterencode) == g.iterencode &&
           entry(g.encoder_module_dict, S.c_make_encoder) == g.make_encoder &&
           entry(g.encoder_module_dict, S.encode_basestring) == g.encode_basestring;
}

}  // namespace

Ref dumps_text(Borrowed json, Borrowed obj) {
    if (!standard_dumps(json)) return Ref();
    return write_json(obj);
}

// ------------------------------------------------------------------- loads

PyObject *standard_scanner(Borrowed json) {
    if (!g.loads_ok || json.get() != g.module) return nullptr;
    PyObject *dict = PyModule_GetDict(json.get());
    if (entry(dict, S.loads) != g.loads || entry(dict, S._default_decoder) != g.decoder) return nullptr;
    PyObject *tp = reinterpret_cast<PyObject *>(Py_TYPE(g.decoder));
    if (type_attr(tp, S.decode) != g.decode || type_attr(tp, S.raw_decode) != g.raw_decode) return nullptr;
    Ref scanner = attr(g.decoder, S.scan_once);
    return scanner.get() == g.scanner ? g.scanner : nullptr;
}

Ref scan_json(PyObject *scanner, PyObject *s) {
    const int kind = PyUnicode_KIND(s);
    const void *data = PyUnicode_DATA(s);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (n > 0 && PyUnicode_READ(kind, data, 0) == 0xFEFF) {
        PyErr_SetString(PyExc_ValueError, "Unexpected UTF-8 BOM (decode using utf-8-sig)");
        raise();
    }
    Py_ssize_t idx = 0;
    while (idx < n && is_json_space(PyUnicode_READ(kind, data, idx))) ++idx;
    Ref start = Ref::steal(PyLong_FromSsize_t(idx));
    PyObject *stack[] = {nullptr, s, start.get()};
    Ref pair;
#if PY_VERSION_HEX >= 0x030E0000
    // 3.14 bounds nesting by the machine stack left, so loads, which reaches
    // the scanner through the interpreter loop, stops a few levels earlier
    // than a direct call would. The scanner is called with more stack spent
    // than that; a document nested too deep for it goes to loads itself
    // (an empty Ref), which then decides at its own depth.
    if (!Py_EnterRecursiveCall(" while decoding a JSON document")) {
        pair = Ref::steal_or_null(scan_with_headroom(scanner, stack + 1));
        Py_LeaveRecursiveCall();
    }
    if (!pair && PyErr_ExceptionMatches(PyExc_RecursionError)) {
        PyErr_Clear();
        return Ref();
    }
#else
    // loads reaches the scanner two C recursion levels deeper than this call
    // does (its entry into the interpreter loop); take the same two levels so
    // that nesting hits the recursion limit at exactly the same depth.
    if (!Py_EnterRecursiveCall(" while decoding a JSON document")) {
        if (!Py_EnterRecursiveCall(" while decoding a JSON document")) {
            pair = Ref::steal_or_null(
                PyObject_Vectorcall(scanner, stack + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
            Py_LeaveRecursiveCall();
        }
        Py_LeaveRecursiveCall();
    }
#endif
    if (!pair) {
        if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_ValueError, "Expecting value");
        }
        raise();
    }
    PyObject *p = pair.get();
    // The standard scanner always answers (value, end); anything else means
    // it was swapped at the C level, which the identity checks cannot see.
    if (!PyTuple_CheckExact(p) || PyTuple_GET_SIZE(p) != 2) {
        PyErr_SetString(PyExc_SystemError, "unexpected result from the JSON scanner");
        raise();
    }
    Py_ssize_t end = PyLong_AsSsize_t(PyTuple_GET_ITEM(p, 1));
    if (end == -1 && PyErr_Occurred()) raise();
    while (end < n && is_json_space(PyUnicode_READ(kind, data, end))) ++end;
    if (end != n) {
        PyErr_SetString(PyExc_ValueError, "Extra data");
        raise();
    }
    return Ref::retain(PyTuple_GET_ITEM(p, 0));
}

}  // namespace rapi
