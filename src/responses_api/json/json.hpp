// Fast paths around the standard json module, for the stream reader's
// `json.loads` and convert_messages' `json.dumps`. They are taken only while
// the module global `json` is still the standard module as imported, and
// every function and class its `loads`/`dumps` go through is still the
// standard one: a caller (or a test) may replace any of them, and the
// module must then call the replacement, so the identity checks run at
// each call. The fast paths then give exactly what the call would give
// (tests/streaming/test_json_decoding.py, tests/test_json_encoding.py). In
// every other case the callers call `json.loads` / `json.dumps` as written.
#pragma once

#include "refs.hpp"

namespace rapi {

#ifdef RAPI_CHECKED
// What the JSON writer's text buffer has cost since the import, counted in
// the checked builds only and read through the module's `_checked_counts()`:
// in-place growths, re-makings as a wider str, and the characters those
// copied. The tests hold them logarithmic and linear in the text's length.
struct WriterCounts {
    unsigned long long resized = 0, widened = 0, copied = 0;
};
inline WriterCounts writer_counts;
#endif

// Remembers the standard json module and what its loads and dumps use.
void capture_standard_json(Borrowed json);
// Drops what capture_standard_json remembered (a failed import).
void forget_standard_json();

// The decoder's scanner (`json._default_decoder.scan_once`) when
// `json.loads(s)` is, right now, exactly the standard decoding; else null.
// Borrowed.
PyObject *standard_scanner(Borrowed json);

// `json.loads(s)` for an exact str through the scanner: the value. A text
// that is no JSON document throws with a bare ValueError carrying loads'
// message for a BOM, trailing data or no value at all (loads raises a
// JSONDecodeError there; the stream reader treats both alike), or with
// what the scanner itself raised. On 3.14, an empty Ref for a document
// nested so deep that only the loads call itself can tell whether it hits
// the recursion limit: the caller then calls loads.
Ref scan_json(PyObject *scanner, PyObject *s);

// `json.dumps(obj, ensure_ascii=False)` written directly when `json` is the
// standard module and obj is made of exact dicts (str keys), lists, tuples,
// str, int, float, bool and None nested not too deep; an empty Ref when the
// fast path does not apply (the caller then calls json.dumps).
Ref dumps_text(Borrowed json, Borrowed obj);

}  // namespace rapi
