// The callable type (see function.hpp); pinned down in tests/test_surface.py
// and tests/test_getters.py.
#include "surface/function.hpp"

#include <cstddef>

#include "errors.hpp"
#include "values.hpp"

namespace rapi {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec *spec;
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *defaults;   // tuple, or None when every parameter is required
    PyObject *signature;  // built on first use
    PyObject *dict;
    PyObject *weakreflist;
    PyObject *params[kMaxParams];
};

PyTypeObject FunctionType = {PyVarObject_HEAD_INIT(nullptr, 0)};

PyObject *default_object(DefaultValue v) { return v == DefaultValue::None ? Py_None : Py_False; }

// "f() takes exactly|at least|at most N positional argument(s) (M given)"
PyObject *count_error(const FunctionSpec *s, Py_ssize_t given) {
    const char *more_or_less;
    Py_ssize_t expected;
    if (s->nrequired == s->nparams) {
        more_or_less = "exactly";
        expected = s->nparams;
    } else if (given < s->nrequired) {
        more_or_less = "at least";
        expected = s->nrequired;
    } else {
        more_or_less = "at most";
        expected = s->nparams;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", s->name, more_or_less,
                 expected, expected == 1 ? "" : "s", given);
    return nullptr;
}

PyObject *function_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    auto *self = reinterpret_cast<FunctionObject *>(callable);
    const FunctionSpec *s = self->spec;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs > s->nparams) return count_error(s, nargs);

    PyObject *slots[kMaxParams] = {};
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];

    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", s->name);
                return nullptr;
            }
            int found = -1;
            for (int j = 0; j < s->nparams; ++j) {
                if (self->params[j] == key) {
                    found = j;
                    break;
                }
            }
            if (found < 0) {
                for (int j = 0; j < s->nparams; ++j) {
                    if (PyUnicode_Compare(self->params[j], key) == 0) {
                        found = j;
                        break;
                    }
                }
            }
            if (found < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", s->name, key);
                return nullptr;
            }
            if (slots[found]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", s->name, key);
                return nullptr;
            }
            slots[found] = args[nargs + k];
        }
    }
    for (int j = 0; j < s->nrequired; ++j) {
        if (!slots[j]) return count_error(s, j);
    }
    for (int j = s->nrequired; j < s->nparams; ++j) {
        if (!slots[j]) slots[j] = default_object(s->defaults[j - s->nrequired]);
    }
    PyObject *result = guarded([&] { return s->body(slots); });
    if (!result) add_traceback(s->entry);
    return result;
}

// The type slots below follow the C API's contracts, which are stated in
// raw references: a slot returns a new reference (Py_NewRef of a field),
// tp_clear and tp_dealloc release the fields they own (Py_CLEAR).
PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject *function_repr(PyObject *op) {
    auto *self = reinterpret_cast<FunctionObject *>(op);
    return PyUnicode_FromFormat("<function %U at %p>", self->qualname, op);
}

// Every object the function owns. Only the dict and the signature can lead
// back to it; the rest are strings and a tuple of singletons, visited all
// the same so that the collector's picture of the object is whole.
int function_traverse(PyObject *op, visitproc visit, void *arg) {
    auto *self = reinterpret_cast<FunctionObject *>(op);
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(self->dict);
    Py_VISIT(self->signature);
    Py_VISIT(self->name);
    Py_VISIT(self->qualname);
    Py_VISIT(self->module);
    Py_VISIT(self->doc);
    Py_VISIT(self->defaults);
    for (PyObject *p : self->params) Py_VISIT(p);
    return 0;
}

int function_clear(PyObject *op) {
    auto *self = reinterpret_cast<FunctionObject *>(op);
    Py_CLEAR(self->dict);
    Py_CLEAR(self->signature);
    return 0;
}

void function_dealloc(PyObject *op) {
    auto *self = reinterpret_cast<FunctionObject *>(op);
    PyObject_GC_UnTrack(op);
    if (self->weakreflist) PyObject_ClearWeakRefs(op);
    function_clear(op);
    Py_CLEAR(self->name);
    Py_CLEAR(self->qualname);
    Py_CLEAR(self->module);
    Py_CLEAR(self->doc);
    Py_CLEAR(self->defaults);
    for (auto &p : self->params) Py_CLEAR(p);
    Py_TYPE(op)->tp_free(op);
}

