// Handling a raised exception the way an `except` clause does.
#pragma once

#include "common/ref.h"

namespace tolvan {

// Takes the current exception off the thread, so that code may run to decide
// what to do with it (look up the class to match, print its text).
class CaughtException {
public:
    CaughtException() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        value_ = PyErr_GetRaisedException();
#else
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        if (traceback != nullptr && value != nullptr) {
            PyException_SetTraceback(value, traceback);
        }
        Py_XDECREF(type);
        Py_XDECREF(traceback);
        value_ = value;
#endif
    }
    CaughtException(const CaughtException&) = delete;
    CaughtException& operator=(const CaughtException&) = delete;
    ~CaughtException() { Py_XDECREF(value_); }

    PyObject* value() const noexcept { return value_; }

    // Whether `except clause:` catches it: 1 or 0. A clause that is not an
    // exception class, or a tuple of them, is an error, as in the interpreter:
    // -1 with TypeError set and this exception as its context.
    int matches(PyObject* clause) {
        if (!is_valid_clause(clause)) {
            PyErr_SetString(PyExc_TypeError,
                            "catching classes that do not inherit from BaseException is not allowed");
            become_context_of_current();
            return -1;
        }
        return PyErr_GivenExceptionMatches(value_, clause);
    }

    // Raises it again, unchanged. Returns nullptr for the caller to pass on.
    PyObject* reraise() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(value_);
#else
        PyObject* type = value_ != nullptr ? Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value_))) : nullptr;
        PyErr_Restore(type, value_, value_ != nullptr ? PyException_GetTraceback(value_) : nullptr);
#endif
        value_ = nullptr;
        return nullptr;
    }

    // Code run while handling this exception raised a new one: record this
    // exception as its __context__, as the interpreter does. Returns nullptr.
    PyObject* become_context_of_current() noexcept {
        CaughtException raised;
        if (raised.value_ != nullptr && value_ != nullptr && raised.value_ != value_) {
            PyException_SetContext(raised.value_, Py_NewRef(value_));
        }
        return raised.reraise();
    }

private:
    static bool is_valid_clause(PyObject* clause) {
        if (!PyTuple_Check(clause)) return PyExceptionClass_Check(clause);
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(clause); ++i) {
            if (!PyExceptionClass_Check(PyTuple_GET_ITEM(clause, i))) return false;
        }
        return true;
    }

    PyObject* value_ = nullptr;
};

// raise exception_class(message): returns nullptr for the caller to pass on.
inline PyObject* raise_new(PyObject* exception_class, PyObject* message) {
    Ref exception = Ref::steal(PyObject_CallOneArg(exception_class, message));
    if (!exception) return nullptr;
    if (!PyExceptionInstance_Check(exception.get())) {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        return nullptr;
    }
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())), exception.get());
    return nullptr;
}

}  // namespace tolvan
