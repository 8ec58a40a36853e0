// The value layer's lookups and comparisons (see values.hpp); pinned down
// through every translation test and tests/test_differential.py.
#include "values.hpp"

#include <cstring>

namespace rapi {

Ref global(PyObject *name) {
    PyObject *found = nullptr;
    if (state.module_dict) {
        check(PyDict_GetItemRef(state.module_dict, name, &found));
        if (found) return Ref::steal_or_null(found);
    }
    // The module's own builtins, as a Python function's are its globals'
    // `__builtins__`; during the import itself, the importer's.
    Ref builtins = state.builtins ? Ref::retain(state.builtins) : Ref::steal(PyEval_GetFrameBuiltins());
    check(PyMapping_GetOptionalItem(builtins.get(), name, &found));
    if (found) return Ref::steal_or_null(found);
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    raise();
}

Ref urllib_request(PyObject *name) { return attr(attr(global(S.urllib), S.request), name); }

Ref type_lookup(PyTypeObject *type, PyObject *name) {
    PyObject *mro = type->tp_mro;  // borrowed; a tuple once the type is ready
    if (!mro) return Ref();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro, i))));
        PyObject *found = nullptr;
        check(PyDict_GetItemRef(dict.get(), name, &found));
        if (found) return Ref::steal_or_null(found);
    }
    return Ref();
}

namespace {
Ref none() { return Ref::retain(Py_None); }
}  // namespace

Ref get1(Borrowed m, Borrowed key) { return get_lazy(m, key, none, false); }

Ref get2(Borrowed m, Borrowed key, Borrowed dflt) {
    return get_lazy(m, key, [&] { return dflt.retain(); });
}

Ref text_of(Borrowed m, Borrowed key) {
    Ref v = get2(m, key, S.empty);
    return truthy(v) ? v : Ref::retain(S.empty);
}

Ref object_of(Borrowed m, Borrowed key) {
    Ref v = get_lazy(m, key, new_dict);
    return truthy(v) ? v : new_dict();
}

Ref get_or_new_list(Borrowed m, Borrowed key) {
    Ref v = get_lazy(m, key, [] { return new_list(); });
    return truthy(v) ? v : new_list();
}

Ref get_with_new_dict_default(Borrowed m, Borrowed key) { return get_lazy(m, key, new_dict); }

bool contains(Borrowed m, Borrowed key) {
    if (PyDict_CheckExact(m.get())) return check(PyDict_Contains(m.get(), key.get())) != 0;
    return check(PySequence_Contains(m.get(), key.get())) != 0;
}

namespace {
// Two exact strings with the same characters.
bool same_text(PyObject *a, PyObject *b) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    if (n != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(n) * PyUnicode_KIND(a)) == 0;
}
}  // namespace

bool equals(Borrowed value, Borrowed literal) {
    // A literal (an interned str or a small int constant) meeting itself.
    if (value.get() == literal.get()) return true;
    // Two exact strings compare by their characters; a str meeting an int
    // literal (a redirect's code) takes the rich comparison, as `==` does.
    if (PyUnicode_CheckExact(value.get()) && PyUnicode_CheckExact(literal.get()))
        return same_text(value.get(), literal.get());
    return truthy(Ref::steal(PyObject_RichCompare(value.get(), literal.get(), Py_EQ)));
}

bool differs(Borrowed a, Borrowed b) {
    if (PyUnicode_CheckExact(a.get()) && PyUnicode_CheckExact(b.get())) return !same_text(a.get(), b.get());
    return truthy(Ref::steal(PyObject_RichCompare(a.get(), b.get(), Py_NE)));
}

}  // namespace rapi
