// SSE line framing: one growable byte buffer with a read offset and a scan
// offset remembering how far the newline search got, so a line of many
// megabytes costs time linear in its size.
#pragma once

#include "values.hpp"

#include <vector>

namespace rapi {

class LineBuffer {
public:
    // Appends a chunk (any bytes-like object).
    void append(PyObject *chunk);
    // The next complete line, without its newline byte; valid until the
    // next append. False when no complete line is buffered.
    bool next_line(const char *&line, size_t &n);
    void clear() {
        data_.clear();
        start_ = scan_ = 0;
    }

private:
    void append_bytes(const char *p, size_t n);
    std::vector<char> data_;
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
