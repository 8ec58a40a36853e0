// The shapes that replies, streams and requests share: the usage dict, the
// texts of content parts, and the model's own state carried across turns
// (encrypted reasoning, the phase of a message). Pinned down by
// tests/test_response.py, tests/streaming/ and tests/test_messages.py.
#pragma once

#include "values.hpp"

namespace rapi {

// "\n\n".join(parts)
inline Ref join_paragraphs(Borrowed parts) { return Ref::steal(PyUnicode_Join(S.pair_sep, parts.get())); }

// {"prompt_tokens": in, "completion_tokens": out, "total_tokens": total}
Ref usage_dict(Borrowed in_tok, Borrowed out_tok, Borrowed tot_tok);

// The usage dict read from a Responses or Chat Completions usage mapping,
// each name read with get(key, 0) and `or` chains, the total summed when
// absent or falsy.
Ref normalized_usage(Borrowed usage_in);

// `part.get("text") or part.get("output_text")`: the text of a content part;
// an empty Ref when neither is truthy.
Ref part_text(Borrowed part);

// Appends to `texts` the non-empty str "text" of every dict in the list
// `item.get(key)` (nothing when it is not a list), in order; with
// `only_type`, only of the dicts whose "type" equals it.
void collect_texts(Borrowed item, PyObject *key, Borrowed texts, PyObject *only_type = nullptr);

// The `reasoning_details` entry of a reasoning item's encrypted content:
// {"type": "reasoning.encrypted", "data": <item's encrypted_content>,
//  "id": <item.get("id")>, "format": "openai-responses-v1", "index": index},
// or an empty Ref when `item.get("encrypted_content")` is not a non-empty str.
Ref encrypted_detail(Borrowed item, Py_ssize_t index);

// `item.get("phase")` when it is a non-empty str; else an empty Ref.
Ref phase_of(Borrowed item);

}  // namespace rapi
