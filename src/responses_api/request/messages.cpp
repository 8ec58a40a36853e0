// convert_messages(api_messages): Chat Completions messages into the
// request's `instructions` text and its list of input items.
#include "api.hpp"
#include "json_std.hpp"
#include "surface/function.hpp"

namespace rapi {

namespace {

// `content.strip()` is non-empty. Exact strings are scanned in place; a str
// subclass gets its own `strip` called, which it may override.
bool has_text_after_strip(PyObject *content) {
    if (PyUnicode_CheckExact(content)) {
        const int kind = PyUnicode_KIND(content);
        const void *data = PyUnicode_DATA(content);
        const Py_ssize_t n = PyUnicode_GET_LENGTH(content);
        for (Py_ssize_t i = 0; i < n; ++i)
            if (!Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, i))) return true;
        return false;
    }
    Ref stripped = Ref::steal(PyObject_CallMethod(content, "strip", nullptr));
    return truthy(stripped);
}

void collect_instructions(PyObject *content, PyObject *instructions_parts) {
    if (is_str(content)) {
        if (has_text_after_strip(content)) append(instructions_parts, content);
    } else if (is_list(content)) {
        for_each(content, [&](PyObject *part) {
            if (!is_dict(part)) return;
            Ref text = get1(part, S.text);
            if (!truthy(text)) {
                text = get1(part, S.output_text);
                if (!truthy(text)) return;
            }
            append(instructions_parts, text);
        });
    }
}

Ref normalize_with_global(PyObject *content, PyObject *text_type) {
    Ref normalize = global(S.normalize_content_fn);
    PyObject *args[] = {content, text_type};
    return call_function(normalize, normalize_content, args, 2);
}

Ref function_call_item(PyObject *tc) {
    Ref fn = is_dict(tc) ? get_with_new_dict_default(tc, S.function) : new_dict();
    Ref call_id = text_of(tc, S.id);
    Ref name = text_of(fn, S.name);
    Ref arguments = text_of(fn, S.arguments);
    return make_dict(S.type, S.function_call, S.call_id, call_id.get(), S.name, name.get(),
                     S.arguments, arguments.get());
}

Ref tool_output_text(PyObject *content) {
    if (is_str(content)) return Ref::borrow(content);
    Ref json = global(S.json);
    if (Ref text = dumps_text(json, content)) return text;
    Ref dumps = Ref::steal(PyObject_GetAttr(json, S.dumps));
    PyObject *stack[] = {content, Py_False};
    return Ref::steal(PyObject_Vectorcall(dumps, stack, 1, C.kw_ensure_ascii));
}

}  // namespace

PyObject *convert_messages(PyObject *const *args) {
    PyObject *api_messages = args[0];
    Ref instructions_parts = new_list();
    Ref input_items = new_list();
    Py_ssize_t _img_count = 0;

    for_each(api_messages, [&](PyObject *msg) {
        Ref role = get2(msg, S.role, S.empty);
        Ref content = get2(msg, S.content, S.empty);

        if (equals(role, S.system) || equals(role, S.developer)) {
            collect_instructions(content, instructions_parts);
        } else if (equals(role, S.user)) {
            Ref _norm = normalize_with_global(content, S.input_text);
            if (is_list(_norm)) {
                for_each(_norm, [&](PyObject *p) {
                    if (is_dict(p) && equals(get1(p, S.type), S.input_image)) ++_img_count;
                });
            }
            append(input_items, make_dict(S.role, S.user, S.content, _norm.get()));
        } else if (equals(role, S.assistant)) {
            Ref tool_calls = get1(msg, S.tool_calls);
            if (!truthy(tool_calls)) tool_calls = new_list();
            if (truthy(content)) {
                Ref normalized = normalize_with_global(content, S.output_text);
                append(input_items, make_dict(S.role, S.assistant, S.content, normalized.get()));
            }
            for_each(tool_calls, [&](PyObject *tc) { append(input_items, function_call_item(tc)); });
        } else if (equals(role, S.tool)) {
            Ref call_id = text_of(msg, S.tool_call_id);
            Ref output = tool_output_text(content);
            append(input_items, make_dict(S.type, S.function_call_output, S.call_id, call_id.get(),
                                          S.output, output.get()));
        }
    });

    Ref instructions = PyList_GET_SIZE(instructions_parts.get()) > 0
                           ? Ref::steal(PyUnicode_Join(S.pair_sep, instructions_parts))
                           : Ref::borrow(Py_None);

    if (_img_count > 0) {
        Ref print = builtin(S.print);
        Ref line = Ref::steal(PyUnicode_FromFormat(
            "[IMG] responses_api.convert_messages: %zd input_image part(s) in user messages", _img_count));
        call(print, line.get());
    }
    return Ref::steal(PyTuple_Pack(2, instructions.get(), input_items.get())).release();
}

}  // namespace rapi
