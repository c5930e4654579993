// Thin, owning wrappers around the attribute, call and item protocols, so that
// command code reads like the Python it mirrors.
#pragma once

#include "common/ref.h"

#include <array>

namespace tolvan {

// object.name. The names here are always str, so the type's own attribute
// slot is called directly, as the interpreter does.
inline Ref get_attr(PyObject* object, PyObject* name) {
    const getattrofunc getattro = Py_TYPE(object)->tp_getattro;
    return Ref::steal(getattro != nullptr ? getattro(object, name) : PyObject_GetAttr(object, name));
}

inline Ref get_attr_string(PyObject* object, const char* name) {
    return Ref::steal(PyObject_GetAttrString(object, name));
}

// object.name(args...), without creating a bound method.
template <typename... Args>
Ref call_method(PyObject* object, PyObject* name, Args... args) {
    std::array<PyObject*, 1 + sizeof...(Args)> stack{object, args...};
    return Ref::steal(PyObject_VectorcallMethod(name, stack.data(),
                                                stack.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// callable(args...)
template <typename... Args>
Ref call(PyObject* callable, Args... args) {
    // One spare slot in front lets the callee prepend `self` without copying.
    std::array<PyObject*, 1 + sizeof...(Args)> stack{nullptr, args...};
    return Ref::steal(
        PyObject_Vectorcall(callable, stack.data() + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// sequence[index] = value, with the full semantics of item assignment.
inline bool set_item(PyObject* sequence, Py_ssize_t index, PyObject* value) {
    if (PyList_CheckExact(sequence)) {
        const Py_ssize_t size = PyList_GET_SIZE(sequence);
        const Py_ssize_t position = index < 0 ? index + size : index;
        if (position >= 0 && position < size) {
            return PyList_SetItem(sequence, position, Py_NewRef(value)) == 0;
        }
    }
    Ref key = Ref::steal(PyLong_FromSsize_t(index));
    return key && PyObject_SetItem(sequence, key.get(), value) == 0;
}

// sequence[index], with the full semantics of subscription.
inline Ref get_item(PyObject* sequence, Py_ssize_t index) {
    if (PyList_CheckExact(sequence)) {
        const Py_ssize_t size = PyList_GET_SIZE(sequence);
        const Py_ssize_t position = index < 0 ? index + size : index;
        if (position >= 0 && position < size) {
            return Ref::borrow(PyList_GET_ITEM(sequence, position));
        }
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return Ref();
    }
    Ref key = Ref::steal(PyLong_FromSsize_t(index));
    return key ? Ref::steal(PyObject_GetItem(sequence, key.get())) : Ref();
}

// bool(left == right), with Python's comparison (no identity shortcut).
inline int equals(PyObject* left, PyObject* right) {
    Ref result = Ref::steal(PyObject_RichCompare(left, right, Py_EQ));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

}  // namespace tolvan
