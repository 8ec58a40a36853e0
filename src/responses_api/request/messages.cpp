// convert_messages(api_messages): Chat Completions messages into the
// request's `instructions` text and its list of input items. Pinned down by
// the twin's `convert_messages` and tests/test_messages.py.
#include "callables.hpp"
#include "json/json.hpp"
#include "request/request.hpp"
#include "shapes.hpp"

namespace rapi {

namespace {

// `content.strip()` is non-empty. Exact strings are scanned in place; a str
// subclass gets its own `strip` called, which it may override.
bool has_text_after_strip(Borrowed content) {
    PyObject *s = content.get();
    if (PyUnicode_CheckExact(s)) {
        const int kind = PyUnicode_KIND(s);
        const void *data = PyUnicode_DATA(s);
        const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        for (Py_ssize_t i = 0; i < n; ++i)
            if (!Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, i))) return true;
        return false;
    }
    return truthy(call_method(content, S.strip));
}

void collect_instructions(Borrowed content, Borrowed instructions_parts) {
    if (is_str(content)) {
        if (has_text_after_strip(content)) append(instructions_parts, content);
    } else if (is_list(content)) {
        for_each(content, [&](Borrowed part) {
            if (!is_dict(part)) return;
            if (Ref text = part_text(part)) append(instructions_parts, text);
        });
    }
}

Ref normalize_with_global(Borrowed content, Borrowed text_type) {
    PyObject *args[] = {content.get(), text_type.get()};
    return call_own(Entry::NormalizeContent, normalize_content, args, 2);
}

Ref function_call_item(Borrowed tc) {
    Ref fn = is_dict(tc) ? get_with_new_dict_default(tc, S.function) : new_dict();
    Ref call_id = text_of(tc, S.id);
    Ref name = text_of(fn, S.name);
    Ref arguments = text_of(fn, S.arguments);
    return make_dict(S.type, S.function_call, S.call_id, call_id, S.name, name, S.arguments, arguments);
}

// The reasoning input item of one `reasoning_details` entry: encrypted
// reasoning of this endpoint's format, with its id when it has one (the
// stateless form without it is accepted with encrypted content). An empty
// Ref for any other entry.
Ref reasoning_item(Borrowed detail) {
    if (!equals(get1(detail, S.type), S.reasoning_encrypted)) return Ref();
    Ref data = get1(detail, S.data);
    if (!is_nonempty_str(data)) return Ref();
    Ref format = get1(detail, S.format);
    if (!is_none(format) && !equals(format, S.responses_format)) return Ref();
    Ref id = get1(detail, S.id);
    Ref item = make_dict(S.type, S.reasoning);
    if (is_nonempty_str(id)) set_item(item, S.id, id);
    set_item(item, S.summary, new_list());
    set_item(item, S.encrypted_content, data);
    return item;
}

// The assistant's message item. Strict servers take assistant content only
// as output parts, so a non-empty text becomes one output_text part.
Ref assistant_item(Borrowed content, Borrowed phase) {
    Ref normalized = normalize_with_global(content, S.output_text);
    if (is_nonempty_str(normalized)) {
        Ref parts = new_list(1);
        PyList_SET_ITEM(parts.get(), 0, make_dict(S.type, S.output_text, S.text, normalized).release());
        normalized = std::move(parts);
    }
    Ref item = make_dict(S.type, S.message, S.role, S.assistant, S.content, normalized);
    if (is_nonempty_str(phase)) set_item(item, S.phase, phase);
    return item;
}

Ref tool_output_text(Borrowed content) {
    if (is_str(content)) return content.retain();
    Ref json = global(S.json);
    if (Ref text = dumps_text(json, content)) return text;
    return call_kw(attr(json, S.dumps), 1, C.kw_ensure_ascii, content, Py_False);
}

}  // namespace

PyObject *convert_messages(PyObject *const *args) {
    Borrowed api_messages = args[0];
    Ref instructions_parts = new_list();
    Ref input_items = new_list();
    Py_ssize_t _img_count = 0;

    for_each(api_messages, [&](Borrowed msg) {
        Ref role = get2(msg, S.role, S.empty);
        Ref content = get2(msg, S.content, S.empty);

        if (equals(role, S.system) || equals(role, S.developer)) {
            collect_instructions(content, instructions_parts);
        } else if (equals(role, S.user)) {
            Ref _norm = normalize_with_global(content, S.input_text);
            if (is_list(_norm)) {
                for_each(_norm, [&](Borrowed p) {
                    if (is_dict(p) && equals(get1(p, S.type), S.input_image)) ++_img_count;
                });
            }
            append(input_items, make_dict(S.type, S.message, S.role, S.user, S.content, _norm));
        } else if (equals(role, S.assistant)) {
            Ref tool_calls = get1(msg, S.tool_calls);
            if (!truthy(tool_calls)) tool_calls = new_list();
            Ref reasoning_details = get1(msg, S.reasoning_details);
            Ref phase = get1(msg, S.phase);
            // The model's encrypted reasoning goes back before what it led to.
            if (is_list(reasoning_details)) {
                for_each(reasoning_details, [&](Borrowed detail) {
                    if (!is_dict(detail)) return;
                    if (Ref item = reasoning_item(detail)) append(input_items, item);
                });
            }
            if (truthy(content)) append(input_items, assistant_item(content, phase));
            for_each(tool_calls, [&](Borrowed tc) { append(input_items, function_call_item(tc)); });
        } else if (equals(role, S.tool)) {
            Ref call_id = text_of(msg, S.tool_call_id);
            Ref output = tool_output_text(content);
            append(input_items, make_dict(S.type, S.function_call_output, S.call_id, call_id, S.output, output));
        }
    });

    Ref instructions = list_size(instructions_parts) > 0 ? join_paragraphs(instructions_parts) : Ref::retain(Py_None);

    if (_img_count > 0) {
        Ref line = Ref::steal(PyUnicode_FromFormat(
            "[IMG] responses_api.convert_messages: %zd input_image part(s) in user messages", _img_count));
        call(global(S.print), line);
    }
    return make_tuple(instructions, input_items).release();
}

}  // namespace rapi
