#include "streaming/events.hpp"

#include "api.hpp"

namespace rapi {

// ------------------------------------------------------------------ capture

void Capture::push(PyObject *data_str) {
    Ref head = Ref::steal(PyUnicode_Substring(data_str, 0, kChars));
    if (count_ < kEntries) {
        items_[(start_ + count_++) % kEntries] = std::move(head);
    } else {
        items_[start_] = std::move(head);
        start_ = (start_ + 1) % kEntries;
    }
}

Ref Capture::tail(size_t n) const {
    size_t take = n < count_ ? n : count_;
    Ref list = new_list(static_cast<Py_ssize_t>(take));
    for (size_t i = 0; i < take; ++i) {
        PyObject *entry = items_[(start_ + count_ - take + i) % kEntries].get();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(entry));
    }
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

// -------------------------------------------------------------- translation

namespace {

Ref zero_usage() { return usage_dict(C.zero, C.zero, C.zero); }

// {"tool_calls": [{"index": i, "id": id, "function": {"name": n, "arguments": a}}]}
Ref tool_call_delta(Py_ssize_t index, PyObject *id, PyObject *name, PyObject *arguments) {
    Ref idx = Ref::steal(PyLong_FromSsize_t(index));
    Ref function = make_dict(S.name, name, S.arguments, arguments);
    Ref entry = make_dict(S.index, idx.get(), S.id, id, S.function, function.get());
    Ref calls = new_list(1);
    PyList_SET_ITEM(calls.get(), 0, entry.release());
    return make_dict(S.tool_calls, calls.get());
}

// The first non-empty of the given texts.
PyObject *first_text(std::initializer_list<PyObject *> texts) {
    for (PyObject *t : texts)
        if (truthy(t)) return t;
    return texts.end()[-1];
}

// The failure detail of a mapping: its "error" object's message (or the
// printed error when it is not a dict), else its "incomplete_details".
Ref error_message(PyObject *m) {
    Ref err = object_of(m, S.error);
    if (is_dict(err)) return get2(err, S.message, S.empty);
    return Ref::steal(PyObject_Str(err));
}

Ref failure_detail(PyObject *m) {
    Ref err_msg = error_message(m);
    if (truthy(err_msg)) return err_msg;
    return get2(m, S.incomplete_details, S.empty);
}

Ref error_delta(PyObject *text, PyObject *usage) {
    return make_dict(S._finish_reason, S.error, S._usage, usage, S._error, text);
}

// The usage billed before a failure: the event's "response" object's usage,
// when both are dicts and the usage is not empty; zeros otherwise.
Ref failure_usage(PyObject *data) {
    Ref response_obj = get1(data, S.response);
    if (is_dict(response_obj)) {
        Ref usage = get1(response_obj, S.usage);
        if (is_dict(usage) && truthy(usage)) return normalized_usage(usage);
    }
    return zero_usage();
}

// The key of a function call's record: the event's output index when it is
// an int (some servers rename the item on every event), else the item id.
Ref call_key(PyObject *data, PyObject *item_id) {
    Ref output_index = get1(data, S.output_index);
    if (PyLong_Check(output_index) && !PyBool_Check(output_index)) return output_index;
    return Ref::borrow(item_id);
}

// f"Responses API {evt_type}: {detail}"
Ref error_text(PyObject *evt_type, PyObject *detail) {
    Ref type_text = Ref::steal(PyObject_Format(evt_type, nullptr));
    Ref detail_text = Ref::steal(PyObject_Format(detail, nullptr));
    return Ref::steal(PyUnicode_FromFormat("Responses API %U: %U", type_text.get(), detail_text.get()));
}

}  // namespace

StreamTranslation::FunctionCallRecord *StreamTranslation::find(PyObject *key) {
    if (!fc_state) return nullptr;
    PyObject *found = nullptr;
    check(PyDict_GetItemRef(fc_state, key, &found));
    if (!found) return nullptr;
    Py_ssize_t index = PyLong_AsSsize_t(found);
    Py_DECREF(found);
    return &records_[static_cast<size_t>(index)];
}

StreamTranslation::FunctionCallRecord &StreamTranslation::make_record(PyObject *key, PyObject *name,
                                                                        PyObject *call_id) {
    if (!fc_state) fc_state = new_dict();
    Py_ssize_t idx = fc_counter;
    Ref record_index = Ref::steal(PyLong_FromSsize_t(idx));
    set_item(fc_state, key, record_index);
    fc_counter += 1;
    records_.push_back({idx, Ref::borrow(name), Ref::borrow(call_id), false});
    return records_.back();
}

Ref StreamTranslation::finish_reason() const {
    bool has_calls = fc_state && PyDict_GET_SIZE(fc_state.get()) > 0;
    return Ref::borrow(has_calls ? S.tool_calls : S.stop);
}

Ref StreamTranslation::end_of_stream_delta() {
    // The body ended with no terminal event: the reply was cut off.
    return error_delta(S.cut_off, zero_usage());
}

void StreamTranslation::item_added(PyObject *data, DeltaQueue &out) {
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

void StreamTranslation::arguments_delta(PyObject *data, DeltaQueue &out) {
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

void StreamTranslation::item_done(PyObject *data, DeltaQueue &out) {
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

void StreamTranslation::summary_delta(PyObject *data, DeltaQueue &out) {
    Ref delta_text = get2(data, S.delta, S.empty);
    if (!truthy(delta_text)) return;
    Ref output_index = get1(data, S.output_index);
    Ref summary_index = get1(data, S.summary_index);
    Ref key = Ref::steal(PyTuple_Pack(2, output_index.get(), summary_index.get()));
    // A new summary part is set off from the reasoning before it by a blank
    // line; a non-str delta goes out as it came.
    bool new_part = !summary_key_ || truthy(Ref::steal(PyObject_RichCompare(key, summary_key_, Py_NE)));
    if (new_part && reasoning_sent_ && is_str(delta_text))
        delta_text = Ref::steal(PyNumber_Add(S.pair_sep, delta_text));
    summary_key_ = std::move(key);
    if (!summary_indices_) summary_indices_ = new_list();
    if (!check(PySequence_Contains(summary_indices_, output_index))) append(summary_indices_, output_index);
    reasoning_sent_ = true;
    out.push(make_dict(S.reasoning_content, delta_text.get()));
}

// A reasoning item's summary sent only whole, never as deltas.
void StreamTranslation::summary_done(PyObject *data, PyObject *item, DeltaQueue &out) {
    Ref output_index = get1(data, S.output_index);
    if (summary_indices_ && check(PySequence_Contains(summary_indices_, output_index))) return;
    Ref texts = new_list();
    collect_summary_texts(item, texts);
    if (PyList_GET_SIZE(texts.get()) == 0) return;
    Ref text = Ref::steal(PyUnicode_Join(S.pair_sep, texts));
    if (reasoning_sent_) text = Ref::steal(PyNumber_Add(S.pair_sep, text));
    reasoning_sent_ = true;
    out.push(make_dict(S.reasoning_content, text.get()));
}

bool StreamTranslation::translate(PyObject *data, PyObject *current_event, DeltaQueue &out,
                                  PyObject *debug_logger, const Capture &raw_sse_lines) {
    Ref evt_type = get2(data, S.type, S.empty);
    if (!truthy(evt_type)) evt_type = Ref::borrow(truthy(current_event) ? current_event : S.empty);

    auto text_delta = [&](PyObject *key) {
        Ref delta_text = get2(data, S.delta, S.empty);
        if (!truthy(delta_text)) return false;
        if (key == S.reasoning_content) reasoning_sent_ = true;
        out.push(make_dict(key, delta_text.get()));
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
        Ref response_obj = object_of(data, S.response);
        Ref usage = object_of(response_obj, S.usage);
        Ref normalized = normalized_usage(usage);
        if (debug_logger != Py_None) {
            check(PyObject_SetItem(debug_logger, S.usage, normalized));
            Ref count = Ref::steal(PyLong_FromSsize_t(raw_sse_lines.size()));
            check(PyObject_SetItem(debug_logger, S.raw_sse_count, count));
            check(PyObject_SetItem(debug_logger, S.raw_sse_tail, raw_sse_lines.tail(5)));
        }
        out.push(make_dict(S._finish_reason, finish_reason().get(), S._usage, normalized.get()));
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
        if (!truthy(detail)) detail = Ref::borrow(S.empty);
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
