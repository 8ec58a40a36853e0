// Owned and borrowed references: never counted by hand, `Ref` owns and
// `Borrowed` only looks. Like the error convention (errors.hpp) they need
// nothing but Python.h.
#pragma once

#include <utility>

#include "errors.hpp"

namespace rapi {

// An owned (strong) reference. Null only when moved-from or default-built.
// The names say which way ownership moves: `steal` takes over a new
// reference, `retain` makes a new one, `release` hands it back to the C API.
class Ref {
public:
    Ref() noexcept = default;
    // Takes over a new reference; throws if it is null (an error is set).
    static Ref steal(PyObject *o) {
        if (!o) raise();
        return Ref(o);
    }
    // Takes over a possibly-null new reference without checking.
    static Ref steal_or_null(PyObject *o) noexcept { return Ref(o); }
    // Makes a new strong reference to an object someone else owns.
    static Ref retain(PyObject *o) noexcept {
        Py_XINCREF(o);
        return Ref(o);
    }
    Ref(const Ref &other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref &&other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref &operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject *get() const noexcept { return p_; }
    // Gives the reference away: the caller now owns it.
    [[nodiscard]] PyObject *release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject *o) noexcept : p_(o) {}
    PyObject *p_ = nullptr;
};

// A borrowed reference: valid while its owner keeps the object alive; it
// never changes a reference count. It is the parameter type of the value
// layer, made from a `Ref` the caller holds (or a temporary that lives to
// the end of the call) or from a pointer the C API lends. Keep it to
// parameters: a Borrowed stored from a temporary `Ref` would dangle.
class Borrowed {
public:
    Borrowed(const Ref &owner) noexcept : p_(owner.get()) {}  // NOLINT: implicit on purpose
    Borrowed(PyObject *lent) noexcept : p_(lent) {}           // NOLINT: implicit on purpose
    PyObject *get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // A strong reference of one's own to the same object.
    Ref retain() const noexcept { return Ref::retain(p_); }

private:
    PyObject *p_;
};

}  // namespace rapi
