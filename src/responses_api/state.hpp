// The module state: what the module keeps between calls, built at import
// (`build_state`) and cleared in one place (`clear_state`). Two parts of it
// live in the rooms that use them alone, each built and cleared there: the
// objects made for each callable beside the table of callables
// (callables.hpp), and the standard json module's objects in json/. A
// failed import clears all three (module.cpp). Import behaviour is pinned
// down in tests/test_surface.py.
//
// The module can be loaded into one interpreter per process (a second one
// is refused at import), so the state is one object of the process rather
// than per module object: every function reaches it without a lookup.
#pragma once

#include <atomic>
#include <cstdint>

#include "errors.hpp"

namespace rapi {

// Every key and literal the module reads or writes, interned once at import.
// clang-format off
#define RAPI_STRINGS(X)                                                        \
    X(role, "role") X(content, "content") X(tool_calls, "tool_calls")         \
    X(tool_call_id, "tool_call_id") X(system, "system")                       \
    X(developer, "developer") X(user, "user") X(assistant, "assistant")       \
    X(tool, "tool") X(type, "type") X(text, "text") X(image_url, "image_url") \
    X(input_image, "input_image") X(output_image, "output_image")             \
    X(image, "image") X(url, "url") X(output_text, "output_text")             \
    X(input_text, "input_text") X(function, "function")                       \
    X(function_call, "function_call")                                         \
    X(function_call_output, "function_call_output") X(call_id, "call_id")     \
    X(name, "name") X(arguments, "arguments") X(output, "output") X(id, "id") \
    X(description, "description") X(parameters, "parameters")                 \
    X(strict, "strict") X(object, "object") X(properties, "properties")       \
    X(model, "model") X(input, "input")                                       \
    X(max_output_tokens, "max_output_tokens")                                 \
    X(instructions, "instructions") X(temperature, "temperature")             \
    X(stream, "stream") X(tools, "tools") X(tool_choice, "tool_choice")       \
    X(max_tokens, "max_tokens") X(gpt_4o, "gpt-4o") X(choices, "choices")     \
    X(usage, "usage") X(message, "message") X(input_tokens, "input_tokens")   \
    X(prompt_tokens, "prompt_tokens") X(output_tokens, "output_tokens")       \
    X(completion_tokens, "completion_tokens")                                 \
    X(total_tokens, "total_tokens") X(chat_completion, "chat.completion")     \
    X(index, "index") X(finish_reason, "finish_reason") X(stop, "stop")       \
    X(delta, "delta") X(item, "item") X(item_id, "item_id")                   \
    X(response, "response") X(error, "error")                                 \
    X(incomplete_details, "incomplete_details") X(code, "code")               \
    X(_finish_reason, "_finish_reason") X(_usage, "_usage")                   \
    X(_error, "_error") X(reasoning_content, "reasoning_content")             \
    X(body, "body") X(payload, "payload") X(size, "size")                     \
    X(timestamp, "timestamp") X(raw_sse_count, "raw_sse_count")               \
    X(raw_sse_tail, "raw_sse_tail") X(get, "get") X(loads, "loads")           \
    X(dumps, "dumps") X(JSONDecodeError, "JSONDecodeError")                   \
    X(request, "request") X(Request, "Request") X(read, "read")               \
    X(read1, "read1") X(open, "open") X(timeout, "timeout")                   \
    X(headers, "headers") X(method, "method") X(POST, "POST") X(PUT, "PUT")   \
    X(data, "data") X(origin_req_host, "origin_req_host")                     \
    X(unverifiable, "unverifiable") X(get_method, "get_method")               \
    X(full_url, "full_url") X(unredirected_hdrs, "unredirected_hdrs")         \
    X(redirect_request, "redirect_request") X(dunder_enter, "__enter__")      \
    X(dunder_exit, "__exit__") X(utf_8, "utf-8")                              \
    X(ensure_ascii, "ensure_ascii")                                           \
    X(separators, "separators") X(print, "print") X(time, "time")             \
    X(dunder_import, "__import__") X(json, "json") X(urllib, "urllib")        \
    X(empty, "") X(comma, ",") X(colon, ":") X(pair_sep, "\n\n")              \
    X(urllib_request, "urllib.request") X(urllib_error, "urllib.error")       \
    X(HTTPRedirectHandler, "HTTPRedirectHandler")                             \
    X(build_opener, "build_opener") X(dunder_module, "__module__")            \
    X(dunder_qualname, "__qualname__") X(dunder_doc, "__doc__")               \
    X(module_name, "routes.responses_api") X(scheme_http, "http")             \
    X(scheme_https, "https") X(done_marker, "[DONE]")                         \
    X(handler_class_name, "_PostRedirectHandlerLocal")                        \
    X(opener_name, "_urllib_opener_local") X(test_name, "__test__")           \
    X(evt_text_delta, "response.output_text.delta")                           \
    X(evt_reasoning_delta, "response.reasoning_text.delta")                   \
    X(evt_item_added, "response.output_item.added")                           \
    X(evt_args_delta, "response.function_call_arguments.delta")               \
    X(evt_args_done, "response.function_call_arguments.done")                 \
    X(evt_item_done, "response.output_item.done")                             \
    X(evt_completed, "response.completed") X(evt_failed, "response.failed")   \
    X(evt_incomplete, "response.incomplete")                                  \
    X(evt_summary_delta, "response.reasoning_summary_text.delta")             \
    X(detail, "detail") X(auto_detail, "auto") X(reasoning, "reasoning")      \
    X(summary, "summary") X(output_index, "output_index")                     \
    X(summary_index, "summary_index")                                         \
    X(cut_off, "Responses API stream ended before a terminal event")          \
    X(super_name, "super") X(encode, "encode") X(strip, "strip")              \
    X(lower, "lower") X(parse, "parse") X(urlsplit, "urlsplit")               \
    X(scheme, "scheme") X(port, "port") X(hostname, "hostname")               \
    X(inspect, "inspect") X(Parameter, "Parameter")                           \
    X(POSITIONAL_OR_KEYWORD, "POSITIONAL_OR_KEYWORD")                         \
    X(default_, "default") X(Signature, "Signature")                          \
    X(collections_abc, "collections.abc") X(Generator, "Generator")           \
    X(register_, "register") X(_default_decoder, "_default_decoder")          \
    X(scan_once, "scan_once") X(decode, "decode") X(raw_decode, "raw_decode") \
    X(JSONEncoder, "JSONEncoder") X(dunder_init, "__init__")                  \
    X(iterencode, "iterencode") X(c_make_encoder, "c_make_encoder")           \
    X(encode_basestring, "encode_basestring") X(encoder, "encoder")           \
    X(reasoning_effort, "reasoning_effort")                                   \
    X(reasoning_summary, "reasoning_summary") X(effort, "effort")             \
    X(none_effort, "none") X(status, "status") X(incomplete, "incomplete")    \
    X(failed, "failed") X(length, "length") X(reason, "reason")               \
    X(content_filter, "content_filter") X(reasoning_text, "reasoning_text")   \
    X(input_tokens_details, "input_tokens_details")                           \
    X(prompt_tokens_details, "prompt_tokens_details")                         \
    X(output_tokens_details, "output_tokens_details")                         \
    X(completion_tokens_details, "completion_tokens_details")                 \
    X(evt_reasoning_legacy_delta, "response.reasoning.delta")                 \
    X(store, "store") X(include, "include") X(phase, "phase")                 \
    X(include_encrypted, "reasoning.encrypted_content")                       \
    X(encrypted_content, "encrypted_content")                                 \
    X(reasoning_details, "reasoning_details")                                 \
    X(reasoning_encrypted, "reasoning.encrypted") X(format, "format")         \
    X(responses_format, "openai-responses-v1")                                \
    X(_reasoning_details, "_reasoning_details") X(_phase, "_phase")
// clang-format on

struct Strings {
#define RAPI_DECLARE(field, text) PyObject *field;
    RAPI_STRINGS(RAPI_DECLARE)
#undef RAPI_DECLARE
};

// Small constants shared by the translations: each a field of `Constants`
// and the expression that makes it, after the strings.
// clang-format off
#define RAPI_CONSTANTS(X)                                                                            \
    X(zero, PyLong_FromLong(0))                                                                      \
    X(temperature, PyFloat_FromDouble(0.7))     /* build_payload's default */                        \
    X(max_tokens, PyLong_FromLong(50000))       /* build_payload's default */                        \
    X(timeout, PyLong_FromLong(300))            /* the streaming request's time-out in seconds */    \
    X(read_size, PyLong_FromLong(4096))         /* bytes asked of each read */                       \
    X(code_307, PyLong_FromLong(307))                                                                \
    X(code_308, PyLong_FromLong(308))                                                                \
    X(compact_separators, PyTuple_Pack(2, S.comma, S.colon))                                         \
    X(kw_ensure_ascii, PyTuple_Pack(1, S.ensure_ascii))                                              \
    X(kw_dumps_compact, PyTuple_Pack(2, S.ensure_ascii, S.separators))                               \
    X(kw_request, PyTuple_Pack(2, S.headers, S.method))                                              \
    X(kw_redirect, PyTuple_Pack(5, S.data, S.headers, S.method, S.origin_req_host, S.unverifiable))  \
    X(kw_timeout, PyTuple_Pack(1, S.timeout))                                                        \
    X(kw_default, PyTuple_Pack(1, S.default_))
// clang-format on

struct Constants {
#define RAPI_DECLARE(field, make) PyObject *field;
    RAPI_CONSTANTS(RAPI_DECLARE)
#undef RAPI_DECLARE
};

struct ModuleState {
    Strings strings;
    Constants constants;
    PyObject *module;  // the one module object (borrowed: sys.modules owns it)
    // The interpreter that imported it; -1 before the first import. Atomic:
    // interpreters with their own GIL may import the module at the same time.
    std::atomic<std::int64_t> interpreter{-1};
    PyObject *module_dict;    // the module's globals, where functions look names up
    PyObject *builtins;       // the builtins of the import, as a module body's `__builtins__` are
    PyObject *handler_class;  // _PostRedirectHandlerLocal, the class cell of its method
};

// Zero-initialised: every pointer null until `build_state`.
inline ModuleState state{};
inline Strings &S = state.strings;
inline Constants &C = state.constants;

// Builds the strings and constants (everything that does not depend on
// other modules); throws PyError on failure (clear_state then drops what
// was made).
void build_state();
// Drops every reference the state holds and forgets the module, so that a
// failed import can be tried again from scratch.
void clear_state();

}  // namespace rapi
