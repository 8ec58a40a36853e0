// The bodies of the module's callables, one per subsystem file (each file
// names its tests). Each takes its bound parameters in order and returns a
// new reference, or throws PyError with the exception set.
#pragma once

#include "values.hpp"

namespace rapi {

// request/
PyObject *normalize_content(PyObject *const *args);  // (content, text_type)
PyObject *convert_messages(PyObject *const *args);   // (api_messages)
PyObject *convert_tools(PyObject *const *args);      // (tools)
PyObject *build_payload(PyObject *const *args);      // (api_messages, llm_config, ...)

// response/
PyObject *normalize_response(PyObject *const *args);  // (resp)
// Appends to `texts` the non-empty str "text" of every dict in the list
// `item.get(key)` (nothing when it is not a list), in order; with
// `only_type`, only of the dicts whose "type" equals it.
void collect_texts(Borrowed item, PyObject *key, Borrowed texts, PyObject *only_type = nullptr);

// streaming/ (stream_raw itself is in surface/generator.hpp)
PyObject *redirect_request(PyObject *const *args);  // (self, req, fp, code, msg, headers, newurl)

}  // namespace rapi
