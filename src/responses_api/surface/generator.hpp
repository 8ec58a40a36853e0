// The generator type of `stream_raw`: the iterator protocol plus `send`,
// `throw` and `close`, a running flag, GC support, and a finaliser that
// closes a suspended stream. Its body is a StreamReader
// (streaming/reader.hpp). Compared with a real Python generator in
// tests/test_generator_protocol.py and tests/streaming/test_lifecycle.py.
#pragma once

#include "values.hpp"

namespace rapi {

// Readies the generator type once; throws PyError on failure.
void init_generator_type();

// stream_raw(url, headers, payload, debug_logger): a new generator whose
// body has not started.
PyObject *stream_raw(PyObject *const *args);

}  // namespace rapi
