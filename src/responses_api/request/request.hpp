// The bodies of the request translations (see callables.hpp for their
// parameters): each returns a new reference or throws PyError.
#pragma once

#include "values.hpp"

namespace rapi {

PyObject *normalize_content(PyObject *const *args);  // content.cpp
PyObject *convert_messages(PyObject *const *args);   // messages.cpp
PyObject *convert_tools(PyObject *const *args);      // tools.cpp
PyObject *build_payload(PyObject *const *args);      // payload.cpp

}  // namespace rapi
