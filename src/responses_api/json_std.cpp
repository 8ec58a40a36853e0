#include "json_std.hpp"

#include <cmath>
#include <cstring>
#include <cstdio>
#include <iterator>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace rapi {

namespace {

// The standard json module as imported with this module, and the objects
// its loads and dumps go through. Strong references, kept for the process.
struct StandardJson {
    PyObject *module = nullptr;
    // loads: json.loads -> _default_decoder.decode -> raw_decode -> scan_once
    PyObject *loads = nullptr;
    PyObject *decoder = nullptr;
    PyObject *decode = nullptr;
    PyObject *raw_decode = nullptr;
    PyObject *scanner = nullptr;
    // dumps: json.dumps -> JSONEncoder(...).encode -> iterencode -> the
    // encoder module's c_make_encoder and encode_basestring
    PyObject *dumps = nullptr;
    PyObject *encoder_class = nullptr;
    PyObject *encoder_init = nullptr;
    PyObject *encode = nullptr;
    PyObject *iterencode = nullptr;
    PyObject *encoder_module_dict = nullptr;
    PyObject *make_encoder = nullptr;
    PyObject *encode_basestring = nullptr;
    // names
    PyObject *n_default_decoder, *n_scan_once, *n_decode, *n_raw_decode, *n_JSONEncoder, *n_init, *n_encode,
        *n_iterencode, *n_c_make_encoder, *n_encode_basestring, *n_encoder;
    bool loads_ok = false;
    bool dumps_ok = false;
};
StandardJson g;

PyObject *type_attr(PyObject *type, PyObject *name) {
    return PyType_Check(type) ? _PyType_Lookup(reinterpret_cast<PyTypeObject *>(type), name) : nullptr;
}

// A module-dict entry, borrowed; null when missing (no error left set).
PyObject *entry(PyObject *dict, PyObject *name) {
    PyObject *v = PyDict_GetItemWithError(dict, name);
    if (!v) PyErr_Clear();
    return v;
}

inline bool is_json_space(Py_UCS4 c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

void capture_standard_json(PyObject *json) {
    const char *names[] = {"_default_decoder", "scan_once", "decode", "raw_decode", "JSONEncoder", "__init__",
                           "encode", "iterencode", "c_make_encoder", "encode_basestring", "encoder"};
    PyObject **slots[] = {&g.n_default_decoder, &g.n_scan_once, &g.n_decode, &g.n_raw_decode, &g.n_JSONEncoder,
                          &g.n_init, &g.n_encode, &g.n_iterencode, &g.n_c_make_encoder, &g.n_encode_basestring,
                          &g.n_encoder};
    for (size_t i = 0; i < std::size(names); ++i)
        if (!(*slots[i] = PyUnicode_InternFromString(names[i]))) raise();
    if (!PyModule_Check(json)) return;
    g.module = Py_NewRef(json);
    PyObject *dict = PyModule_GetDict(json);

    g.loads = Py_XNewRef(entry(dict, S.loads));
    g.decoder = Py_XNewRef(entry(dict, g.n_default_decoder));
    if (g.loads && g.decoder) {
        g.decode = Py_XNewRef(_PyType_Lookup(Py_TYPE(g.decoder), g.n_decode));
        g.raw_decode = Py_XNewRef(_PyType_Lookup(Py_TYPE(g.decoder), g.n_raw_decode));
        g.scanner = PyObject_GetAttr(g.decoder, g.n_scan_once);
        if (!g.scanner) PyErr_Clear();
        g.loads_ok = g.decode && g.raw_decode && g.scanner;
    }

    g.dumps = Py_XNewRef(entry(dict, S.dumps));
    g.encoder_class = Py_XNewRef(entry(dict, g.n_JSONEncoder));
    PyObject *encoder_module = entry(dict, g.n_encoder);
    if (g.dumps && g.encoder_class && encoder_module && PyModule_Check(encoder_module)) {
        g.encoder_init = Py_XNewRef(type_attr(g.encoder_class, g.n_init));
        g.encode = Py_XNewRef(type_attr(g.encoder_class, g.n_encode));
        g.iterencode = Py_XNewRef(type_attr(g.encoder_class, g.n_iterencode));
        g.encoder_module_dict = Py_NewRef(PyModule_GetDict(encoder_module));
        g.make_encoder = Py_XNewRef(entry(g.encoder_module_dict, g.n_c_make_encoder));
        g.encode_basestring = Py_XNewRef(entry(g.encoder_module_dict, g.n_encode_basestring));
        g.dumps_ok = g.encoder_init && g.encode && g.iterencode && g.make_encoder && g.make_encoder != Py_None &&
                     g.encode_basestring;
    }
}

// ------------------------------------------------------------------- loads

PyObject *standard_scanner(PyObject *json) {
    if (!g.loads_ok || json != g.module) return nullptr;
    PyObject *dict = PyModule_GetDict(json);
    if (entry(dict, S.loads) != g.loads || entry(dict, g.n_default_decoder) != g.decoder) return nullptr;
    PyTypeObject *tp = Py_TYPE(g.decoder);
    if (_PyType_Lookup(tp, g.n_decode) != g.decode || _PyType_Lookup(tp, g.n_raw_decode) != g.raw_decode)
        return nullptr;
    Ref scanner = Ref::steal(PyObject_GetAttr(g.decoder, g.n_scan_once));
    return scanner.get() == g.scanner ? g.scanner : nullptr;
}

PyObject *scan_json(PyObject *scanner, PyObject *s) {
    const int kind = PyUnicode_KIND(s);
    const void *data = PyUnicode_DATA(s);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (n > 0 && PyUnicode_READ(kind, data, 0) == 0xFEFF) {
        PyErr_SetString(PyExc_ValueError, "Unexpected UTF-8 BOM (decode using utf-8-sig)");
        return nullptr;
    }
    Py_ssize_t idx = 0;
    while (idx < n && is_json_space(PyUnicode_READ(kind, data, idx))) ++idx;
    PyObject *start = PyLong_FromSsize_t(idx);
    if (!start) return nullptr;
    PyObject *stack[] = {nullptr, s, start};
    // loads reaches the scanner two C recursion levels deeper than this call
    // does (its entry into the interpreter loop); take the same two levels so
    // that nesting hits the recursion limit at exactly the same depth.
    PyObject *pair = nullptr;
    if (!Py_EnterRecursiveCall(" while decoding a JSON document")) {
        if (!Py_EnterRecursiveCall(" while decoding a JSON document")) {
            pair = PyObject_Vectorcall(scanner, stack + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
            Py_LeaveRecursiveCall();
        }
        Py_LeaveRecursiveCall();
    }
    Py_DECREF(start);
    if (!pair) {
        if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_ValueError, "Expecting value");
        }
        return nullptr;
    }
    PyObject *value = nullptr;
    if (PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) == 2) {
        Py_ssize_t end = PyLong_AsSsize_t(PyTuple_GET_ITEM(pair, 1));
        if (end != -1 || !PyErr_Occurred()) {
            while (end < n && is_json_space(PyUnicode_READ(kind, data, end))) ++end;
            if (end == n) value = Py_NewRef(PyTuple_GET_ITEM(pair, 0));
            else PyErr_SetString(PyExc_ValueError, "Extra data");
        }
    } else {
        PyErr_SetString(PyExc_SystemError, "unexpected result from the JSON scanner");
    }
    Py_DECREF(pair);
    return value;
}

