// json.dumps(content, ensure_ascii=False) written directly, for the tool
// outputs of convert_messages (see json.hpp and writer.hpp). Compared with
// json.dumps in tests/test_json_encoding.py.
#include "json/writer.hpp"

#include "json/json.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace rapi {

namespace {

// A str being written: a str object made with PyUnicode_New and written in
// place (allowed while nobody else has seen it), widened when a wider
// character arrives, grown by a quarter beyond what is asked (as the
// interpreter's own writer does, so appends stay amortised O(1)) and cut to
// its length at the end. `kind`, `data` and `pos` are for direct writes
// after `prepare`.
class TextBuffer {
public:
    int kind = PyUnicode_1BYTE_KIND;
    void *data = nullptr;
    Py_ssize_t pos = 0;

    // Room for n more characters of at most maxchar.
    void prepare(Py_ssize_t n, Py_UCS4 maxchar) {
        if (n > PY_SSIZE_T_MAX - pos) {
            PyErr_NoMemory();  // unreached: no str is that long
            raise();
        }
        const Py_ssize_t needed = pos + n;
        if (needed <= capacity_ && maxchar <= maxchar_) return;
        Py_ssize_t capacity = capacity_;
        if (needed > capacity) capacity = needed <= PY_SSIZE_T_MAX - needed / 4 ? needed + needed / 4 : needed;
        if (str_ && maxchar <= maxchar_) {
            // As wide as it must be: grow in place.
            PyObject *s = str_.release();
            int rc = PyUnicode_Resize(&s, capacity);  // on failure s is still the old str
            str_ = Ref::steal_or_null(s);
            check(rc);
#ifdef RAPI_CHECKED
            ++writer_counts.resized;
#endif
        } else {
            const Py_UCS4 bound = maxchar > maxchar_ ? class_bound(maxchar) : maxchar_;
            Ref wider = Ref::steal(PyUnicode_New(capacity, bound));
            if (pos > 0) check(static_cast<int>(PyUnicode_CopyCharacters(wider.get(), 0, str_.get(), 0, pos)));
#ifdef RAPI_CHECKED
            if (str_) {
                ++writer_counts.widened;
                writer_counts.copied += static_cast<unsigned long long>(pos);
            }
#endif
            str_ = std::move(wider);
            maxchar_ = bound;
        }
        capacity_ = capacity;
        kind = PyUnicode_KIND(str_.get());
        data = PyUnicode_DATA(str_.get());
    }
    void ascii(const char *s, Py_ssize_t n) {
        prepare(n, 0x7f);
        if (kind == PyUnicode_1BYTE_KIND) {
            std::memcpy(static_cast<char *>(data) + pos, s, static_cast<size_t>(n));
        } else {
            for (Py_ssize_t i = 0; i < n; ++i) PyUnicode_WRITE(kind, data, pos + i, static_cast<Py_UCS1>(s[i]));
        }
        pos += n;
    }
    void character(Py_UCS4 c) {
        prepare(1, c);
        PyUnicode_WRITE(kind, data, pos, c);
        ++pos;
    }
    void text(PyObject *s) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        prepare(n, PyUnicode_MAX_CHAR_VALUE(s));
        check(static_cast<int>(PyUnicode_CopyCharacters(str_.get(), pos, s, 0, n)));
        pos += n;
    }
    // The text written, as a str of its own.
    Ref finish() {
        if (!str_) return Ref::steal(PyUnicode_New(0, 0));
        PyObject *s = str_.release();
        int rc = PyUnicode_Resize(&s, pos);
        Ref text = Ref::steal_or_null(s);
        check(rc);
        return text;
    }

private:
    // The widest character of the storage class of c: the str's kind (and
    // whether it is ASCII) follows from the maxchar given to PyUnicode_New,
    // and the result is canonical because some input of that class is in it.
    static Py_UCS4 class_bound(Py_UCS4 c) {
        return c < 0x80 ? 0x7f : c < 0x100 ? 0xff : c < 0x10000 ? 0xffff : 0x10ffff;
    }
    Ref str_;
    Py_ssize_t capacity_ = 0;
    Py_UCS4 maxchar_ = 0;
};

