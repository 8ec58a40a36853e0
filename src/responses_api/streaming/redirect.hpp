// The body of _PostRedirectHandlerLocal.redirect_request (see
// callables.hpp): a new reference or throws PyError.
#pragma once

#include "values.hpp"

namespace rapi {

PyObject *redirect_request(PyObject *const *args);

}  // namespace rapi
