// SSE line framing and classification (see lines.hpp); pinned down by
// tests/streaming/test_reader.py and test_large_lines.py.
#include "streaming/lines.hpp"

#include <cstring>
#include <new>

namespace rapi {

// ------------------------------------------------------------------ buffer

// Doubling keeps appends amortised O(1), so a line of many megabytes costs
// time linear in its size. The block comes from the raw domain, so that
// tracemalloc counts it like the objects the stream makes.
void LineBuffer::grow(size_t needed) {
    size_t wanted = capacity_ ? capacity_ * 2 : 8192;
    while (wanted < needed) wanted *= 2;
    char *grown = static_cast<char *>(PyMem_RawRealloc(data_, wanted));
    if (!grown) throw std::bad_alloc();
#ifdef RAPI_CHECKED
    ++framing_counts.grown;
    framing_counts.moved += size_;
#endif
    data_ = grown;
    capacity_ = wanted;
}

void LineBuffer::release() {
    PyMem_RawFree(data_);
    data_ = nullptr;
    size_ = capacity_ = start_ = scan_ = 0;
}

void LineBuffer::append_bytes(const char *p, size_t n) {
    if (start_ == size_) {
        size_ = start_ = scan_ = 0;
    } else if (start_ > 0 && start_ >= size_ / 2) {
        // More consumed than left: move the rest to the front (amortised O(1)).
        std::memmove(data_, data_ + start_, size_ - start_);
#ifdef RAPI_CHECKED
        framing_counts.moved += size_ - start_;
#endif
        size_ -= start_;
        scan_ -= start_;
        start_ = 0;
    }
    if (size_ + n > capacity_) grow(size_ + n);
    std::memcpy(data_ + size_, p, n);
    size_ += n;
}

void LineBuffer::append(Borrowed chunk) {
    PyObject *c = chunk.get();
    if (PyBytes_CheckExact(c)) {
        append_bytes(PyBytes_AS_STRING(c), static_cast<size_t>(PyBytes_GET_SIZE(c)));
        return;
    }
    Py_buffer view;
    check(PyObject_GetBuffer(c, &view, PyBUF_SIMPLE));
    try {
        append_bytes(static_cast<const char *>(view.buf), static_cast<size_t>(view.len));
    } catch (...) {  // only when growing the buffer runs out of memory
        PyBuffer_Release(&view);
        throw;
    }
    PyBuffer_Release(&view);
}

bool LineBuffer::next_line(const char *&line, size_t &n) {
    size_t from = scan_ > start_ ? scan_ : start_;
    const void *hit = from < size_ ? std::memchr(data_ + from, '\n', size_ - from) : nullptr;
#ifdef RAPI_CHECKED
    framing_counts.scanned += (hit ? static_cast<size_t>(static_cast<const char *>(hit) - data_) + 1 : size_) - from;
#endif
    if (!hit) {
        scan_ = size_;
        return false;
    }
    size_t end = static_cast<size_t>(static_cast<const char *>(hit) - data_);
    line = data_ + start_;
    n = end - start_;
    start_ = scan_ = end + 1;
    return true;
}

// ---------------------------------------------------------------- decoding

namespace {

// The ASCII characters that str.strip() removes.
inline bool is_ascii_space(unsigned char c) { return c == ' ' || (c >= 0x09 && c <= 0x0d) || (c >= 0x1c && c <= 0x1f); }

// Strict UTF-8 decoding; an empty Ref when the bytes are not UTF-8.
Ref decode(const char *p, size_t n) {
    PyObject *s = PyUnicode_DecodeUTF8(p, static_cast<Py_ssize_t>(n), "strict");
    if (s) return Ref::steal_or_null(s);
    if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) raise();
    PyErr_Clear();
    return Ref();
}

// s[from:] with whitespace stripped on the chosen sides, as str.strip does.
Ref strip(Borrowed str, Py_ssize_t from, bool left, bool right) {
    PyObject *s = str.get();
    const int kind = PyUnicode_KIND(s);
    const void *data = PyUnicode_DATA(s);
    Py_ssize_t a = from, b = PyUnicode_GET_LENGTH(s);
    if (left)
        while (a < b && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, a))) ++a;
    if (right)
        while (b > a && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, b - 1))) --b;
    return Ref::steal(PyUnicode_Substring(s, a, b));
}

bool starts_with(Borrowed str, const char *prefix, Py_ssize_t n) {
    PyObject *s = str.get();
    if (PyUnicode_GET_LENGTH(s) < n) return false;
    const int kind = PyUnicode_KIND(s);
    const void *data = PyUnicode_DATA(s);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyUnicode_READ(kind, data, i) != static_cast<Py_UCS4>(prefix[i])) return false;
    return true;
}

// The general case: the whole stripped line decoded first.
SseLine classify_decoded(const char *p, size_t n) {
    Ref decoded = decode(p, n);
    if (!decoded) return {SseLine::Undecodable, {}};
    Ref line = strip(decoded, 0, true, true);
    if (PyUnicode_GET_LENGTH(line.get()) == 0) return {SseLine::Blank, {}};
    if (starts_with(line, "event:", 6)) return {SseLine::Event, strip(line, 6, true, true)};
    if (starts_with(line, "data:", 5)) return {SseLine::Data, strip(line, 5, true, false)};
    return {SseLine::Other, {}};
}

}  // namespace

SseLine classify_line(const char *p, size_t n) {
    size_t a = 0, b = n;
    while (a < b && is_ascii_space(static_cast<unsigned char>(p[a]))) ++a;
    while (b > a && is_ascii_space(static_cast<unsigned char>(p[b - 1]))) --b;
    if (a == b) return {SseLine::Blank, {}};
    // Non-ASCII at either end may be whitespace that strip() removes.
    if (static_cast<unsigned char>(p[a]) >= 0x80 || static_cast<unsigned char>(p[b - 1]) >= 0x80)
        return classify_decoded(p + a, b - a);

    // The line starts and ends with ASCII, so it is UTF-8 exactly when the
    // part after its prefix is, and only that part needs decoding.
    const char *line = p + a;
    const size_t len = b - a;
    if (len >= 6 && std::memcmp(line, "event:", 6) == 0) {
        Ref rest = decode(line + 6, len - 6);
        if (!rest) return {SseLine::Undecodable, {}};
        return {SseLine::Event, strip(rest, 0, true, true)};
    }
    if (len >= 5 && std::memcmp(line, "data:", 5) == 0) {
        size_t r = 5;
        while (r < len && is_ascii_space(static_cast<unsigned char>(line[r]))) ++r;
        Ref rest = decode(line + r, len - r);
        if (!rest) return {SseLine::Undecodable, {}};
        if (PyUnicode_GET_LENGTH(rest.get()) > 0 && !PyUnicode_IS_ASCII(rest.get()))
            return {SseLine::Data, strip(rest, 0, true, false)};
        return {SseLine::Data, std::move(rest)};
    }
    return {SseLine::Other, {}};
}

}  // namespace rapi