// Whether the fast path wrote a value, or gave it up to the standard
// encoder (a value of a type or depth it does not handle).
enum class Fit { Written, Fallback };

// Writes JSON text as the standard encoder does with ensure_ascii=False and
// the default separators. `write` answers Fallback to give up; an error
// throws PyError (write_json then lets the real dumps raise its own).
class JsonWriter {
public:
    Fit write(PyObject *o, int depth);
    Ref finish() { return w_.finish(); }

private:
    // Deeper data (or circular data, which never ends) takes the real call:
    // it brings the standard encoder's own recursion checks and messages,
    // and no conversation nests anywhere near as deep.
    static constexpr int kMaxDepth = 48;
    Fit ascii(const char *s, Py_ssize_t n) {
        w_.ascii(s, n);
        return Fit::Written;
    }
    Fit string(PyObject *s);
    Fit repr(PyObject *o) {
        w_.text(Ref::steal(Py_TYPE(o)->tp_repr(o)).get());
        return Fit::Written;
    }
    TextBuffer w_;
};

// The characters the encoder escapes: '"', '\\' and the C0 controls.
inline bool needs_escape(Py_UCS4 c) { return c < 0x20 || c == '"' || c == '\\'; }

// The extra length of the escape of c beyond one character.
inline Py_ssize_t escape_extra(Py_UCS4 c) {
    switch (c) {
        case '\\':
        case '"':
        case '\b':
        case '\f':
        case '\n':
        case '\r':
        case '\t':
            return 1;
        default:
            return 5;  // \u00XX
    }
}

// escape_extra for every Latin-1 character, 0 for those left as they are.
constexpr auto kEscapeExtra = [] {
    struct Table {
        unsigned char v[256];
        constexpr unsigned char operator[](size_t i) const { return v[i]; }
    } t{};
    for (int c = 0; c < 0x20; ++c) t.v[c] = 5;
    for (unsigned char c : {'\\', '"', '\b', '\f', '\n', '\r', '\t'}) t.v[c] = 1;
    return t;
}();

// The letter of the two-character escape of c ('n' for a line feed, ...),
// or 0 when c is written as \u00XX. Only for characters that need escaping.
constexpr auto kEscapeLetter = [] {
    struct Table {
        char v[128];
        constexpr char operator[](size_t i) const { return v[i]; }
    } t{};
    const char pairs[][2] = {{'\\', '\\'}, {'"', '"'}, {'\b', 'b'}, {'\f', 'f'}, {'\n', 'n'}, {'\r', 'r'}, {'\t', 't'}};
    for (const auto &p : pairs) t.v[static_cast<unsigned char>(p[0])] = p[1];
    return t;
}();

// Writes the escape of c, a character that needs one (so c < 0x80).
template <class Dst>
inline Dst *write_escape(Dst *out, Py_UCS4 c) {
    static const unsigned char hex[] = "0123456789abcdef";
    out[0] = '\\';
    if (const auto letter = static_cast<unsigned char>(kEscapeLetter[c])) {
        out[1] = static_cast<Dst>(letter);
        return out + 2;
    }
    out[1] = 'u';
    out[2] = '0';
    out[3] = '0';
    out[4] = static_cast<Dst>(hex[(c >> 4) & 0xf]);
    out[5] = static_cast<Dst>(hex[c & 0xf]);
    return out + 6;
}

// Copies n characters, escaping as the encoder does; Dst is at least as
// wide as Src.
template <class Src, class Dst>
Dst *copy_escaped(const Src *in, Py_ssize_t n, Dst *out) {
    for (Py_ssize_t i = 0; i < n; ++i) {
        Src c = in[i];
        if (needs_escape(c)) out = write_escape(out, c);
        else *out++ = static_cast<Dst>(c);
    }
    return out;
}

