// The value layer: the few ways every translation reads and builds values,
// on the references of refs.hpp and under the error convention of
// errors.hpp. Its behaviour is pinned down by the twin
// (tests/twin/responses_api.py), whose `get`, `or` and isinstance idioms
// each function here mirrors.
#pragma once

#include "refs.hpp"
// The interned strings and constants (S, C) of the module state.
#include "state.hpp"

namespace rapi {

// A module global looked up now, as a name in a function body would be:
// the module's globals first, then the builtins. NameError when missing.
Ref global(PyObject *name);
// `urllib.request.<name>`, reached through the module global `urllib` now.
Ref urllib_request(PyObject *name);
// The interpreter's type lookup done with the public API: `name` in the
// dicts of the type's MRO, as special-method lookup sees it; an empty Ref
// when absent. (The private lookup's cache was measured to buy nothing
// visible per stream line.)
Ref type_lookup(PyTypeObject *type, PyObject *name);

// ------------------------------------------------------------------ reading

// Interpreter truth test, with the common cases inline.
inline bool truthy(Borrowed b) {
    PyObject *o = b.get();
    if (o == Py_True) return true;
    if (o == Py_False || o == Py_None) return false;
    if (PyUnicode_CheckExact(o)) return PyUnicode_GET_LENGTH(o) != 0;
    return check(PyObject_IsTrue(o)) != 0;
}

inline bool is_dict(Borrowed o) { return PyDict_Check(o.get()); }
inline bool is_list(Borrowed o) { return PyList_Check(o.get()); }
inline bool is_str(Borrowed o) { return PyUnicode_Check(o.get()); }
inline bool is_none(Borrowed o) { return o.get() == Py_None; }
// `isinstance(o, str) and o`: a non-empty str (subclasses count).
inline bool is_nonempty_str(Borrowed o) { return is_str(o) && truthy(o); }

// `m.get(key, <default>)`, the one place with the exact-dict fast path: an
// exact dict is read directly (the same as its `get`), anything else gets
// its own `get` called, which a subclass may override. `make_default`
// yields the default and is only called when the default is needed;
// `pass_default` false is `m.get(key)`, which hands `get` no default.
template <class MakeDefault>
Ref get_lazy(Borrowed m, Borrowed key, MakeDefault &&make_default, bool pass_default = true);

// `m.get(key)`.
Ref get1(Borrowed m, Borrowed key);
// `m.get(key, dflt)`.
Ref get2(Borrowed m, Borrowed key, Borrowed dflt);
// `m.get(key, "") or ""`: the text of key in m.
Ref text_of(Borrowed m, Borrowed key);
// `m.get(key, {}) or {}`: the object of key in m (a new empty dict when falsy).
Ref object_of(Borrowed m, Borrowed key);
// `m.get(key, []) or []`, the list made only when needed.
Ref get_or_new_list(Borrowed m, Borrowed key);
// `m.get(key, {})`: the default dict is only created when it is needed.
Ref get_with_new_dict_default(Borrowed m, Borrowed key);
// `key in m`.
bool contains(Borrowed m, Borrowed key);

// `value == literal` with the value on the left, truth-tested. Two exact
// strings compare directly; anything else (a str against an int literal
// included) goes through the rich comparison.
bool equals(Borrowed value, Borrowed literal);
// `a != b`, truth-tested (no identity shortcut, as the operator has none).
bool differs(Borrowed a, Borrowed b);

// Visits the items of any iterable in order, as a `for` loop does. Exact
// lists and tuples are walked by index (re-reading the length each step, as
// their iterators do); everything else through the iterator protocol.
// `visit` receives a borrowed item that stays alive for the visit.
template <class F>
void for_each(Borrowed iterable, F &&visit) {
    PyObject *seq = iterable.get();
    if (PyList_CheckExact(seq)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq); ++i) {
            // The list may drop the item during the visit: hold it.
            Ref item = Ref::retain(PyList_GET_ITEM(seq, i));
            visit(item.get());
        }
        return;
    }
    if (PyTuple_CheckExact(seq)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(seq); ++i) visit(PyTuple_GET_ITEM(seq, i));
        return;
    }
    Ref it = Ref::steal(PyObject_GetIter(seq));
    while (Ref item = Ref::steal_or_null(PyIter_Next(it.get()))) visit(item.get());
    if (PyErr_Occurred()) raise();
}