PyObject *get_name(PyObject *op, void *) { return Py_NewRef(reinterpret_cast<FunctionObject *>(op)->name); }
PyObject *get_qualname(PyObject *op, void *) { return Py_NewRef(reinterpret_cast<FunctionObject *>(op)->qualname); }
PyObject *get_module(PyObject *op, void *) { return Py_NewRef(reinterpret_cast<FunctionObject *>(op)->module); }
PyObject *get_doc(PyObject *op, void *) { return Py_NewRef(reinterpret_cast<FunctionObject *>(op)->doc); }
PyObject *get_defaults(PyObject *op, void *) { return Py_NewRef(reinterpret_cast<FunctionObject *>(op)->defaults); }
PyObject *get_kwdefaults(PyObject *, void *) { Py_RETURN_NONE; }

// An `inspect.Signature` built from the parameter table, so that
// `inspect.signature()` and `help()` show the real parameter list.
PyObject *get_signature(PyObject *op, void *) {
    auto *self = reinterpret_cast<FunctionObject *>(op);
    if (self->signature) return Py_NewRef(self->signature);
    return guarded([&]() -> PyObject * {
        Ref inspect = Ref::steal(PyImport_Import(S.inspect));
        Ref parameter = attr(inspect, S.Parameter);
        Ref kind = attr(parameter, S.POSITIONAL_OR_KEYWORD);
        const FunctionSpec *s = self->spec;
        Ref params = new_list();
        for (int j = 0; j < s->nparams; ++j) {
            if (j < s->nrequired) append(params, call(parameter, self->params[j], kind));
            else
                append(params, call_kw(parameter, 2, C.kw_default, self->params[j], kind,
                                       default_object(s->defaults[j - s->nrequired])));
        }
        Ref sig = call(attr(inspect, S.Signature), params);
        self->signature = Ref(sig).release();  // the cache keeps its own reference
        return sig.release();
    });
}

PyObject *function_reduce(PyObject *op, PyObject *) {
    // Pickled by reference, like a Python function.
    return Py_NewRef(reinterpret_cast<FunctionObject *>(op)->qualname);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr},
};

}  // namespace

void init_function_type() {
    if (FunctionType.tp_flags & Py_TPFLAGS_READY) return;
    FunctionType.tp_name = "routes.responses_api.function";
    FunctionType.tp_basicsize = sizeof(FunctionObject);
    FunctionType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                            Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    FunctionType.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    FunctionType.tp_call = PyVectorcall_Call;
    FunctionType.tp_descr_get = function_descr_get;
    FunctionType.tp_repr = function_repr;
    FunctionType.tp_traverse = function_traverse;
    FunctionType.tp_clear = function_clear;
    FunctionType.tp_dealloc = function_dealloc;
    FunctionType.tp_getset = function_getset;
    FunctionType.tp_methods = function_methods;
    FunctionType.tp_dictoffset = offsetof(FunctionObject, dict);
    FunctionType.tp_weaklistoffset = offsetof(FunctionObject, weakreflist);
    FunctionType.tp_doc = "A function of routes.responses_api.";
    check(PyType_Ready(&FunctionType));
}

Ref new_function(const FunctionSpec *spec) {
    auto *self = PyObject_GC_New(FunctionObject, &FunctionType);
    if (!self) raise();
    // Every field valid (null) before anything can fail, so dealloc is safe.
    self->vectorcall = function_vectorcall;
    self->spec = spec;
    self->name = self->qualname = self->module = self->doc = self->defaults = self->signature = self->dict = nullptr;
    self->weakreflist = nullptr;
    for (auto &p : self->params) p = nullptr;
    PyObject_GC_Track(self);
    Ref owner = Ref::steal(reinterpret_cast<PyObject *>(self));

    // The fields are filled in place: each takes over the new reference.
    auto take = [](PyObject *&field, Ref value) { field = value.release(); };
    take(self->module, Ref::retain(S.module_name));
    take(self->name, Ref::steal(PyUnicode_InternFromString(spec->name)));
    take(self->qualname, Ref::steal(PyUnicode_InternFromString(spec->qualname)));
    take(self->doc, Ref::steal(PyUnicode_FromString(spec->doc)));
    for (int j = 0; j < spec->nparams; ++j)
        take(self->params[j], Ref::steal(PyUnicode_InternFromString(spec->params[j])));
    int ndefaults = spec->nparams - spec->nrequired;
    if (ndefaults == 0) {
        take(self->defaults, Ref::retain(Py_None));
    } else {
        Ref defaults = Ref::steal(PyTuple_New(ndefaults));
        for (int j = 0; j < ndefaults; ++j)
            PyTuple_SET_ITEM(defaults.get(), j, Ref::retain(default_object(spec->defaults[j])).release());
        take(self->defaults, std::move(defaults));
    }
    return owner;
}

}  // namespace rapi
