// The bodies of the module's callables, one per subsystem file. Each takes
// its bound parameters in order and returns a new reference, or throws
// PyError with the exception set.
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
// Appends to `texts` the non-empty str "text" of every dict in a reasoning
// item's "summary" list, in order (nothing when it is not a list).
void collect_summary_texts(PyObject *item, PyObject *texts);

// streaming/
PyObject *stream_raw(PyObject *const *args);        // (url, headers, payload, debug_logger)
PyObject *redirect_request(PyObject *const *args);  // (self, req, fp, code, msg, headers, newurl)
int init_stream_type();
// The handler class, kept for the zero-argument super() of redirect_request.
void set_handler_class(PyObject *cls);

}  // namespace rapi
