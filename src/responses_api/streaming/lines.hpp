// SSE line framing for stream_raw's reader: one growable byte buffer with a
// read offset and a scan offset remembering how far the newline search got,
// so a line of many megabytes costs time linear in its size. Pinned down by
// the twin's line splitting and tests/streaming/test_reader.py,
// test_large_lines.py.
#pragma once

#include "values.hpp"

#include <cstdlib>

namespace rapi {

class LineBuffer {
public:
    LineBuffer() = default;
    LineBuffer(const LineBuffer &) = delete;
    LineBuffer &operator=(const LineBuffer &) = delete;
    ~LineBuffer() { release(); }
    // Appends a chunk (any bytes-like object).
    void append(Borrowed chunk);
    // The next complete line, without its newline byte; valid until the
    // next append. False when no complete line is buffered.
    bool next_line(const char *&line, size_t &n);
    void clear() { release(); }

private:
    void append_bytes(const char *p, size_t n);
    void grow(size_t needed);
    void release();
    // From 1 MiB on, the buffer is a mapping of its own, grown with mremap
    // (pages move, nothing is copied); below that, the heap's realloc. SSE
    // lines are a few KB; only a huge one (a long reply echoed in a
    // completion event) gets here, and then copying on every doubling would
    // cost as much as reading the line.
    static constexpr size_t kMapped = size_t(1) << 20;
    char *data_ = nullptr;
    size_t size_ = 0, capacity_ = 0;
    bool mapped_ = false;
    size_t start_ = 0;  // first byte not yet consumed
    size_t scan_ = 0;   // no newline in [start_, scan_)
};

// One line, decoded as UTF-8 and stripped, sorted by what it means.
struct SseLine {
    enum Kind { Undecodable, Blank, Event, Data, Other } kind;
    Ref value;  // Event: the stripped name; Data: the payload text
};

SseLine classify_line(const char *bytes, size_t n);

}  // namespace rapi