template <class Dst>
Dst *copy_escaped_any(int kind, const void *in, Py_ssize_t n, Dst *out) {
    switch (kind) {
        case PyUnicode_1BYTE_KIND:
            return copy_escaped(static_cast<const Py_UCS1 *>(in), n, out);
        case PyUnicode_2BYTE_KIND:
            return copy_escaped(static_cast<const Py_UCS2 *>(in), n, out);
        default:
            return copy_escaped(static_cast<const Py_UCS4 *>(in), n, out);
    }
}

// Copies Latin-1 text escaping as the encoder does. `out` must have room
// for the escaped text plus 16: blocks of 16 are stored whole, and the
// output position then advances only past their escape-free prefix.
Py_UCS1 *copy_escaped_latin1(const Py_UCS1 *p, const Py_UCS1 *end, Py_UCS1 *out) {
#ifdef __SSE2__
    const __m128i controls = _mm_set1_epi8(0x1f), quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\');
    while (end - p >= 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out), v);
        __m128i hit = _mm_or_si128(_mm_cmpeq_epi8(_mm_max_epu8(v, controls), controls),
                                   _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)));
        int mask = _mm_movemask_epi8(hit);
        if (!mask) {
            p += 16;
            out += 16;
            continue;
        }
        int k = __builtin_ctz(static_cast<unsigned>(mask));
        out = write_escape(out + k, p[k]);
        p += k + 1;
    }
#endif
    for (; p < end; ++p) {
        if (kEscapeExtra[*p]) out = write_escape(out, *p);
        else *out++ = *p;
    }
    return out;
}

// The exact number of extra characters escaping adds to Latin-1 text.
Py_ssize_t escape_extra_latin1(const Py_UCS1 *p, const Py_UCS1 *end) {
    Py_ssize_t extra = 0;
#ifdef __SSE2__
    const __m128i controls = _mm_set1_epi8(0x1f), quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\'),
                  bs = _mm_set1_epi8('\b'), tab = _mm_set1_epi8('\t'), lf = _mm_set1_epi8('\n'),
                  ff = _mm_set1_epi8('\f'), cr = _mm_set1_epi8('\r');
    for (; end - p >= 16; p += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(v, controls), controls);
        __m128i letter = _mm_or_si128(
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                         _mm_or_si128(_mm_cmpeq_epi8(v, bs), _mm_cmpeq_epi8(v, tab))),
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, ff)), _mm_cmpeq_epi8(v, cr)));
        unsigned any = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(control, letter)));
        if (!any) continue;
        unsigned short_form = static_cast<unsigned>(_mm_movemask_epi8(letter));
        extra += __builtin_popcount(short_form) + 5 * __builtin_popcount(any & ~short_form);
    }
#endif
    for (; p < end; ++p) extra += kEscapeExtra[*p];
    return extra;
}

#ifdef RAPI_CHECKED
// The checked builds hold each string written in place to the room reserved
// for it from the count of its escapes: a miscount would write past it.
void check_room(Py_ssize_t written, Py_ssize_t reserved) {
    if (written > reserved) Py_FatalError("routes.responses_api: JSON text ran past the room reserved for it");
}
#endif

