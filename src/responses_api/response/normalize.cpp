// normalize_response(resp): a non-streaming Responses reply in the Chat
// Completions reply shape. Pinned down by the twin's `normalize_response`
// and tests/test_response.py.
#include "api.hpp"

namespace rapi {

namespace {

void collect_message_text(Borrowed item, Borrowed text_parts) {
    for_each(get_or_new_list(item, S.content), [&](Borrowed part) {
        if (!is_dict(part)) return;
        if (Ref text = part_text(part)) append(text_parts, text);
    });
}

Ref tool_call_of(Borrowed item) {
    Ref id = get1(item, S.call_id);
    if (!truthy(id)) id = text_of(item, S.id);
    Ref name = text_of(item, S.name);
    Ref arguments = text_of(item, S.arguments);
    return make_dict(S.id, id, S.type, S.function, S.function, make_dict(S.name, name, S.arguments, arguments));
}

}  // namespace

void collect_summary_texts(Borrowed item, Borrowed texts) {
    Ref summary = get1(item, S.summary);
    if (!is_list(summary)) return;
    for_each(summary, [&](Borrowed part) {
        if (!is_dict(part)) return;
        Ref text = get1(part, S.text);
        if (is_nonempty_str(text)) append(texts, text);
    });
}

PyObject *normalize_response(PyObject *const *args) {
    Borrowed resp = args[0];
    if (!is_dict(resp) || contains(resp, S.choices)) return resp.retain().release();

    Ref output_items = get_or_new_list(resp, S.output);
    Ref text_parts = new_list();
    Ref tool_calls = new_list();
    Ref reasoning_parts = new_list();
    for_each(output_items, [&](Borrowed item) {
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

    Ref content = list_size(text_parts) > 0 ? Ref::steal(PyUnicode_Join(S.empty, text_parts.get()))
                                            : Ref::retain(S.empty);
    Ref usage = normalized_usage(object_of(resp, S.usage));

    Ref id = get2(resp, S.id, S.empty);
    Ref model = get2(resp, S.model, S.empty);
    const bool has_calls = list_size(tool_calls) > 0;
    Ref message = make_dict(S.role, S.assistant, S.content, content);
    if (list_size(reasoning_parts) > 0) set_item(message, S.reasoning_content, join_paragraphs(reasoning_parts));
    if (has_calls) set_item(message, S.tool_calls, tool_calls);
    Ref choice = make_dict(S.index, C.zero, S.message, message, S.finish_reason, has_calls ? S.tool_calls : S.stop);
    Ref choices = new_list();
    append(choices, choice);
    return make_dict(S.id, id, S.object, S.chat_completion, S.model, model, S.choices, choices, S.usage, usage)
        .release();
}

}  // namespace rapi
