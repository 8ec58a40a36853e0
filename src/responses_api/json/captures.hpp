// What the json room keeps: its part of the module state, and the lookups
// its identity checks make. Only the files of json/ see it.
#pragma once

#include "values.hpp"

namespace rapi {

// The standard json module as imported with this module, and the objects
// its loads and dumps go through, remembered so that the fast paths can
// prove by identity, at each call, that nothing was replaced:
//   loads: json.loads -> _default_decoder.decode -> raw_decode -> scan_once
//   dumps: json.dumps -> JSONEncoder(...).encode -> iterencode -> the
//          encoder module's c_make_encoder and encode_basestring
// clang-format off
#define RAPI_JSON_CAPTURES(X)                                                      \
    X(module) X(loads) X(decoder) X(decode) X(raw_decode) X(scanner) X(dumps)     \
    X(encoder_class) X(encoder_init) X(encode) X(iterencode) X(encoder_module_dict) \
    X(make_encoder) X(encode_basestring)
// clang-format on

struct StandardJson {
#define RAPI_DECLARE(field) PyObject *field;
    RAPI_JSON_CAPTURES(RAPI_DECLARE)
#undef RAPI_DECLARE
    bool loads_ok, dumps_ok;
};

// Zero-initialised: every pointer null until `capture_standard_json`, and
// again after `forget_standard_json`.
inline StandardJson standard_json{};

namespace json_detail {
// A module-dict entry, borrowed; null when missing.
PyObject *entry(PyObject *dict, PyObject *name);
// The attribute `name` of a class as special-method lookup finds it, for
// identity checks against the state's captures only (the class keeps it
// alive); null when it is not a class or has none.
PyObject *type_attr(PyObject *type, PyObject *name);
}  // namespace json_detail

}  // namespace rapi
