// Stream event translation for stream_raw's reader: decoded Responses
// stream events into the delta dicts the host's stream consumer reads, with
// the per-stream function-call and reasoning state, and nothing else (the
// debug record is the reader's). Pinned down by the
// twin's event dispatch in `stream_raw` and tests/streaming/test_events.py,
// test_reasoning.py.
#pragma once

#include "values.hpp"

#include <vector>

namespace rapi {

// Deltas produced but not yet handed out. An event yields at most two, and
// the queue is drained before the next event is read. The bound is checked
// in every build: a push beyond it (a translation fault) raises SystemError
// instead of writing past the items.
class DeltaQueue {
public:
    bool empty() const { return head_ == size_; }
    void push(Ref delta) {
        if (size_ >= kCapacity) {
            PyErr_SetString(PyExc_SystemError, "routes.responses_api: more deltas pending than one event yields");
            raise();
        }
        items_[size_++] = std::move(delta);
    }
    Ref pop() {
        Ref out = std::move(items_[head_++]);
        if (head_ == size_) head_ = size_ = 0;
        return out;
    }
    void clear() {
        for (auto &item : items_) item = Ref();
        head_ = size_ = 0;
    }
    int traverse(visitproc visit, void *arg) {
        for (size_t i = head_; i < size_; ++i) Py_VISIT(items_[i].get());
        return 0;
    }

private:
    static constexpr size_t kCapacity = 2;
    Ref items_[kCapacity];
    size_t head_ = 0, size_ = 0;
};

// What one event did beyond the deltas it produced.
struct Translated {
    bool ends = false;  // the event ends the stream
    Ref usage;          // of a completion: the usage of its finish delta (for the debug record); else empty
};

class StreamTranslation {
public:
    // Translates one event into `out`.
    Translated translate(Borrowed data, Borrowed current_event, DeltaQueue &out);
    // The finish delta of a body that ended without a terminal event.
    static Ref end_of_stream_delta();
    int traverse(visitproc visit, void *arg);
    void clear();

private:
    struct FunctionCallRecord {
        Py_ssize_t index;
        Ref name;
        Ref call_id;
        bool arguments_sent;  // a delta with non-empty arguments went out
        Ref item_id;          // the item id of the event that made it
        Ref output_index;     // its output index (an int), or empty
    };
    // The record an event names, by its item id and output index together
    // (see events.cpp); item added consults only the first two rules.
    FunctionCallRecord *find(Borrowed item_id, Borrowed output_index, bool added = false);
    FunctionCallRecord &make_record(Borrowed item_id, Borrowed output_index, Borrowed name, Borrowed call_id);
    Ref finish_reason() const;

    void item_added(Borrowed data, DeltaQueue &out);
    void arguments_delta(Borrowed data, DeltaQueue &out);
    void item_done(Borrowed data, DeltaQueue &out);
    void summary_delta(Borrowed data, DeltaQueue &out);
    void summary_done(Borrowed data, Borrowed item, DeltaQueue &out);
    void message_done(Borrowed item, DeltaQueue &out) const;
    void note_phase(Borrowed item);
    Ref finish_delta(Borrowed usage) const;

    // The records, by index (in order of creation); item id -> index of the
    // record made last with it; output index -> index of the record made
    // last at it.
    std::vector<FunctionCallRecord> records_;
    Ref calls_by_id_;
    Ref calls_by_index_;
    // Whether a text delta has yielded content.
    bool text_sent_ = false;
    // Reasoning: whether any reasoning text went out; the (output_index,
    // summary_index) of the last summary delta; the output indices whose
    // summaries streamed as deltas (a list: indices compare with ==, and
    // need not be hashable).
    bool reasoning_sent_ = false;
    Ref summary_key_;
    Ref summary_indices_;
    // The model's own state, handed back with the finish delta: the
    // `reasoning_details` entries of the reasoning items' encrypted content
    // (made with the first), and the last phase a message item named.
    Ref reasoning_details_;
    Ref phase_;
};

}  // namespace rapi
