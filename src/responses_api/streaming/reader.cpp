// stream_raw's body (see reader.hpp): start, read, translate, leave the
// `with` block on every way out; pinned down by the twin's `stream_raw` and tests/streaming/.
#include "streaming/reader.hpp"

#include "callables.hpp"
#include "errors.hpp"
#include "json/json.hpp"

namespace rapi {

// ------------------------------------------------------------ capture

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

StreamReader::StreamReader(Borrowed url, Borrowed headers, Borrowed payload, Borrowed debug_logger)
    : url_(url.retain()), headers_(headers.retain()), payload_(payload.retain()), debug_logger_(debug_logger.retain()) {
}

int StreamReader::traverse(visitproc visit, void *arg) {
    for (const Ref *r : {&url_, &headers_, &payload_, &debug_logger_, &exit_, &resp_, &reader_, &current_event})
        Py_VISIT(r->get());
    if (int e = raw_sse_lines.traverse(visit, arg)) return e;
    if (int e = translation.traverse(visit, arg)) return e;
    return pending.traverse(visit, arg);
}

void StreamReader::clear() {
    for (Ref *r : {&url_, &headers_, &payload_, &debug_logger_, &exit_, &resp_, &reader_, &current_event}) *r = Ref();
    raw_sse_lines.clear();
    translation.clear();
    pending.clear();
    byte_buffer.clear();
}

void StreamReader::finish() {
    stage_ = Stage::Finished;
    clear();
}

// ------------------------------------------------------------ start steps

namespace {

// json.dumps(payload, ensure_ascii=False, separators=(",", ":")).encode("utf-8")
Ref serialise(Borrowed payload) {
    Ref text = call_kw(attr(global(S.json), S.dumps), 1, C.kw_dumps_compact, payload, Py_False, C.compact_separators);
    if (PyUnicode_CheckExact(text.get())) return Ref::steal(PyUnicode_AsUTF8String(text.get()));
    return call_method(text, S.encode, S.utf_8);
}

}  // namespace

// The start entries of the debug record; the first failing write ends them.
void StreamReader::write_start_entries(Borrowed body_bytes) {
    auto writes = [&] {
        store(debug_logger_, S.body, body_bytes);
        store(debug_logger_, S.payload, payload_);
        Py_ssize_t size = PyObject_Size(body_bytes.get());
        if (size < 0) raise();
        store(debug_logger_, S.size, new_int(size));
        store(debug_logger_, S.url, url_);
        Ref time = call(global(S.dunder_import), S.time);
        store(debug_logger_, S.timestamp, call_method(time, S.time));
    };
    try {
        writes();
    } catch (const PyError &) {
        // `except Exception: pass`
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        PyErr_Clear();
    }
}

// `with <manager> as resp:` up to the body: __enter__ is called, __exit__
// kept. Each is looked up on the type and bound as soon as found, in the
// statement's order, with its message when missing.
void StreamReader::enter_with(Borrowed manager) {
    PyTypeObject *tp = Py_TYPE(manager.get());
    auto special = [&](PyObject *name) {
        Ref descr = type_lookup(tp, name);
        if (descr) {
            descrgetfunc get = Py_TYPE(descr.get())->tp_descr_get;
            return get ? Ref::steal(get(descr.get(), manager.get(), reinterpret_cast<PyObject *>(tp))) : descr;
        }
        if (PyErr_Occurred()) raise();
#if PY_VERSION_HEX >= 0x030E0000
        // 3.14 names the type in full and the method missed, and points to
        // `async with` when the type has both asynchronous methods.
        auto has = [&](const char *other) {
            Ref other_name = Ref::steal(PyUnicode_FromString(other));
            return static_cast<bool>(type_lookup(tp, other_name.get()));
        };
        bool async = has("__aenter__") && has("__aexit__");
        PyErr_Format(PyExc_TypeError, "'%T' object does not support the context manager protocol (missed %U method)%s",
                     manager.get(), name,
                     async ? " but it supports the asynchronous context manager protocol. "
                             "Did you mean to use 'async with'?"
                           : "");
#else
        PyErr_Format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol%s", tp->tp_name,
                     name == S.dunder_exit ? " (missed __exit__ method)" : "");
#endif
        raise();
    };
#if PY_VERSION_HEX >= 0x030E0000
    Ref exit = special(S.dunder_exit);  // 3.14 takes __exit__ first
    Ref enter = special(S.dunder_enter);
#else
    Ref enter = special(S.dunder_enter);
    Ref exit = special(S.dunder_exit);
#endif
    resp_ = call(enter);
    exit_ = std::move(exit);
}

void StreamReader::start() {
    Ref body_bytes = serialise(payload_);
    if (truthy(debug_logger_)) write_start_entries(body_bytes);

    Ref req = call_kw(urllib_request(S.Request), 2, C.kw_request, url_, body_bytes, headers_, S.POST);
    Ref manager = call_kw(attr(global(S.opener_name), S.open), 1, C.kw_timeout, req, C.timeout);
    enter_with(manager);
    stage_ = Stage::Open;
    current_event = Ref::retain(Py_None);
}

// ------------------------------------------------------------ the reader

