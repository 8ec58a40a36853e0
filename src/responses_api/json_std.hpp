// Fast paths around the standard json module. They are taken only while the
// module global `json` is still the standard module as imported, and every
// function and class its `loads`/`dumps` go through is still the standard
// one (identity checks at each call); they then give exactly what the call
// would give. In every other case the callers call `json.loads` /
// `json.dumps` as written.
#pragma once

#include "values.hpp"

namespace rapi {

// Remembers the standard json module and what its loads and dumps use.
void capture_standard_json(PyObject *json);

// The decoder's scanner (`json._default_decoder.scan_once`) when
// `json.loads(s)` is, right now, exactly the standard decoding; else null.
// Borrowed.
PyObject *standard_scanner(PyObject *json);

// `json.loads(s)` for an exact str through the scanner: the value, or null
// with the error loads would raise (StopIteration becomes a ValueError,
// BOM and trailing data raise ValueError as loads does).
PyObject *scan_json(PyObject *scanner, PyObject *s);

// `json.dumps(obj, ensure_ascii=False)` written directly when `json` is the
// standard module and obj is made of exact dicts (str keys), lists, tuples,
// str, int, float, bool and None nested not too deep; an empty Ref when the
// fast path does not apply (the caller then calls json.dumps).
Ref dumps_text(PyObject *json, PyObject *obj);

}  // namespace rapi