// ----------------------------------------------------------------- building

inline Ref new_dict() { return Ref::steal(PyDict_New()); }
inline Ref new_list(Py_ssize_t n = 0) { return Ref::steal(PyList_New(n)); }
inline Ref new_int(Py_ssize_t v) { return Ref::steal(PyLong_FromSsize_t(v)); }
inline void set_item(Borrowed d, Borrowed key, Borrowed value) {
    check(PyDict_SetItem(d.get(), key.get(), value.get()));
}
// `m[key] = value` for any mapping (a debug record may be anything).
inline void store(Borrowed m, Borrowed key, Borrowed value) {
    check(PyObject_SetItem(m.get(), key.get(), value.get()));
}
inline void append(Borrowed list, Borrowed value) { check(PyList_Append(list.get(), value.get())); }
inline Py_ssize_t list_size(Borrowed list) { return PyList_GET_SIZE(list.get()); }

// A new dict with the given keys in this insertion order.
template <class... KV>
Ref make_dict(KV &&...kv) {
    static_assert(sizeof...(KV) % 2 == 0, "keys and values come in pairs");
    Ref d = new_dict();
    Borrowed items[] = {Borrowed(kv)...};
    for (size_t i = 0; i < sizeof...(KV); i += 2) set_item(d, items[i], items[i + 1]);
    return d;
}

// A new tuple of the given items.
template <class... A>
Ref make_tuple(A &&...items) {
    return Ref::steal(PyTuple_Pack(sizeof...(A), Borrowed(items).get()...));
}

// Calls `obj.name(args...)` positionally.
template <class... A>
Ref call_method(Borrowed obj, Borrowed name, A &&...args) {
    PyObject *stack[] = {obj.get(), Borrowed(args).get()...};
    return Ref::steal(
        PyObject_VectorcallMethod(name.get(), stack, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Calls `callable(args...)` positionally.
template <class... A>
Ref call(Borrowed callable, A &&...args) {
    if constexpr (sizeof...(A) == 0) {
        return Ref::steal(PyObject_CallNoArgs(callable.get()));
    } else {
        PyObject *stack[] = {nullptr, Borrowed(args).get()...};
        return Ref::steal(
            PyObject_Vectorcall(callable.get(), stack + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }
}

// Calls `callable(positional..., **kw)` where the keyword names are a tuple
// of interned names and their values follow the positional ones.
template <class... A>
Ref call_kw(Borrowed callable, Py_ssize_t npositional, Borrowed kwnames, A &&...args) {
    PyObject *stack[] = {nullptr, Borrowed(args).get()...};
    return Ref::steal(PyObject_Vectorcall(
        callable.get(), stack + 1, static_cast<size_t>(npositional) | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
}

// `getattr(obj, name)`.
inline Ref attr(Borrowed obj, Borrowed name) { return Ref::steal(PyObject_GetAttr(obj.get(), name.get())); }

template <class MakeDefault>
Ref get_lazy(Borrowed m, Borrowed key, MakeDefault &&make_default, bool pass_default) {
    if (PyDict_CheckExact(m.get())) {
        PyObject *found = nullptr;
        check(PyDict_GetItemRef(m.get(), key.get(), &found));
        return found ? Ref::steal_or_null(found) : make_default();
    }
    if (!pass_default) return call_method(m, S.get, key);
    return call_method(m, S.get, key, make_default());
}

}  // namespace rapi
