// Ownership of Python references.
//
// Every new reference the module creates is held by a Ref, which releases it
// when it goes out of scope. Borrowed references stay plain PyObject* and are
// never stored beyond the lifetime of their owner.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tolvan {

class Ref {
public:
    Ref() noexcept = default;

    // Takes over a new reference (or nullptr, which then signals a raised error).
    static Ref steal(PyObject* owned) noexcept { return Ref(owned); }

    // Adds a reference of its own to an object borrowed from elsewhere.
    static Ref borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }

    static Ref none() noexcept { return borrow(Py_None); }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;

    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }

    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Hands the reference to a caller that takes ownership (a C API return value).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

private:
    explicit Ref(PyObject* owned) noexcept : object_(owned) {}

    PyObject* object_ = nullptr;
};

}  // namespace tolvan
