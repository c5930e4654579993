#include "common/runtime.h"

#include <cstring>

namespace tolvan::runtime {

namespace {

Builtins bound;
// Strong reference, dropped only when a failed load forgets its module.
PyObject* module_dict = nullptr;

bool bind_one(PyObject* builtins_dict, const char* name, PyObject*& slot) {
    if (slot != nullptr) {
        return true;
    }
    PyObject* found = PyDict_GetItemString(builtins_dict, name);  // borrowed
    if (found == nullptr) {
        Ref text = Ref::steal(PyUnicode_FromString(name));
        if (text) {
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", text.get());
        }
        return false;
    }
    Py_INCREF(found);
    slot = found;
    return true;
}

}  // namespace

const Builtins& builtins() { return bound; }

bool bind_builtins() {
    PyObject* builtins_dict = PyEval_GetBuiltins();  // borrowed
    if (builtins_dict == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "no builtins available");
        return false;
    }
    if (!bind_one(builtins_dict, "print", bound.print) || !bind_one(builtins_dict, "sum", bound.sum) ||
        !bind_one(builtins_dict, "range", bound.range) ||
        !bind_one(builtins_dict, "RuntimeError", bound.RuntimeError) ||
        !bind_one(builtins_dict, "ValueError", bound.ValueError)) {
        return false;
    }
    bound.sum_is_builtin =
        PyCFunction_Check(bound.sum) &&
        std::strcmp(reinterpret_cast<PyCFunctionObject*>(bound.sum)->m_ml->ml_name, "sum") == 0;
    return true;
}

void set_module_dict(PyObject* dict) {
    Py_XINCREF(dict);
    Py_XSETREF(module_dict, dict);
}

Ref global(PyObject* name) {
    if (module_dict != nullptr) {
        PyObject* found = PyDict_GetItemWithError(module_dict, name);  // borrowed
        if (found != nullptr) {
            return Ref::borrow(found);
        }
        if (PyErr_Occurred()) {
            return Ref();
        }
    }
    PyObject* builtins_dict = PyEval_GetBuiltins();  // borrowed
    if (builtins_dict != nullptr) {
        PyObject* found = PyDict_GetItemWithError(builtins_dict, name);  // borrowed
        if (found != nullptr) {
            return Ref::borrow(found);
        }
        if (PyErr_Occurred()) {
            return Ref();
        }
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref();
}

Ref global_attr(PyObject* name, PyObject* attribute) {
    Ref holder = global(name);
    return holder ? Ref::steal(PyObject_GetAttr(holder.get(), attribute)) : Ref();
}

bool print_line(PyObject* text) {
    PyObject* args[] = {text};
    return Ref::steal(PyObject_Vectorcall(bound.print, args, 1, nullptr)).get() != nullptr;
}

}  // namespace tolvan::runtime
