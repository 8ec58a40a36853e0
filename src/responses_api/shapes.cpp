// The shapes replies, streams and requests share (see shapes.hpp); pinned
// down through tests/test_response.py, tests/streaming/ and
// tests/test_differential.py.
#include "shapes.hpp"

namespace rapi {

Ref usage_dict(Borrowed in_tok, Borrowed out_tok, Borrowed tot_tok) {
    return make_dict(S.prompt_tokens, in_tok, S.completion_tokens, out_tok, S.total_tokens, tot_tok);
}

Ref normalized_usage(Borrowed usage_in) {
    auto first_truthy = [&](PyObject *primary, PyObject *secondary) -> Ref {
        Ref v = get2(usage_in, primary, C.zero);
        if (truthy(v)) return v;
        v = get2(usage_in, secondary, C.zero);
        if (truthy(v)) return v;
        return Ref::retain(C.zero);
    };
    Ref in_tok = first_truthy(S.input_tokens, S.prompt_tokens);
    Ref out_tok = first_truthy(S.output_tokens, S.completion_tokens);
    Ref tot_tok = get2(usage_in, S.total_tokens, C.zero);
    if (!truthy(tot_tok)) tot_tok = Ref::steal(PyNumber_Add(in_tok.get(), out_tok.get()));
    Ref usage = usage_dict(in_tok, out_tok, tot_tok);
    // Cached and reasoning token counts, under the Chat Completions names,
    // each a new dict made as dict() makes it.
    auto details = [&](PyObject *primary, PyObject *secondary, PyObject *out_key) {
        Ref d = get1(usage_in, primary);
        if (!truthy(d)) d = get1(usage_in, secondary);
        if (is_dict(d) && truthy(d)) set_item(usage, out_key, call(reinterpret_cast<PyObject *>(&PyDict_Type), d));
    };
    details(S.input_tokens_details, S.prompt_tokens_details, S.prompt_tokens_details);
    details(S.output_tokens_details, S.completion_tokens_details, S.completion_tokens_details);
    return usage;
}

Ref part_text(Borrowed part) {
    Ref text = get1(part, S.text);
    if (truthy(text)) return text;
    text = get1(part, S.output_text);
    return truthy(text) ? text : Ref();
}

void collect_texts(Borrowed item, PyObject *key, Borrowed texts, PyObject *only_type) {
    Ref parts = get1(item, key);
    if (!is_list(parts)) return;
    for_each(parts, [&](Borrowed part) {
        if (!is_dict(part)) return;
        if (only_type && !equals(get1(part, S.type), only_type)) return;
        Ref text = get1(part, S.text);
        if (is_nonempty_str(text)) append(texts, text);
    });
}

Ref encrypted_detail(Borrowed item, Py_ssize_t index) {
    Ref data = get1(item, S.encrypted_content);
    if (!is_nonempty_str(data)) return Ref();
    Ref id = get1(item, S.id);
    return make_dict(S.type, S.reasoning_encrypted, S.data, data, S.id, id, S.format, S.responses_format, S.index,
                     new_int(index));
}

Ref phase_of(Borrowed item) {
    Ref phase = get1(item, S.phase);
    return is_nonempty_str(phase) ? phase : Ref();
}

}  // namespace rapi
