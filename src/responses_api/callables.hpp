// Every callable of the module, declared once, with the traceback entries a
// failing call adds and the direct call of one of the module's functions by
// another. The module's globals, the binder's parameter tables
// (surface/function.hpp) and the traceback entries are all expanded from
// RAPI_CALLABLES; the tests in tests/test_surface.py pin what each one shows.
#pragma once

#include "refs.hpp"

namespace rapi {

// One row per callable, in the order of the module's namespace:
//   X(id, name, qualified name, traceback line, required parameters,
//     (parameters), (defaults of the optional ones), documentation, body)
// `name` is the module global (for redirect_request, the class attribute);
// the documentation string is the one of that name in surface/docs.hpp and
// the body the function of that name in its subsystem. The traceback lines
// read as if the module were a Python file: line 1 is its initialisation
// and the functions sit in namespace order, spaced as their definitions
// would be. The numbers mean nothing else; tests pin them.
// clang-format off
#define RAPI_CALLABLES(X)                                                                                        \
    X(ConvertMessages, "convert_messages", "convert_messages", 70, 1, ("api_messages"), (),                      \
      convert_messages_doc, convert_messages)                                                                    \
    X(NormalizeContent, "_normalize_content", "_normalize_content", 160, 2, ("content", "text_type"), (),        \
      normalize_content_doc, normalize_content)                                                                  \
    X(ConvertTools, "convert_tools", "convert_tools", 220, 1, ("tools"), (), convert_tools_doc, convert_tools)   \
    X(BuildPayload, "build_payload", "build_payload", 260, 2,                                                    \
      ("api_messages", "llm_config", "tools", "tool_choice", "stream", "max_tokens", "temperature",              \
       "skip_tool_choice"),                                                                                      \
      (None, None, False, None, None, False), build_payload_doc, build_payload)                                  \
    X(NormalizeResponse, "normalize_response", "normalize_response", 310, 1, ("resp"), (),                       \
      normalize_response_doc, normalize_response)                                                                \
    X(StreamRaw, "stream_raw", "stream_raw", 390, 3, ("url", "headers", "payload", "debug_logger"), (None),     \
      stream_raw_doc, stream_raw)                                                                                \
    X(RedirectRequest, "redirect_request", "_PostRedirectHandlerLocal.redirect_request", 560, 7,                 \
      ("self", "req", "fp", "code", "msg", "headers", "newurl"), (), redirect_request_doc, redirect_request)
// clang-format on

// The module's own initialisation, as a traceback entry of its own.
#define RAPI_INIT_ENTRY "init routes.responses_api"
#define RAPI_INIT_LINE 1

// `RAPI_UNPAREN (a, b)` is `a, b`: a parenthesised column spread out.
#define RAPI_UNPAREN(...) __VA_ARGS__

// The traceback entries a failing call adds: the import, then each callable.
// clang-format off
enum class Entry {
    Init,
#define RAPI_ENTRY(id, ...) id,
    RAPI_CALLABLES(RAPI_ENTRY)
#undef RAPI_ENTRY
    Count
};
// clang-format on
constexpr int kEntryCount = static_cast<int>(Entry::Count);

// The body of a callable: receives every parameter, defaults filled in; a
// new reference, or throws PyError with the exception set.
using FunctionBody = PyObject *(*)(PyObject *const *args);

// What the module keeps for each callable, its part of the module state.
struct CallableObjects {
    PyObject *names[kEntryCount];            // each callable's name, interned (none for Init)
    PyObject *functions[kEntryCount];        // the function objects the import made (none for Init)
    PyObject *traceback_codes[kEntryCount];  // made on first use
};

// Zero-initialised: every pointer null until `build_callables`, and again
// after `clear_callables`.
inline CallableObjects callable_objects{};
// The interned name of a callable (a module global, but for redirect_request).
inline PyObject *name_of(Entry entry) { return callable_objects.names[static_cast<int>(entry)]; }

// Interns the callables' names; throws PyError on failure (clear_callables
// then drops what was made).
void build_callables();
// Drops every reference kept for the callables.
void clear_callables();

// Adds the traceback entry of `entry` ("routes.responses_api.<qualname>" in
// "routes/responses_api.py" at the entry's line) to the exception being
// raised. Never replaces that exception.
void add_traceback(Entry entry);

// Runs the body of the callable `entry` (the function object the import
// made for it) with `args`, or calls the module global of its name when that
// has been replaced: `name(*args)` as a Python function body would call it.
// Run directly, the body adds the same traceback entry a call would.
Ref call_own(Entry entry, FunctionBody body, PyObject *const *args, int nargs);

}  // namespace rapi
