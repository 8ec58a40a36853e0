// normalize_response(resp): a non-streaming Responses reply in the Chat
// Completions reply shape. Pinned down by the twin's `normalize_response`
// and tests/test_response.py.
#include "response/response.hpp"

#include "shapes.hpp"

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

// The finish reason of a reply: one that did not complete must not read as
// a complete answer.
PyObject *finish_reason_of(Borrowed resp, bool has_calls) {
    Ref status = get1(resp, S.status);
    if (equals(status, S.incomplete)) {
        Ref details = get1(resp, S.incomplete_details);
        Ref reason = is_dict(details) ? get1(details, S.reason) : Ref::retain(Py_None);
        return equals(reason, S.content_filter) ? S.content_filter : S.length;
    }
    if (equals(status, S.failed)) return S.error;
    return has_calls ? S.tool_calls : S.stop;
}

}  // namespace

PyObject *normalize_response(PyObject *const *args) {
    Borrowed resp = args[0];
    if (!is_dict(resp) || contains(resp, S.choices)) return resp.retain().release();

    Ref output_items = get_or_new_list(resp, S.output);
    Ref text_parts = new_list();
    Ref tool_calls = new_list();
    Ref reasoning_parts = new_list();
    Ref reasoning_details = new_list();
    Ref phase;  // the last message item's phase, when any named one
    for_each(output_items, [&](Borrowed item) {
        if (!is_dict(item)) return;
        Ref item_type = get2(item, S.type, S.empty);
        if (equals(item_type, S.message)) {
            collect_message_text(item, text_parts);
            if (Ref item_phase = phase_of(item)) phase = std::move(item_phase);
        } else if (equals(item_type, S.function_call)) {
            append(tool_calls, tool_call_of(item));
        } else if (equals(item_type, S.reasoning)) {
            Py_ssize_t before = list_size(reasoning_parts);
            collect_texts(item, S.summary, reasoning_parts);
            // No summary text: the raw reasoning text.
            if (list_size(reasoning_parts) == before) collect_texts(item, S.content, reasoning_parts, S.reasoning_text);
            if (Ref detail = encrypted_detail(item, list_size(reasoning_details))) append(reasoning_details, detail);
        }
    });

    Ref content =
        list_size(text_parts) > 0 ? Ref::steal(PyUnicode_Join(S.empty, text_parts.get())) : Ref::retain(S.empty);
    Ref usage = normalized_usage(object_of(resp, S.usage));

    Ref id = get2(resp, S.id, S.empty);
    Ref model = get2(resp, S.model, S.empty);
    const bool has_calls = list_size(tool_calls) > 0;
    PyObject *finish_reason = finish_reason_of(resp, has_calls);
    Ref message = make_dict(S.role, S.assistant, S.content, content);
    if (list_size(reasoning_parts) > 0) set_item(message, S.reasoning_content, join_paragraphs(reasoning_parts));
    if (list_size(reasoning_details) > 0) set_item(message, S.reasoning_details, reasoning_details);
    if (has_calls) set_item(message, S.tool_calls, tool_calls);
    if (phase) set_item(message, S.phase, phase);
    Ref choice = make_dict(S.index, C.zero, S.message, message, S.finish_reason, finish_reason);
    Ref choices = new_list();
    append(choices, choice);
    return make_dict(S.id, id, S.object, S.chat_completion, S.model, model, S.choices, choices, S.usage, usage)
        .release();
}

}  // namespace rapi