// ------------------------------------------------------------------- dumps

namespace {

bool standard_dumps(PyObject *json) {
    if (!g.dumps_ok || json != g.module) return false;
    PyObject *dict = PyModule_GetDict(json);
    return entry(dict, S.dumps) == g.dumps && entry(dict, g.n_JSONEncoder) == g.encoder_class &&
           type_attr(g.encoder_class, g.n_init) == g.encoder_init &&
           type_attr(g.encoder_class, g.n_encode) == g.encode &&
           type_attr(g.encoder_class, g.n_iterencode) == g.iterencode &&
           entry(g.encoder_module_dict, g.n_c_make_encoder) == g.make_encoder &&
           entry(g.encoder_module_dict, g.n_encode_basestring) == g.encode_basestring;
}

// Writes JSON text as the standard encoder does with ensure_ascii=False and
// the default separators. `write` returns false to give up (the value is
// not one the fast path handles); errors are given up on too, and the real
// dumps then raises its own.
class JsonWriter {
public:
    JsonWriter() { _PyUnicodeWriter_Init(&w_); w_.overallocate = 1; }
    ~JsonWriter() {
        if (!finished_) _PyUnicodeWriter_Dealloc(&w_);
    }
    bool write(PyObject *o, int depth);
    PyObject *finish() {
        finished_ = true;
        return _PyUnicodeWriter_Finish(&w_);
    }

private:
    static constexpr int kMaxDepth = 48;  // deeper (or circular) data takes the real call
    bool ascii(const char *s) { return _PyUnicodeWriter_WriteASCIIString(&w_, s, -1) == 0; }
    bool ascii(const char *s, Py_ssize_t n) { return _PyUnicodeWriter_WriteASCIIString(&w_, s, n) == 0; }
    bool string(PyObject *s);
    bool repr(PyObject *o) {
        PyObject *r = Py_TYPE(o)->tp_repr(o);
        if (!r) return false;
        int rc = _PyUnicodeWriter_WriteStr(&w_, r);
        Py_DECREF(r);
        return rc == 0;
    }
    _PyUnicodeWriter w_;
    bool finished_ = false;
};

// The characters the encoder escapes: '"', '\\' and the C0 controls.
inline bool needs_escape(Py_UCS4 c) { return c < 0x20 || c == '"' || c == '\\'; }

// The extra length of the escape of c beyond one character.
inline Py_ssize_t escape_extra(Py_UCS4 c) {
    switch (c) {
        case '\\': case '"': case '\b': case '\f': case '\n': case '\r': case '\t': return 1;
        default: return 5;  // \u00XX
    }
}

// escape_extra for every Latin-1 character, 0 for those left as they are.
constexpr auto kEscapeExtra = [] {
    struct Table {
        unsigned char v[256];
        constexpr unsigned char operator[](size_t i) const { return v[i]; }
    } t{};
    for (int c = 0; c < 0x20; ++c) t.v[c] = 5;
    for (int c : {'\\', '"', '\b', '\f', '\n', '\r', '\t'}) t.v[c] = 1;
    return t;
}();

// The letter of the two-character escape of c ('n' for a line feed, ...),
// or 0 when c is written as \u00XX. Only for characters that need escaping.
constexpr auto kEscapeLetter = [] {
    struct Table {
        char v[128];
        constexpr char operator[](size_t i) const { return v[i]; }
    } t{};
    t.v['\\'] = '\\';
    t.v['"'] = '"';
    t.v['\b'] = 'b';
    t.v['\f'] = 'f';
    t.v['\n'] = 'n';
    t.v['\r'] = 'r';
    t.v['\t'] = 't';
    return t;
}();

// Writes the escape of c, a character that needs one (so c < 0x80).
template <class Dst>
inline Dst *write_escape(Dst *out, Py_UCS4 c) {
    static const char hex[] = "0123456789abcdef";
    out[0] = '\\';
    if (char letter = kEscapeLetter[c]) {
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
        case PyUnicode_1BYTE_KIND: return copy_escaped(static_cast<const Py_UCS1 *>(in), n, out);
        case PyUnicode_2BYTE_KIND: return copy_escaped(static_cast<const Py_UCS2 *>(in), n, out);
        default: return copy_escaped(static_cast<const Py_UCS4 *>(in), n, out);
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

bool JsonWriter::string(PyObject *s) {
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
        if (_PyUnicodeWriter_Prepare(&w_, room + 2, maxchar) < 0) return false;
        if (w_.kind == PyUnicode_1BYTE_KIND) {
            Py_UCS1 *start = static_cast<Py_UCS1 *>(w_.data);
            Py_UCS1 *out = start + w_.pos;
            *out++ = '"';
            out = copy_escaped_latin1(text, text + n, out);
            *out++ = '"';
            w_.pos = out - start;
            return true;
        }
    }

    // Wider text (or a wider writer): count the escapes, then copy.
    Py_ssize_t extra = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (needs_escape(c)) extra += escape_extra(c);
    }
    if (_PyUnicodeWriter_Prepare(&w_, n + extra + 2, maxchar) < 0) return false;
    const int wkind = w_.kind;
    char *base = static_cast<char *>(w_.data);
    Py_ssize_t pos = w_.pos;
    PyUnicode_WRITE(wkind, base, pos, '"');
    ++pos;
    if (extra == 0 && wkind == kind) {
        std::memcpy(base + pos * kind, data, static_cast<size_t>(n) * kind);
        pos += n;
    } else if (wkind == PyUnicode_1BYTE_KIND) {
        pos = copy_escaped_any(kind, data, n, reinterpret_cast<Py_UCS1 *>(base) + pos) - reinterpret_cast<Py_UCS1 *>(base);
    } else if (wkind == PyUnicode_2BYTE_KIND) {
        pos = copy_escaped_any(kind, data, n, reinterpret_cast<Py_UCS2 *>(base) + pos) - reinterpret_cast<Py_UCS2 *>(base);
    } else {
        pos = copy_escaped_any(kind, data, n, reinterpret_cast<Py_UCS4 *>(base) + pos) - reinterpret_cast<Py_UCS4 *>(base);
    }
    PyUnicode_WRITE(wkind, base, pos, '"');
    w_.pos = pos + 1;
    return true;
}

bool JsonWriter::write(PyObject *o, int depth) {
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
    if (depth >= kMaxDepth) return false;
    if (tp == &PyList_Type || tp == &PyTuple_Type) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(o);
        if (n == 0) return ascii("[]", 2);
        if (_PyUnicodeWriter_WriteChar(&w_, '[') < 0) return false;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(o); ++i) {
            if (i > 0 && !ascii(", ", 2)) return false;
            if (!write(PySequence_Fast_GET_ITEM(o, i), depth + 1)) return false;
        }
        return _PyUnicodeWriter_WriteChar(&w_, ']') == 0;
    }
    if (tp == &PyDict_Type) {
        if (PyDict_GET_SIZE(o) == 0) return ascii("{}", 2);
        if (_PyUnicodeWriter_WriteChar(&w_, '{') < 0) return false;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        bool first = true;
        while (PyDict_Next(o, &pos, &key, &value)) {
            if (Py_TYPE(key) != &PyUnicode_Type) return false;
            if (!first && !ascii(", ", 2)) return false;
            first = false;
            if (!string(key) || !ascii(": ", 2) || !write(value, depth + 1)) return false;
        }
        return _PyUnicodeWriter_WriteChar(&w_, '}') == 0;
    }
    return false;
}

}  // namespace

Ref dumps_text(PyObject *json, PyObject *obj) {
    if (!standard_dumps(json)) return Ref();
    JsonWriter writer;
    if (!writer.write(obj, 0)) {
        if (PyErr_Occurred()) {
            // Only an interrupt is passed on; anything else the real call reports itself.
            if (!PyErr_ExceptionMatches(PyExc_Exception)) raise();
            PyErr_Clear();
        }
        return Ref();
    }
    return Ref::steal(writer.finish());
}

}  // namespace rapi
