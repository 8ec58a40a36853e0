// Stream event translation (see events.hpp); pinned down by the twin's
// event dispatch in `stream_raw` and tests/streaming/test_events.py, test_reasoning.py.
#include "streaming/events.hpp"

#include "shapes.hpp"

namespace rapi {

// -------------------------------------------------------------- translation

namespace {

Ref zero_usage() { return usage_dict(C.zero, C.zero, C.zero); }

// {"tool_calls": [{"index": i, "id": id, "function": {"name": n, "arguments": a}}]}
Ref tool_call_delta(Py_ssize_t index, Borrowed id, Borrowed name, Borrowed arguments) {
    Ref calls = new_list();
    append(calls,
           make_dict(S.index, new_int(index), S.id, id, S.function, make_dict(S.name, name, S.arguments, arguments)));
    return make_dict(S.tool_calls, calls);
}

// The first non-empty of the given texts (`a or b or c`).
Borrowed first_text(std::initializer_list<Borrowed> texts) {
    for (Borrowed t : texts)
        if (truthy(t)) return t;
    return texts.end()[-1];  // unreached: every caller's last text is an item id checked non-empty
}

// The failure detail of a mapping: its "error" object's message (or the
// printed error when it is not a dict), else its "incomplete_details".
Ref error_message(Borrowed m) {
    Ref err = object_of(m, S.error);
    if (is_dict(err)) return get2(err, S.message, S.empty);
    return Ref::steal(PyObject_Str(err.get()));
}

Ref failure_detail(Borrowed m) {
    Ref err_msg = error_message(m);
    if (truthy(err_msg)) return err_msg;
    return get2(m, S.incomplete_details, S.empty);
}

Ref error_delta(Borrowed text, Borrowed usage) {
    return make_dict(S._finish_reason, S.error, S._usage, usage, S._error, text);
}

// The usage billed before a failure: the event's "response" object's usage,
// when both are dicts and the usage is not empty; zeros otherwise.
Ref failure_usage(Borrowed data) {
    Ref response_obj = get1(data, S.response);
    if (is_dict(response_obj)) {
        Ref usage = get1(response_obj, S.usage);
        if (is_dict(usage) && truthy(usage)) return normalized_usage(usage);
    }
    return zero_usage();
}

// The event's output index when it is an int (not a bool); else empty.
Ref output_index_of(Borrowed data) {
    Ref output_index = get1(data, S.output_index);
    if (PyLong_Check(output_index.get()) && !PyBool_Check(output_index.get())) return output_index;
    return Ref();
}

// Dict-key equality: identity, else ==.
bool same_key(Borrowed a, Borrowed b) { return check(PyObject_RichCompareBool(a.get(), b.get(), Py_EQ)) != 0; }

// The record index stored under `key` in `table`, or -1.
Py_ssize_t lookup(const Ref &table, Borrowed key) {
    if (!table) {
        // Nothing stored yet; an unhashable key still raises, as a lookup does.
        if (PyObject_Hash(key.get()) == -1) raise();
        return -1;
    }
    PyObject *found = nullptr;
    check(PyDict_GetItemRef(table.get(), key.get(), &found));
    Ref index = Ref::steal_or_null(found);
    return index ? PyLong_AsSsize_t(index.get()) : -1;
}

// f"Responses API {evt_type}: {detail}"
Ref error_text(Borrowed evt_type, Borrowed detail) {
    Ref type_text = Ref::steal(PyObject_Format(evt_type.get(), nullptr));
    Ref detail_text = Ref::steal(PyObject_Format(detail.get(), nullptr));
    return Ref::steal(PyUnicode_FromFormat("Responses API %U: %U", type_text.get(), detail_text.get()));
}

}  // namespace

// One server renames the item on every event (only the output index holds
// there), another gives every open call output index 0 (only the item id
// holds there). The call an event names is, first that applies:
//   1. the record last made with its item id, when made at its output
//      index or the event has none;
//   2. the record last made at its output index, when made with its item id;
//   3. the record last made with its item id;
//   4. the record last made at its output index.
// A record made without an output index is made at none.
StreamTranslation::FunctionCallRecord *StreamTranslation::find(Borrowed item_id, Borrowed output_index, bool added) {
    Py_ssize_t by_id = lookup(calls_by_id_, item_id);
    Py_ssize_t at_index = output_index ? lookup(calls_by_index_, output_index) : -1;
    FunctionCallRecord *with_id = by_id >= 0 ? &records_[static_cast<size_t>(by_id)] : nullptr;
    FunctionCallRecord *at = at_index >= 0 ? &records_[static_cast<size_t>(at_index)] : nullptr;
    if (with_id && (!output_index || (with_id->output_index && same_key(with_id->output_index, output_index))))
        return with_id;
    if (at && same_key(at->item_id, item_id)) return at;
    if (added) return nullptr;
    return with_id ? with_id : at;
}

StreamTranslation::FunctionCallRecord &StreamTranslation::make_record(Borrowed item_id, Borrowed output_index,
                                                                      Borrowed name, Borrowed call_id) {
    Py_ssize_t idx = static_cast<Py_ssize_t>(records_.size());
    Ref index = new_int(idx);
    if (!calls_by_id_) calls_by_id_ = new_dict();
    set_item(calls_by_id_, item_id, index);
    if (output_index) {
        if (!calls_by_index_) calls_by_index_ = new_dict();
        set_item(calls_by_index_, output_index, index);
    }
    records_.push_back(
        {idx, name.retain(), call_id.retain(), false, item_id.retain(), output_index ? output_index.retain() : Ref()});
    return records_.back();
}

Ref StreamTranslation::finish_reason() const { return Ref::retain(records_.empty() ? S.stop : S.tool_calls); }

Ref StreamTranslation::end_of_stream_delta() {
    // The body ended with no terminal event: the reply was cut off.
    return error_delta(S.cut_off, zero_usage());
}

void StreamTranslation::item_added(Borrowed data, DeltaQueue &out) {
    Ref item = object_of(data, S.item);
    Ref item_type = get1(item, S.type);
    if (!equals(item_type, S.function_call)) {
        if (equals(item_type, S.message)) note_phase(item);
        return;
    }
    Ref item_id = text_of(item, S.id);
    if (!truthy(item_id)) return;
    Ref output_index = output_index_of(data);
    if (find(item_id, output_index, true)) return;
    Ref name = text_of(item, S.name);
    Ref call_id = text_of(item, S.call_id);
    FunctionCallRecord &record = make_record(item_id, output_index, name, call_id);
    out.push(tool_call_delta(record.index, first_text({record.call_id, item_id}), record.name, S.empty));
}

void StreamTranslation::arguments_delta(Borrowed data, DeltaQueue &out) {
    Ref item_id = text_of(data, S.item_id);
    Ref delta_args = text_of(data, S.delta);
    if (!truthy(item_id) || !truthy(delta_args)) return;
    Ref output_index = output_index_of(data);
    FunctionCallRecord *st = find(item_id, output_index);
    if (!st) {
        st = &make_record(item_id, output_index, S.empty, S.empty);
        out.push(tool_call_delta(st->index, item_id, S.empty, S.empty));
    }
    out.push(tool_call_delta(st->index, first_text({st->call_id, item_id}), S.empty, delta_args));
    st->arguments_sent = true;
}

void StreamTranslation::item_done(Borrowed data, DeltaQueue &out) {
    Ref item = object_of(data, S.item);
    Ref item_type = get1(item, S.type);
    if (!equals(item_type, S.function_call)) {
        if (equals(item_type, S.reasoning)) {
            summary_done(data, item, out);
            // Only the done event's encrypted content is whole.
            Py_ssize_t k = reasoning_details_ ? list_size(reasoning_details_) : 0;
            if (Ref detail = encrypted_detail(item, k)) {
                if (!reasoning_details_) reasoning_details_ = new_list();
                append(reasoning_details_, detail);
            }
        } else if (equals(item_type, S.message)) {
            message_done(item, out);
            note_phase(item);
        }
        return;
    }
    Ref item_id = text_of(item, S.id);
    Ref call_id = text_of(item, S.call_id);
    Ref name = text_of(item, S.name);
    Ref arguments = text_of(item, S.arguments);
    if (!truthy(item_id)) return;

    Ref output_index = output_index_of(data);
    FunctionCallRecord *st = find(item_id, output_index);
    if (!st) {
        FunctionCallRecord &record = make_record(item_id, output_index, name, call_id);
        out.push(tool_call_delta(record.index, first_text({call_id, item_id}), name, arguments));
        record.arguments_sent = truthy(arguments);
        return;
    }
    if (truthy(call_id) && !truthy(st->call_id)) st->call_id = call_id;
    if (differs(name, st->name) || (truthy(call_id) && differs(call_id, st->call_id))) {
        if (truthy(name)) st->name = name;
        out.push(tool_call_delta(st->index, first_text({call_id, st->call_id, item_id}), name, S.empty));
    }
    // A server that sends the arguments only whole, in this event, must not
    // leave the call with empty arguments.
    if (!st->arguments_sent && truthy(arguments)) {
        out.push(tool_call_delta(st->index, first_text({call_id, st->call_id, item_id}), S.empty, arguments));
        st->arguments_sent = true;
    }
}

void StreamTranslation::summary_delta(Borrowed data, DeltaQueue &out) {
    Ref delta_text = get2(data, S.delta, S.empty);
    if (!truthy(delta_text)) return;
    Ref output_index = get1(data, S.output_index);
    Ref key = make_tuple(output_index, get1(data, S.summary_index));
    // A new summary part is set off from the reasoning before it by a blank
    // line; a non-str delta goes out as it came. Keys compare as tuples do.
    bool new_part = !summary_key_ || truthy(Ref::steal(PyObject_RichCompare(key.get(), summary_key_.get(), Py_NE)));
    if (new_part && reasoning_sent_ && is_str(delta_text))
        delta_text = Ref::steal(PyNumber_Add(S.pair_sep, delta_text.get()));
    summary_key_ = std::move(key);
    if (!summary_indices_) summary_indices_ = new_list();
    if (!contains(summary_indices_, output_index)) append(summary_indices_, output_index);
    reasoning_sent_ = true;
    out.push(make_dict(S.reasoning_content, delta_text));
}

// A reasoning item's summary sent only whole, never as deltas.
void StreamTranslation::summary_done(Borrowed data, Borrowed item, DeltaQueue &out) {
    Ref output_index = get1(data, S.output_index);
    if (summary_indices_ && contains(summary_indices_, output_index)) return;
    Ref texts = new_list();
    collect_texts(item, S.summary, texts);
    if (list_size(texts) == 0) return;
    Ref text = join_paragraphs(texts);
    if (reasoning_sent_) text = Ref::steal(PyNumber_Add(S.pair_sep, text.get()));
    reasoning_sent_ = true;
    out.push(make_dict(S.reasoning_content, text));
}

// A message item's phase: the last one named is the stream's.
void StreamTranslation::note_phase(Borrowed item) {
    if (Ref item_phase = phase_of(item)) phase_ = std::move(item_phase);
}

// {"_finish_reason", "_usage"}, then the model's own state when there is
// any: "_reasoning_details" and "_phase".
Ref StreamTranslation::finish_delta(Borrowed usage) const {
    Ref delta = make_dict(S._finish_reason, finish_reason(), S._usage, usage);
    if (reasoning_details_) set_item(delta, S._reasoning_details, reasoning_details_);
    if (phase_) set_item(delta, S._phase, phase_);
    return delta;
}

// A message sent only whole: its text, unless text deltas already carried it.
void StreamTranslation::message_done(Borrowed item, DeltaQueue &out) const {
    if (text_sent_) return;
    Ref texts = new_list();
    collect_texts(item, S.content, texts);
    if (list_size(texts) == 0) return;
    out.push(make_dict(S.content, Ref::steal(PyUnicode_Join(S.empty, texts.get()))));
}

Translated StreamTranslation::translate(Borrowed data, Borrowed current_event, DeltaQueue &out) {
    Ref evt_type = get2(data, S.type, S.empty);
    if (!truthy(evt_type)) evt_type = Ref::retain(truthy(current_event) ? current_event.get() : S.empty);

    auto text_delta = [&](PyObject *key) {
        Ref delta_text = get2(data, S.delta, S.empty);
        if (!truthy(delta_text)) return Translated{};
        if (key == S.reasoning_content) reasoning_sent_ = true;
        else text_sent_ = true;
        out.push(make_dict(key, delta_text));
        return Translated{};
    };
    if (equals(evt_type, S.evt_text_delta)) return text_delta(S.content);
    if (equals(evt_type, S.evt_reasoning_delta) || equals(evt_type, S.evt_reasoning_legacy_delta))
        return text_delta(S.reasoning_content);
    if (equals(evt_type, S.evt_summary_delta)) {
        summary_delta(data, out);
        return Translated{};
    }
    if (equals(evt_type, S.evt_item_added)) {
        item_added(data, out);
        return Translated{};
    }
    if (equals(evt_type, S.evt_args_delta)) {
        arguments_delta(data, out);
        return Translated{};
    }
    if (equals(evt_type, S.evt_args_done)) return Translated{};
    if (equals(evt_type, S.evt_item_done)) {
        item_done(data, out);
        return Translated{};
    }
    if (equals(evt_type, S.evt_completed)) {
        Ref normalized = normalized_usage(object_of(object_of(data, S.response), S.usage));
        out.push(finish_delta(normalized));
        return Translated{true, std::move(normalized)};
    }
    if (equals(evt_type, S.evt_failed) || equals(evt_type, S.evt_incomplete)) {
        Ref detail = failure_detail(data);
        if (!truthy(detail)) {
            // Real failure events carry their error inside "response".
            Ref response_obj = get1(data, S.response);
            if (is_dict(response_obj)) detail = failure_detail(response_obj);
        }
        Ref usage = failure_usage(data);
        out.push(error_delta(error_text(evt_type, detail), usage));
        return Translated{true, {}};
    }
    if (equals(evt_type, S.error)) {
        // A mid-stream failure: it must not end as a normal "stop".
        Ref detail = text_of(data, S.message);
        if (!truthy(detail)) detail = error_message(data);
        if (!truthy(detail)) detail = text_of(data, S.code);
        if (!truthy(detail)) detail = Ref::retain(S.empty);
        out.push(error_delta(error_text(S.error, detail), zero_usage()));
        return Translated{true, {}};
    }
    return Translated{};
}

int StreamTranslation::traverse(visitproc visit, void *arg) {
    Py_VISIT(calls_by_id_.get());
    Py_VISIT(calls_by_index_.get());
    Py_VISIT(summary_key_.get());
    Py_VISIT(summary_indices_.get());
    Py_VISIT(reasoning_details_.get());
    Py_VISIT(phase_.get());
    for (auto &r : records_) {
        Py_VISIT(r.name.get());
        Py_VISIT(r.call_id.get());
        Py_VISIT(r.item_id.get());
        Py_VISIT(r.output_index.get());
    }
    return 0;
}

void StreamTranslation::clear() {
    calls_by_id_ = Ref();
    calls_by_index_ = Ref();
    summary_key_ = Ref();
    summary_indices_ = Ref();
    reasoning_details_ = Ref();
    phase_ = Ref();
    records_.clear();
}

}  // namespace rapi