namespace {

// json.loads(data_str); an empty Ref when it raises json.JSONDecodeError or
// ValueError (the line is skipped).
Ref decode_json(Borrowed data_str) {
    Ref json = global(S.json);
    try {
        if (PyObject *scanner = PyUnicode_CheckExact(data_str.get()) ? standard_scanner(json) : nullptr)
            if (Ref value = scan_json(scanner, data_str.get())) return value;  // else too deep for it to tell
        return call(attr(json, S.loads), data_str);
    } catch (const PyError &) {  // NOLINT(bugprone-empty-catch): handled below
        // as the except clause around json.loads
    }

    Ref exc = Ref::steal_or_null(PyErr_GetRaisedException());
    // `except (json.JSONDecodeError, ValueError)`: the clause is evaluated
    // now; if that fails, its error propagates, chained to this one.
    Ref decode_error;
    try {
        decode_error = attr(global(S.json), S.JSONDecodeError);
    } catch (const PyError &) {
        Ref raised = Ref::steal_or_null(PyErr_GetRaisedException());
        PyException_SetContext(raised.get(), exc.release());  // steals the context
        PyErr_SetRaisedException(raised.release());
        throw;
    }
    if (PyErr_GivenExceptionMatches(exc.get(), decode_error.get()) ||
        PyErr_GivenExceptionMatches(exc.get(), PyExc_ValueError))
        return Ref();
    PyErr_SetRaisedException(exc.release());
    raise();
}

}  // namespace

void StreamReader::process_data(Borrowed data_str) {
    if (equals(data_str, S.done_marker)) {
        write_sse_count(debug_logger_, raw_sse_lines);
        ending_ = true;
        return;
    }
    Ref data = decode_json(data_str);
    if (!data) return;
    raw_sse_lines.push(data_str.get());
    Translated translated = translation.translate(data, current_event, pending);
    if (translated.usage) write_completion_entries(translated.usage);
    if (translated.ends) ending_ = true;
}

// The entries of the debug record that a completion writes, before its
// finish delta is handed out.
void StreamReader::write_completion_entries(Borrowed usage) {
    if (is_none(debug_logger_)) return;
    store(debug_logger_, S.usage, usage);
    write_sse_count(debug_logger_, raw_sse_lines);
    store(debug_logger_, S.raw_sse_tail, raw_sse_lines.tail(5));
}

void StreamReader::process_line(const char *bytes, size_t n) {
    SseLine line = classify_line(bytes, n);
    switch (line.kind) {
        case SseLine::Undecodable:
        case SseLine::Other:
            return;
        case SseLine::Blank:
            current_event = Ref::retain(Py_None);
            return;
        case SseLine::Event:
            current_event = std::move(line.value);
            return;
        case SseLine::Data:
            process_data(line.value);
            return;
    }
}

void StreamReader::end_of_body() {
    byte_buffer.clear();
    write_sse_count(debug_logger_, raw_sse_lines);
    pending.push(StreamTranslation::end_of_stream_delta());
    ending_ = true;
}

// The next delta, or an empty Ref when the stream is over.
Ref StreamReader::advance() {
    for (;;) {
        if (!pending.empty()) return pending.pop();
        if (ending_) return Ref();
        const char *line = nullptr;
        size_t n = 0;
        if (byte_buffer.next_line(line, n)) {
            process_line(line, n);
            continue;
        }
        Ref chunk = call(reader_, C.read_size);
        if (!truthy(chunk)) {
            end_of_body();
            continue;
        }
        byte_buffer.append(chunk.get());
    }
}

// ------------------------------------------------------------ ways out

// Leaves the `with` block normally: __exit__(None, None, None); throws the
// exit's error.
void StreamReader::leave_normally() {
    Ref exit = std::move(exit_);
    finish();
    if (exit && !attempt([&] { call(exit, Py_None, Py_None, Py_None); })) {
        add_traceback(Entry::StreamRaw);
        raise();
    }
}

// Leaves the `with` block with the exception that is set: __exit__ gets
// (type, value, traceback). Returns when a true result swallowed it (the
// body then ends normally); else throws it, or the exit's own error.
void StreamReader::leave_with_exception() {
    add_traceback(Entry::StreamRaw);
    Ref exit = std::move(exit_);
    finish();
    if (!exit) raise();
    Ref exc = Ref::steal_or_null(PyErr_GetRaisedException());
    Ref tb = Ref::steal_or_null(PyException_GetTraceback(exc.get()));
    // __exit__ runs as inside the `except` that handles the exception.
    Ref previous = Ref::steal_or_null(PyErr_GetHandledException());
    PyErr_SetHandledException(exc.get());
    bool swallow = false;
    bool exited = attempt([&] {
        swallow = truthy(call(exit, reinterpret_cast<PyObject *>(Py_TYPE(exc.get())), exc, tb ? tb.get() : Py_None));
    });
    PyErr_SetHandledException(previous.get());
    if (!exited) {
        add_traceback(Entry::StreamRaw);
        raise();
    }
    if (swallow) return;  // finished normally
    PyErr_SetRaisedException(exc.release());
    raise();
}

Ref StreamReader::resume(bool thrown) {
    if (stage_ == Stage::Finished) return Ref();
    const bool starting = stage_ == Stage::Created;
    if (starting && (thrown || !attempt([&] { start(); }))) {
        finish();
        add_traceback(Entry::StreamRaw);
        raise();
    }
    // Inside the `with` block: whatever is raised there (or thrown in) leaves it.
    Ref delta;
    const bool stepped = !thrown && attempt([&] {
        if (starting) {
            bool has_read1 = check(PyObject_HasAttrWithError(resp_.get(), S.read1)) != 0;
            reader_ = attr(resp_, has_read1 ? S.read1 : S.read);
        }
        delta = advance();
    });
    if (!stepped) {
        leave_with_exception();  // returned: __exit__ swallowed it, the body ends
        return Ref();
    }
    if (!delta) leave_normally();
    return delta;
}

}  // namespace rapi
