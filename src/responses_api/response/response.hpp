// The body of normalize_response (see callables.hpp): a new reference or
// throws PyError.
#pragma once

#include "values.hpp"

namespace rapi {

PyObject *normalize_response(PyObject *const *args);

}  // namespace rapi
