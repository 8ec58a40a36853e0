"""The benchmark's helper builds and the floors the module is measured against.

Helpers are compiled with the machine's gcc against this interpreter's headers
into build/bench/, keyed by a hash of their source and flags so that a second
run reuses them:

- the twin compiled with Cython, as it stands, under the module name
  `responses_api_cy`;
- `bench_floor`, a tiny C extension whose `copy(obj)` rebuilds every dict,
  list and tuple of a value (same keys in the same order, leaves shared),
  except the containers that the result shares with the input.

Translation floor. Whatever a translation does, its result consists of new
dicts, lists and tuples holding the same keys and leaves, and each of those
must be allocated and filled by any implementation. `copy` does only that,
from a ready-made answer: it reads no input, tests no types, compares no
strings, calls nothing else, and presizes every container. New leaves (the
JSON text of a dict tool output, a joined reply text) it does not make at all.
So its time is a lower bound for producing the same output, not a reachable
target.

Streaming floor. A reader must at least make the same read1(4096) calls on
the response and decode every data line with `json.loads`; `stream_floor`
does exactly that, over lines that are already split and decoded. (A reader
that calls the decoder's C scanner itself skips the Python glue of
`json.loads` and can come in under this floor.)
"""

import hashlib
import importlib.util
import io
import json
import subprocess
import sys
import sysconfig
from pathlib import Path

CFLAGS = ["-O3", "-fwrapv", "-fno-strict-overflow", "-DNDEBUG", "-fPIC", "-shared"]

FLOOR_C = r"""
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyObject *keep_type;  /* Keep: a container the result shares with the input */

static PyObject *copy(PyObject *o) {
    if (PyDict_CheckExact(o)) {
        PyObject *d = _PyDict_NewPresized(PyDict_GET_SIZE(o)), *k, *v;
        Py_ssize_t pos = 0;
        if (!d) return NULL;
        while (PyDict_Next(o, &pos, &k, &v)) {
            PyObject *c = copy(v);
            if (!c || PyDict_SetItem(d, k, c) < 0) { Py_XDECREF(c); Py_DECREF(d); return NULL; }
            Py_DECREF(c);
        }
        return d;
    }
    if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
        int is_list = PyList_CheckExact(o);
        Py_ssize_t n = is_list ? PyList_GET_SIZE(o) : PyTuple_GET_SIZE(o);
        PyObject *r = is_list ? PyList_New(n) : PyTuple_New(n);
        if (!r) return NULL;
        for (Py_ssize_t i = 0; i < n; i++) {
            PyObject *c = copy(is_list ? PyList_GET_ITEM(o, i) : PyTuple_GET_ITEM(o, i));
            if (!c) { Py_DECREF(r); return NULL; }
            if (is_list) PyList_SET_ITEM(r, i, c); else PyTuple_SET_ITEM(r, i, c);
        }
        return r;
    }
    if ((PyObject *)Py_TYPE(o) == keep_type) return Py_NewRef(PyTuple_GET_ITEM(o, 0));
    return Py_NewRef(o);
}

static PyObject *py_copy(PyObject *self, PyObject *o) { return copy(o); }
static PyObject *py_set_keep(PyObject *self, PyObject *t) { Py_XSETREF(keep_type, Py_NewRef(t)); Py_RETURN_NONE; }
static PyMethodDef methods[] = {{"copy", py_copy, METH_O, "New dicts, lists and tuples; shared leaves."},
                                {"set_keep", py_set_keep, METH_O, "The type that marks shared containers."}, {0}};
static struct PyModuleDef def = {PyModuleDef_HEAD_INIT, "bench_floor", NULL, -1, methods};
PyMODINIT_FUNC PyInit_bench_floor(void) { return PyModule_Create(&def); }
"""


def _compile(name, c_source_path, out_dir, key):
    """Compiles one C file into an extension module and imports it as `name`."""
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    so = out_dir / f"{name}-{hashlib.sha256(key + ' '.join(CFLAGS).encode()).hexdigest()[:12]}{suffix}"
    if not so.exists():
        cmd = ["gcc", *CFLAGS, "-I", sysconfig.get_paths()["include"], str(c_source_path), "-o", str(so) + ".tmp"]
        subprocess.run(cmd, check=True)
        Path(str(so) + ".tmp").rename(so)
    found = importlib.util.spec_from_file_location(name, so)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


class Keep(tuple):
    """Marks, in a floor template, a container that the result takes over from
    the input (a tool's parameter schema, say): the floor hands it on as it is."""


def build_floor(out_dir):
    out_dir.mkdir(parents=True, exist_ok=True)
    src = out_dir / "bench_floor.c"
    src.write_text(FLOOR_C)
    module = _compile("bench_floor", src, out_dir, FLOOR_C.encode())
    module.set_keep(Keep)
    return module


def floor_template(expected, inputs):
    """`expected` with each container that comes from `inputs` wrapped in Keep,
    so that copy(template) builds exactly the containers a translation must."""
    shared = set()

    def collect(o):
        if isinstance(o, (dict, list, tuple)) and id(o) not in shared:
            shared.add(id(o))
            for v in o.values() if isinstance(o, dict) else o:
                collect(v)

    def build(o):
        if isinstance(o, (dict, list, tuple)) and id(o) in shared:
            return Keep((o,))
        if type(o) is dict:
            return {k: build(v) for k, v in o.items()}
        if type(o) in (list, tuple):
            return type(o)(build(v) for v in o)
        return o

    collect(inputs)
    return build(expected)


def build_cython_twin(twin_py, out_dir):
    """The twin's source, unchanged, compiled by Cython into `responses_api_cy`."""
    import Cython

    out_dir.mkdir(parents=True, exist_ok=True)
    source = twin_py.read_bytes()
    c_file = out_dir / "responses_api_cy.c"
    key = source + Cython.__version__.encode()
    stamp = out_dir / "responses_api_cy.key"
    if not c_file.exists() or not stamp.exists() or stamp.read_bytes() != hashlib.sha256(key).digest():
        cmd = [
            sys.executable,
            "-m",
            "cython",
            "-3",
            "--module-name",
            "responses_api_cy",
            str(twin_py),
            "-o",
            str(c_file),
        ]
        subprocess.run(cmd, check=True)
        stamp.write_bytes(hashlib.sha256(key).digest())
    return _compile("responses_api_cy", c_file, out_dir, key)


def stream_floor(body, lines, loads=json.loads):
    """The reader's unavoidable work on one body: the same read1(4096) calls and
    json.loads of every data line."""
    resp = io.BytesIO(body)
    read = resp.read1
    while read(4096):
        pass
    for line in lines:
        loads(line)
