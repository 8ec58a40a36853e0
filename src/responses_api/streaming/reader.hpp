// The body of `stream_raw`: the request, the `with` block around the
// response, SSE framing, the dispatch of each event to its translation, and
// the debug record (`debug_logger`): the capture of the recent data lines and
// every entry written into it. The generator type (surface/generator.cpp)
// drives it one resumption at a time. Pinned down by the twin's `stream_raw`
// and tests/streaming/.
#pragma once

#include "streaming/events.hpp"
#include "streaming/lines.hpp"

namespace rapi {

// `raw_sse_lines`: the first 500 characters of the 10 most recent decoded
// data payloads.
class Capture {
public:
    static constexpr size_t kEntries = 10;
    static constexpr Py_ssize_t kChars = 500;
    void push(Borrowed data_str);
    Py_ssize_t size() const { return static_cast<Py_ssize_t>(count_); }
    Ref tail(size_t n) const;  // a new list of the last n entries (all when fewer)
    void clear();
    int traverse(visitproc visit, void *arg);

private:
    Ref items_[kEntries];
    size_t start_ = 0, count_ = 0;
};

// debug_logger["raw_sse_count"] = len(raw_sse_lines), when there is a
// record (every way a stream ends but a failure writes it).
void write_sse_count(Borrowed debug_logger, const Capture &raw_sse_lines);

class StreamReader {
public:
    enum class Stage { Created, Open, Finished };

    StreamReader(Borrowed url, Borrowed headers, Borrowed payload, Borrowed debug_logger);

    Stage stage() const { return stage_; }
    // One resumption of the body. `thrown`: the exception that is set is
    // raised where the body is suspended. Returns the next delta, or an
    // empty Ref when the body finished; throws PyError when it raised.
    Ref resume(bool thrown);
    // Ends a body that was never started: nothing is sent, nothing to close.
    void abandon() { finish(); }

    int traverse(visitproc visit, void *arg);
    void clear();

private:
    void start();
    void write_start_entries(Borrowed body_bytes);
    void enter_with(Borrowed manager);
    Ref advance();
    void process_line(const char *bytes, size_t n);
    void process_data(Borrowed data_str);
    void write_completion_entries(Borrowed usage);
    void end_of_body();
    void leave_normally();
    void leave_with_exception();
    void finish();

    // arguments
    Ref url_, headers_, payload_, debug_logger_;
    Stage stage_ = Stage::Created;
    bool ending_ = false;  // finish at the next resumption
    // the `with` block
    Ref exit_;    // the manager's bound __exit__
    Ref resp_;    // what __enter__ returned
    Ref reader_;  // resp.read1, or resp.read when there is no read1
    // the reader
    LineBuffer byte_buffer;
    Ref current_event;
    Capture raw_sse_lines;
    StreamTranslation translation;
    DeltaQueue pending;
};

}  // namespace rapi