Fit JsonWriter::string(PyObject *s) {
    const int kind = PyUnicode_KIND(s);
    const void *data = PyUnicode_DATA(s);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const Py_UCS4 maxchar = PyUnicode_MAX_CHAR_VALUE(s);

    if (kind == PyUnicode_1BYTE_KIND && n < PY_SSIZE_T_MAX / 8) {
        // Room for the worst case (every character a \u00XX) when the text
        // is short; long text is counted first, so that the output buffer
        // is not over-reserved several times over.
        const Py_UCS1 *text = static_cast<const Py_UCS1 *>(data);
        Py_ssize_t room = n <= 65536 ? 6 * n + 16 : n + escape_extra_latin1(text, text + n) + 16;
        w_.prepare(room + 2, maxchar);
        if (w_.kind == PyUnicode_1BYTE_KIND) {
            Py_UCS1 *start = static_cast<Py_UCS1 *>(w_.data);
            Py_UCS1 *out = start + w_.pos;
            *out++ = '"';
            out = copy_escaped_latin1(text, text + n, out);
            *out++ = '"';
#ifdef RAPI_CHECKED
            check_room(out - (start + w_.pos), room + 2);
#endif
            w_.pos = out - start;
            return Fit::Written;
        }
    }

    // Wider text (or a wider writer): count the escapes, then copy.
    Py_ssize_t extra = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (needs_escape(c)) extra += escape_extra(c);
    }
    w_.prepare(n + extra + 2, maxchar);
    const int wkind = w_.kind;
    char *base = static_cast<char *>(w_.data);
    Py_ssize_t pos = w_.pos;
    PyUnicode_WRITE(wkind, base, pos, '"');
    ++pos;
    if (extra == 0 && wkind == kind) {
        std::memcpy(base + pos * kind, data, static_cast<size_t>(n) * kind);
        pos += n;
    } else if (wkind == PyUnicode_1BYTE_KIND) {  // unreached: 1-byte text took the Latin-1 path above
        pos = copy_escaped_any(kind, data, n, reinterpret_cast<Py_UCS1 *>(base) + pos) -
              reinterpret_cast<Py_UCS1 *>(base);
    } else if (wkind == PyUnicode_2BYTE_KIND) {
        pos = copy_escaped_any(kind, data, n, reinterpret_cast<Py_UCS2 *>(base) + pos) -
              reinterpret_cast<Py_UCS2 *>(base);
    } else {
        pos = copy_escaped_any(kind, data, n, reinterpret_cast<Py_UCS4 *>(base) + pos) -
              reinterpret_cast<Py_UCS4 *>(base);
    }
    PyUnicode_WRITE(wkind, base, pos, '"');
#ifdef RAPI_CHECKED
    check_room(pos + 1 - w_.pos, n + extra + 2);
#endif
    w_.pos = pos + 1;
    return Fit::Written;
}

Fit JsonWriter::write(PyObject *o, int depth) {
    if (o == Py_None) return ascii("null", 4);
    if (o == Py_True) return ascii("true", 4);
    if (o == Py_False) return ascii("false", 5);
    PyTypeObject *tp = Py_TYPE(o);
    if (tp == &PyUnicode_Type) return string(o);
    if (tp == &PyLong_Type) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow) return repr(o);
        char buf[24];
        int len = std::snprintf(buf, sizeof buf, "%lld", v);
        return ascii(buf, len);
    }
    if (tp == &PyFloat_Type) {
        double d = PyFloat_AS_DOUBLE(o);
        if (std::isnan(d)) return ascii("NaN", 3);
        if (std::isinf(d)) return d > 0 ? ascii("Infinity", 8) : ascii("-Infinity", 9);
        return repr(o);
    }
    if (depth >= kMaxDepth) return Fit::Fallback;
    if (tp == &PyList_Type || tp == &PyTuple_Type) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(o);
        if (n == 0) return ascii("[]", 2);
        w_.character('[');
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(o); ++i) {
            if (i > 0) ascii(", ", 2);
            if (write(PySequence_Fast_GET_ITEM(o, i), depth + 1) == Fit::Fallback) return Fit::Fallback;
        }
        w_.character(']');
        return Fit::Written;
    }
    if (tp == &PyDict_Type) {
        if (PyDict_GET_SIZE(o) == 0) return ascii("{}", 2);
        w_.character('{');
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        bool first = true;
        while (PyDict_Next(o, &pos, &key, &value)) {
            if (Py_TYPE(key) != &PyUnicode_Type) return Fit::Fallback;
            if (!first) ascii(", ", 2);
            first = false;
            string(key);
            ascii(": ", 2);
            if (write(value, depth + 1) == Fit::Fallback) return Fit::Fallback;
        }
        w_.character('}');
        return Fit::Written;
    }
    return Fit::Fallback;
}

}  // namespace

Ref write_json(Borrowed obj) {
    JsonWriter writer;
    try {
        if (writer.write(obj.get(), 0) == Fit::Fallback) return Ref();
        return writer.finish();
    } catch (const PyError &) {
        // An error on the way (a number too long for its repr, say) is left
        // to the real call, which reports it itself; an interrupt or any
        // other BaseException is passed on.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        PyErr_Clear();
        return Ref();
    }
}

}  // namespace rapi
