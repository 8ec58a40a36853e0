// Stream event translation (see events.hpp); pinned down by the twin's
// event dispatch in `stream_raw` and tests/streaming/test_events.py, test_reasoning.py.
#include "streaming/events.hpp"

#include "api.hpp"

namespace rapi {

// ------------------------------------------------------------------ capture

void Capture::push(Borrowed data_str) {
    Ref head = Ref::steal(PyUnicode_Substring(data_str.get(), 0, kChars));
    if (count_ < kEntries) {
        items_[(start_ + count_++) % kEntries] = std::move(head);
    } else {
        items_[start_] = std::move(head);
        start_ = (start_ + 1) % kEntries;
    }
}

Ref Capture::tail(size_t n) const {
    size_t take = n < count_ ? n : count_;
    Ref list = new_list();
    for (size_t i = 0; i < take; ++i) append(list, items_[(start_ + count_ - take + i) % kEntries]);
    return list;
}

void Capture::clear() {
    for (auto &item : items_) item = Ref();
    start_ = count_ = 0;
}

int Capture::traverse(visitproc visit, void *arg) {
    for (auto &item : items_) Py_VISIT(item.get());
    return 0;
}

void write_sse_count(Borrowed debug_logger, const Capture &raw_sse_lines) {
    if (!is_none(debug_logger)) store(debug_logger, S.raw_sse_count, new_int(raw_sse_lines.size()));
}

// -------------------------------------------------------------- translation

namespace {

Ref zero_usage() { return usage_dict(C.zero, C.zero, C.zero); }

// {"tool_calls": [{"index": i, "id": id, "function": {"name": n, "arguments": a}}]}
Ref tool_call_delta(Py_ssize_t index, Borrowed id, Borrowed name, Borrowed arguments) {
    Ref calls = new_list();
    append(calls, make_dict(S.index, new_int(index), S.id, id, S.function,
                            make_dict(S.name, name, S.arguments, arguments)));
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

// The key of a function call's record: the event's output index when it is
// an int (some servers rename the item on every event), else the item id.
Ref call_key(Borrowed data, Borrowed item_id) {
    Ref output_index = get1(data, S.output_index);
    if (PyLong_Check(output_index.get()) && !PyBool_Check(output_index.get())) return output_index;
    return item_id.retain();
}

// f"Responses API {evt_type}: {detail}"
Ref error_text(Borrowed evt_type, Borrowed detail) {
    Ref type_text = Ref::steal(PyObject_Format(evt_type.get(), nullptr));
    Ref detail_text = Ref::steal(PyObject_Format(detail.get(), nullptr));
    return Ref::steal(PyUnicode_FromFormat("Responses API %U: %U", type_text.get(), detail_text.get()));
}

}  // namespace

StreamTranslation::FunctionCallRecord *StreamTranslation::find(Borrowed key) {
    if (!fc_state) return nullptr;
    PyObject *found = nullptr;
    check(PyDict_GetItemRef(fc_state.get(), key.get(), &found));
    Ref index = Ref::steal_or_null(found);
    if (!index) return nullptr;
    return &records_[static_cast<size_t>(PyLong_AsSsize_t(index.get()))];
}

StreamTranslation::FunctionCallRecord &StreamTranslation::make_record(Borrowed key, Borrowed name,
                                                                        Borrowed call_id) {
    if (!fc_state) fc_state = new_dict();
    Py_ssize_t idx = fc_counter;
    set_item(fc_state, key, new_int(idx));
    fc_counter += 1;
    records_.push_back({idx, name.retain(), call_id.retain(), false});
    return records_.back();
}

Ref StreamTranslation::finish_reason() const {
    bool has_calls = fc_state && PyDict_GET_SIZE(fc_state.get()) > 0;
    return Ref::retain(has_calls ? S.tool_calls : S.stop);
}

Ref StreamTranslation::end_of_stream_delta() {
    // The body ended with no terminal event: the reply was cut off.
    return error_delta(S.cut_off, zero_usage());
}

void StreamTranslation::item_added(Borrowed data, DeltaQueue &out) {
    Ref item = object_of(data, S.item);
    if (!equals(get1(item, S.type), S.function_call)) return;
    Ref item_id = text_of(item, S.id);
    if (!truthy(item_id)) return;
    Ref key = call_key(data, item_id);
    if (find(key)) return;
    Ref name = text_of(item, S.name);
    Ref call_id = text_of(item, S.call_id);
    FunctionCallRecord &record = make_record(key, name, call_id);
    out.push(tool_call_delta(record.index, first_text({record.call_id, item_id}), record.name, S.empty));
}

void StreamTranslation::arguments_delta(Borrowed data, DeltaQueue &out) {
    Ref item_id = text_of(data, S.item_id);
    Ref delta_args = text_of(data, S.delta);
    if (!truthy(item_id) || !truthy(delta_args)) return;
    Ref key = call_key(data, item_id);
    FunctionCallRecord *st = find(key);
    if (!st) {
        st = &make_record(key, S.empty, S.empty);
        out.push(tool_call_delta(st->index, item_id, S.empty, S.empty));
    }
    out.push(tool_call_delta(st->index, first_text({st->call_id, item_id}), S.empty, delta_args));
    st->arguments_sent = true;
}

void StreamTranslation::item_done(Borrowed data, DeltaQueue &out) {
    Ref item = object_of(data, S.item);
    Ref item_type = get1(item, S.type);
    if (!equals(item_type, S.function_call)) {
        if (equals(item_type, S.reasoning)) summary_done(data, item, out);
        return;
    }
    Ref item_id = text_of(item, S.id);
    Ref call_id = text_of(item, S.call_id);
    Ref name = text_of(item, S.name);
    Ref arguments = text_of(item, S.arguments);
    if (!truthy(item_id)) return;

    Ref key = call_key(data, item_id);
    FunctionCallRecord *st = find(key);
    if (!st) {
        FunctionCallRecord &record = make_record(key, name, call_id);
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
    collect_summary_texts(item, texts);
    if (list_size(texts) == 0) return;
    Ref text = join_paragraphs(texts);
    if (reasoning_sent_) text = Ref::steal(PyNumber_Add(S.pair_sep, text.get()));
    reasoning_sent_ = true;
    out.push(make_dict(S.reasoning_content, text));
}

bool StreamTranslation::translate(Borrowed data, Borrowed current_event, DeltaQueue &out, Borrowed debug_logger,
                                  const Capture &raw_sse_lines) {
    Ref evt_type = get2(data, S.type, S.empty);
    if (!truthy(evt_type)) evt_type = Ref::retain(truthy(current_event) ? current_event.get() : S.empty);

    auto text_delta = [&](PyObject *key) {
        Ref delta_text = get2(data, S.delta, S.empty);
        if (!truthy(delta_text)) return false;
        if (key == S.reasoning_content) reasoning_sent_ = true;
        out.push(make_dict(key, delta_text));
        return false;
    };
    if (equals(evt_type, S.evt_text_delta)) return text_delta(S.content);
    if (equals(evt_type, S.evt_reasoning_delta)) return text_delta(S.reasoning_content);
    if (equals(evt_type, S.evt_summary_delta)) {
        summary_delta(data, out);
        return false;
    }
    if (equals(evt_type, S.evt_item_added)) {
        item_added(data, out);
        return false;
    }
    if (equals(evt_type, S.evt_args_delta)) {
        arguments_delta(data, out);
        return false;
    }
    if (equals(evt_type, S.evt_args_done)) return false;
    if (equals(evt_type, S.evt_item_done)) {
        item_done(data, out);
        return false;
    }
    if (equals(evt_type, S.evt_completed)) {
        Ref normalized = normalized_usage(object_of(object_of(data, S.response), S.usage));
        if (!is_none(debug_logger)) {
            store(debug_logger, S.usage, normalized);
            write_sse_count(debug_logger, raw_sse_lines);
            store(debug_logger, S.raw_sse_tail, raw_sse_lines.tail(5));
        }
        out.push(make_dict(S._finish_reason, finish_reason(), S._usage, normalized));
        return true;
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
        return true;
    }
    if (equals(evt_type, S.error)) {
        // A mid-stream failure: it must not end as a normal "stop".
        Ref detail = text_of(data, S.message);
        if (!truthy(detail)) detail = error_message(data);
        if (!truthy(detail)) detail = text_of(data, S.code);
        if (!truthy(detail)) detail = Ref::retain(S.empty);
        out.push(error_delta(error_text(S.error, detail), zero_usage()));
        return true;
    }
    return false;
}

int StreamTranslation::traverse(visitproc visit, void *arg) {
    Py_VISIT(fc_state.get());
    Py_VISIT(summary_key_.get());
    Py_VISIT(summary_indices_.get());
    for (auto &r : records_) {
        Py_VISIT(r.name.get());
        Py_VISIT(r.call_id.get());
    }
    return 0;
}

void StreamTranslation::clear() {
    fc_state = Ref();
    summary_key_ = Ref();
    summary_indices_ = Ref();
    records_.clear();
}

}  // namespace rapi
