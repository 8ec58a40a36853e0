// SSE line framing for stream_raw's reader: one growable byte buffer with a
// read offset and a scan offset remembering how far the newline search got,
// so a line of many megabytes costs time linear in its size. Pinned down by
// the twin's line splitting and tests/streaming/test_reader.py,
// test_large_lines.py.
#pragma once

#include "refs.hpp"

namespace rapi {

#ifdef RAPI_CHECKED
// What the framing has cost since the import, counted in the checked builds
// only (sanitizer, coverage, mutation) and read through the module's
// `_checked_counts()`: bytes the newline search looked at, bytes moved by
// compaction or carried over by a reallocation, and reallocations. The tests
// hold them linear in the size of what was read.
struct FramingCounts {
    unsigned long long scanned = 0, moved = 0, grown = 0;
};
inline FramingCounts framing_counts;
#endif

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
    char *data_ = nullptr;
    size_t size_ = 0, capacity_ = 0;  // the heap block, grown by doubling
    size_t start_ = 0;                // first byte not yet consumed
    size_t scan_ = 0;                 // no newline in [start_, scan_)
};

// One line, decoded as UTF-8 and stripped, sorted by what it means.
struct SseLine {
    enum Kind { Undecodable, Blank, Event, Data, Other } kind;
    Ref value;  // Event: the stripped name; Data: the payload text
};

SseLine classify_line(const char *p, size_t n);

}  // namespace rapi
