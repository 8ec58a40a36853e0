// normalize_response(resp): a non-streaming Responses reply in the Chat
// Completions reply shape.
#include "api.hpp"

namespace rapi {

namespace {

void collect_message_text(PyObject *item, PyObject *text_parts) {
    Ref content_arr = get_or_new_list(item, S.content);
    for_each(content_arr, [&](PyObject *part) {
        if (!is_dict(part)) return;
        Ref text = get1(part, S.text);
        if (!truthy(text)) {
            text = get1(part, S.output_text);
            if (!truthy(text)) return;
        }
        append(text_parts, text);
    });
}

Ref tool_call_of(PyObject *item) {
    Ref id = get1(item, S.call_id);
    if (!truthy(id)) id = text_of(item, S.id);
    Ref name = text_of(item, S.name);
    Ref arguments = text_of(item, S.arguments);
    Ref function = make_dict(S.name, name.get(), S.arguments, arguments.get());
    return make_dict(S.id, id.get(), S.type, S.function, S.function, function.get());
}

}  // namespace

void collect_summary_texts(PyObject *item, PyObject *texts) {
    Ref summary = get1(item, S.summary);
    if (!is_list(summary)) return;
    for_each(summary, [&](PyObject *part) {
        if (!is_dict(part)) return;
        Ref text = get1(part, S.text);
        if (is_nonempty_str(text)) append(texts, text);
    });
}

PyObject *normalize_response(PyObject *const *args) {
    PyObject *resp = args[0];
    if (!is_dict(resp) || contains(resp, S.choices)) return Py_NewRef(resp);

    Ref output_items = get_or_new_list(resp, S.output);
    Ref text_parts = new_list();
    Ref tool_calls = new_list();
    Ref reasoning_parts = new_list();
    for_each(output_items, [&](PyObject *item) {
        if (!is_dict(item)) return;
        Ref item_type = get2(item, S.type, S.empty);
        if (equals(item_type, S.message)) {
            collect_message_text(item, text_parts);
        } else if (equals(item_type, S.function_call)) {
            append(tool_calls, tool_call_of(item));
        } else if (equals(item_type, S.reasoning)) {
            collect_summary_texts(item, reasoning_parts);
        }
    });

    Ref content = PyList_GET_SIZE(text_parts.get()) > 0 ? Ref::steal(PyUnicode_Join(S.empty, text_parts))
                                                        : Ref::borrow(S.empty);
    Ref usage_in = object_of(resp, S.usage);
    Ref usage = normalized_usage(usage_in);

    Ref id = get2(resp, S.id, S.empty);
    Ref model = get2(resp, S.model, S.empty);
    const bool has_calls = PyList_GET_SIZE(tool_calls.get()) > 0;
    Ref message = make_dict(S.role, S.assistant, S.content, content.get());
    if (PyList_GET_SIZE(reasoning_parts.get()) > 0)
        set_item(message, S.reasoning_content, Ref::steal(PyUnicode_Join(S.pair_sep, reasoning_parts)));
    if (has_calls) set_item(message, S.tool_calls, tool_calls);
    Ref choice = make_dict(S.index, C.zero, S.message, message.get(), S.finish_reason,
                           has_calls ? S.tool_calls : S.stop);
    Ref choices = new_list();
    append(choices, choice);
    return make_dict(S.id, id.get(), S.object, S.chat_completion, S.model, model.get(), S.choices,
                     choices.get(), S.usage, usage.get())
        .release();
}

}  // namespace rapi
