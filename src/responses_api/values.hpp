// The value layer: owned references, the one error convention, interned
// strings, and the few ways every translation reads and builds values.
//
// Error convention: a function that finds a Python error set throws
// `PyError`; every entry point (callable, generator step, module exec)
// catches it and reports NULL / -1 to the interpreter. Code in between never
// returns error sentinels and never calls Py_DECREF by hand: `Ref` owns.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <utility>

namespace rapi {

// A Python exception is set; unwind to the entry point.
struct PyError {};

[[noreturn]] inline void raise() { throw PyError{}; }

// ---------------------------------------------------------------- references

// An owned (strong) reference. Null only when moved-from or default-built.
class Ref {
public:
    Ref() noexcept = default;
    // Takes ownership of a new reference; throws if it is null (error set).
    static Ref steal(PyObject *o) {
        if (!o) raise();
        return Ref(o);
    }
    // Takes ownership of a possibly-null new reference without checking.
    static Ref steal_or_null(PyObject *o) noexcept { return Ref(o); }
    // Makes a new reference to a borrowed object.
    static Ref borrow(PyObject *o) noexcept {
        Py_XINCREF(o);
        return Ref(o);
    }
    Ref(const Ref &other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref &&other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref &operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject *get() const noexcept { return p_; }
    PyObject *release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    operator PyObject *() const noexcept { return p_; }

private:
    explicit Ref(PyObject *o) noexcept : p_(o) {}
    PyObject *p_ = nullptr;
};

// Checks a C API status: -1 means an error is set.
inline int check(int status) {
    if (status < 0) raise();
    return status;
}

// ------------------------------------------------------------ interned texts

// Every key and literal the module reads or writes, interned once at import.
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
    X(redirect_request, "redirect_request") X(__enter__, "__enter__")         \
    X(__exit__, "__exit__") X(utf_8, "utf-8") X(ensure_ascii, "ensure_ascii") \
    X(separators, "separators") X(print, "print") X(time, "time")             \
    X(__import__, "__import__") X(json, "json") X(urllib, "urllib")           \
    X(empty, "") X(comma, ",") X(colon, ":") X(pair_sep, "\n\n")              \
    X(urllib_request, "urllib.request") X(urllib_error, "urllib.error")       \
    X(HTTPRedirectHandler, "HTTPRedirectHandler")                             \
    X(build_opener, "build_opener") X(__module__, "__module__")               \
    X(__qualname__, "__qualname__") X(__doc__, "__doc__")                     \
    X(module_name, "routes.responses_api") X(scheme_http, "http")             \
    X(scheme_https, "https") X(done_marker, "[DONE]")                         \
    X(convert_messages_fn, "convert_messages")                                \
    X(normalize_content_fn, "_normalize_content")                             \
    X(convert_tools_fn, "convert_tools") X(build_payload_fn, "build_payload") \
    X(normalize_response_fn, "normalize_response")                            \
    X(stream_raw_fn, "stream_raw")                                            \
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
    X(super_name, "super")

struct Strings {
#define RAPI_DECLARE(field, text) PyObject *field;
    RAPI_STRINGS(RAPI_DECLARE)
#undef RAPI_DECLARE
};
extern Strings S;

// Creates every interned string; -1 with an error set on failure.
int init_strings();

// Small constants shared by the translations.
struct Constants {
    PyObject *zero;          // int 0
    PyObject *temperature;   // float 0.7
    PyObject *max_tokens;    // int 50000
    PyObject *timeout;       // int 300
    PyObject *read_size;     // int 4096
    PyObject *code_307, *code_308;
    PyObject *compact_separators;      // (",", ":")
    PyObject *kw_ensure_ascii;         // ("ensure_ascii",)
    PyObject *kw_dumps_compact;        // ("ensure_ascii", "separators")
    PyObject *kw_request;              // ("headers", "method")
    PyObject *kw_redirect;             // ("data", "headers", "method", "origin_req_host", "unverifiable")
    PyObject *kw_timeout;              // ("timeout",)
};
extern Constants C;
int init_constants();

// --------------------------------------------------------------- the module

// The module's globals (the module object lives for the whole process once
// imported; functions look their collaborators up here at call time).
PyObject *module_dict();
void set_module_dict(PyObject *dict);

// A module global looked up now, as a name in a function body would be:
// the module's globals first, then the builtins. NameError when missing.
Ref global(PyObject *name);
// `urllib.request.<name>`, reached through the module global `urllib` now.
Ref urllib_request(PyObject *name);
// A builtin looked up now (module globals first, as Python name lookup does).
inline Ref builtin(PyObject *name) { return global(name); }

// ------------------------------------------------------------------ reading

// Interpreter truth test, with the common cases inline.
inline bool truthy(PyObject *o) {
    if (o == Py_True) return true;
    if (o == Py_False || o == Py_None) return false;
    if (PyUnicode_CheckExact(o)) return PyUnicode_GET_LENGTH(o) != 0;
    return check(PyObject_IsTrue(o)) != 0;
}

inline bool is_dict(PyObject *o) { return PyDict_Check(o); }
inline bool is_list(PyObject *o) { return PyList_Check(o); }
inline bool is_str(PyObject *o) { return PyUnicode_Check(o); }
// `isinstance(o, str) and o`: a non-empty str (subclasses count).
inline bool is_nonempty_str(PyObject *o) { return is_str(o) && truthy(o); }

// `m.get(key)`: for an exact dict a direct lookup, otherwise a call of the
// object's own `get` (which a subclass may override).
Ref get1(PyObject *m, PyObject *key);
// `m.get(key, dflt)`.
Ref get2(PyObject *m, PyObject *key, PyObject *dflt);
// `m.get(key, "") or ""`: the text of key in m.
Ref text_of(PyObject *m, PyObject *key);
// `m.get(key, {}) or {}`: the object of key in m (a new empty dict when falsy).
Ref object_of(PyObject *m, PyObject *key);
// `m.get(key, []) or []`, the list made only when needed.
Ref get_or_new_list(PyObject *m, PyObject *key);
// `m.get(key, {})`: the default dict is only created when it is needed.
Ref get_with_new_dict_default(PyObject *m, PyObject *key);
// `key in m`.
bool contains(PyObject *m, PyObject *key);

// `value == literal` with the value on the left, truth-tested. Exact strings
// compare directly; anything else goes through its own rich comparison.
bool equals(PyObject *value, PyObject *literal);
// `a != b`, truth-tested (no identity shortcut, as the operator has none).
bool differs(PyObject *a, PyObject *b);

// Visits the items of any iterable in order, as a `for` loop does. Exact
// lists and tuples are walked by index (re-reading the length each step, as
// their iterators do); everything else through the iterator protocol.
template <class F>
void for_each(PyObject *iterable, F &&visit) {
    if (PyList_CheckExact(iterable)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(iterable); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(iterable, i));
            visit(item.get());
        }
        return;
    }
    if (PyTuple_CheckExact(iterable)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(iterable); ++i)
            visit(PyTuple_GET_ITEM(iterable, i));
        return;
    }
    Ref it = Ref::steal(PyObject_GetIter(iterable));
    while (PyObject *raw = PyIter_Next(it)) {
        Ref item = Ref::steal_or_null(raw);
        visit(item.get());
    }
    if (PyErr_Occurred()) raise();
}

