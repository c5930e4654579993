// Handling a raised exception the way an `except` clause does.
#pragma once

#include "common/ref.h"

namespace tolvan {

// Takes the current exception off the thread, so that code may run to decide
// what to do with it (look up the class to match, print its text).
class CaughtException {
public:
    CaughtException() noexcept {
        PyErr_Fetch(&type_, &value_, &traceback_);
        PyErr_NormalizeException(&type_, &value_, &traceback_);
        if (traceback_ != nullptr && value_ != nullptr) {
            PyException_SetTraceback(value_, traceback_);
        }
    }
    CaughtException(const CaughtException&) = delete;
    CaughtException& operator=(const CaughtException&) = delete;
    ~CaughtException() {
        Py_XDECREF(type_);
        Py_XDECREF(value_);
        Py_XDECREF(traceback_);
    }

    // isinstance(exception, exception_class), as an except clause tests it.
    bool matches(PyObject* exception_class) const {
        return PyErr_GivenExceptionMatches(type_, exception_class) != 0;
    }

    PyObject* value() const noexcept { return value_; }

    // Raises it again, unchanged. Returns nullptr for the caller to pass on.
    PyObject* reraise() noexcept {
        PyErr_Restore(type_, value_, traceback_);
        type_ = value_ = traceback_ = nullptr;
        return nullptr;
    }

    // Code run while handling this exception raised a new one: record this
    // exception as its __context__, as the interpreter does. Returns nullptr.
    PyObject* become_context_of_current() noexcept {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        if (value != nullptr && value_ != nullptr && value != value_) {
            PyException_SetContext(value, Py_NewRef(value_));
        }
        PyErr_Restore(type, value, traceback);
        return nullptr;
    }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
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
