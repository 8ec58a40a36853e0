#include "surface/function.hpp"

#include <frameobject.h>

#include <cstddef>
#include <string>
#include <unordered_map>

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
    std::string *traceback_name;
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
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 s->name, more_or_less, expected, expected == 1 ? "" : "s", given);
    return nullptr;
}

PyObject *function_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames) {
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
                if (self->params[j] == key) { found = j; break; }
            }
            if (found < 0) {
                for (int j = 0; j < s->nparams; ++j) {
                    if (PyUnicode_Compare(self->params[j], key) == 0) { found = j; break; }
                }
            }
            if (found < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                             s->name, key);
                return nullptr;
            }
            if (slots[found]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                             s->name, key);
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
    if (!result) add_traceback(self->traceback_name->c_str(), s->line);
    return result;
}

PyObject *function_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject *function_repr(PyObject *op) {
    auto *self = reinterpret_cast<FunctionObject *>(op);
    return PyUnicode_FromFormat("<function %U at %p>", self->qualname, op);
}

int function_traverse(PyObject *op, visitproc visit, void *arg) {
    auto *self = reinterpret_cast<FunctionObject *>(op);
    Py_VISIT(Py_TYPE(op));
    Py_VISIT(self->dict);
    Py_VISIT(self->signature);
    Py_VISIT(self->doc);
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
    delete self->traceback_name;
    PyTypeObject *tp = Py_TYPE(op);
    tp->tp_free(op);
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
        Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
        Ref parameter = Ref::steal(PyObject_GetAttrString(inspect, "Parameter"));
        Ref kind = Ref::steal(PyObject_GetAttrString(parameter, "POSITIONAL_OR_KEYWORD"));
        Ref default_kw = Ref::steal(Py_BuildValue("(s)", "default"));
        const FunctionSpec *s = self->spec;
        Ref params = new_list(s->nparams);
        for (int j = 0; j < s->nparams; ++j) {
            Ref p;
            if (j < s->nrequired) {
                p = call(parameter, self->params[j], kind.get());
            } else {
                PyObject *stack[] = {self->params[j], kind.get(), default_object(s->defaults[j - s->nrequired])};
                p = Ref::steal(PyObject_Vectorcall(parameter, stack, 2, default_kw));
            }
            PyList_SET_ITEM(params.get(), j, p.release());
        }
        Ref signature_type = Ref::steal(PyObject_GetAttrString(inspect, "Signature"));
        Ref sig = call(signature_type, params.get());
        self->signature = Py_NewRef(sig.get());
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
    {nullptr}};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr}};

struct CodeCache {
    std::unordered_map<std::string, PyObject *> codes;  // strong, never freed
};
CodeCache code_cache;

}  // namespace

Ref call_function(PyObject *callable, FunctionBody body, PyObject *const *args, int nargs) {
    if (Py_TYPE(callable) == &FunctionType) {
        auto *f = reinterpret_cast<FunctionObject *>(callable);
        if (f->spec->body == body && f->spec->nparams == nargs) {
            try {
                return Ref::steal(body(args));
            } catch (const PyError &) {
                add_traceback(f->traceback_name->c_str(), f->spec->line);
                throw;
            }
        }
    }
    return Ref::steal(PyObject_Vectorcall(callable, args, static_cast<size_t>(nargs), nullptr));
}

void add_traceback(const char *qualified_name, int line) {
    PyObject *exc = PyErr_GetRaisedException();
    if (!exc) return;
    std::string key = std::string(qualified_name) + ":" + std::to_string(line);
    PyObject *&code = code_cache.codes[key];
    if (!code) code = reinterpret_cast<PyObject *>(PyCode_NewEmpty("routes/responses_api.py", qualified_name, line));
    PyObject *globals = module_dict();
    PyObject *scratch = nullptr;
    if (!globals) globals = scratch = PyDict_New();
    PyFrameObject *frame = nullptr;
    if (code && globals)
        frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(code), globals, nullptr);
    Py_XDECREF(scratch);
    if (!frame) {
        // Could not build the entry: keep the original exception, not this one.
        PyErr_Clear();
        PyErr_SetRaisedException(exc);
        return;
    }
    PyErr_SetRaisedException(exc);
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

int init_function_type() {
    if (FunctionType.tp_flags & Py_TPFLAGS_READY) return 0;
    FunctionType.tp_name = "routes.responses_api.function";
    FunctionType.tp_basicsize = sizeof(FunctionObject);
    FunctionType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                            Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
                            Py_TPFLAGS_DISALLOW_INSTANTIATION;
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
    return PyType_Ready(&FunctionType);
}

PyObject *new_function(const FunctionSpec *spec) {
    auto *self = PyObject_GC_New(FunctionObject, &FunctionType);
    if (!self) return nullptr;
    // Every field valid (null) before anything can fail, so dealloc is safe.
    self->vectorcall = function_vectorcall;
    self->spec = spec;
    self->name = self->qualname = self->doc = self->defaults = self->signature = self->dict = nullptr;
    self->weakreflist = nullptr;
    self->module = Py_NewRef(S.module_name);
    for (auto &p : self->params) p = nullptr;
    self->traceback_name = new std::string(std::string("routes.responses_api.") + spec->qualname);
    PyObject_GC_Track(self);
    Ref owner = Ref::steal_or_null(reinterpret_cast<PyObject *>(self));

    if (!(self->name = PyUnicode_InternFromString(spec->name))) return nullptr;
    if (!(self->qualname = PyUnicode_InternFromString(spec->qualname))) return nullptr;
    if (!(self->doc = PyUnicode_FromString(spec->doc))) return nullptr;
    for (int j = 0; j < spec->nparams; ++j)
        if (!(self->params[j] = PyUnicode_InternFromString(spec->params[j]))) return nullptr;
    int ndefaults = spec->nparams - spec->nrequired;
    if (ndefaults == 0) {
        self->defaults = Py_NewRef(Py_None);
    } else {
        if (!(self->defaults = PyTuple_New(ndefaults))) return nullptr;
        for (int j = 0; j < ndefaults; ++j)
            PyTuple_SET_ITEM(self->defaults, j, Py_NewRef(default_object(spec->defaults[j])));
    }
    return owner.release();
}

}  // namespace rapi