// ----------------------------------------------------------------- building

inline Ref new_dict() { return Ref::steal(PyDict_New()); }
inline Ref new_list(Py_ssize_t n = 0) { return Ref::steal(PyList_New(n)); }
inline void set_item(PyObject *d, PyObject *key, PyObject *value) {
    check(PyDict_SetItem(d, key, value));
}
inline void append(PyObject *list, PyObject *value) { check(PyList_Append(list, value)); }

// A new dict with the given keys in this insertion order.
template <class... KV>
Ref make_dict(KV... kv) {
    static_assert(sizeof...(KV) % 2 == 0, "keys and values come in pairs");
    Ref d = new_dict();
    PyObject *items[] = {kv...};
    for (size_t i = 0; i < sizeof...(KV); i += 2) set_item(d, items[i], items[i + 1]);
    return d;
}

// {"prompt_tokens": in, "completion_tokens": out, "total_tokens": total}
Ref usage_dict(PyObject *in_tok, PyObject *out_tok, PyObject *tot_tok);

// The usage dict read from a Responses or Chat Completions usage mapping,
// each name read with get(key, 0) and `or` chains, the total summed when
// absent or falsy.
Ref normalized_usage(PyObject *usage_in);

// Calls `obj.name(args...)` positionally.
template <class... A>
Ref call_method(PyObject *obj, PyObject *name, A... args) {
    PyObject *stack[] = {obj, args...};
    return Ref::steal(PyObject_VectorcallMethod(
        name, stack, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Calls `callable(args...)` positionally.
template <class... A>
Ref call(PyObject *callable, A... args) {
    if constexpr (sizeof...(A) == 0) {
        return Ref::steal(PyObject_CallNoArgs(callable));
    } else {
        PyObject *stack[] = {nullptr, args...};
        return Ref::steal(PyObject_Vectorcall(
            callable, stack + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }
}

}  // namespace rapi
