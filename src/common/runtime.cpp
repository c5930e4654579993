#include "common/runtime.h"

#include "common/calls.h"
#include "common/names.h"

#include <cstring>
#include <utility>

namespace tolvan::runtime {

PyObject* detail::module_dict = nullptr;

namespace {

// Strong references, held from a load until the process ends or the load fails.
Builtins bound;

void release_builtins() {
    Py_CLEAR(bound.print);
    Py_CLEAR(bound.sum);
    Py_CLEAR(bound.range);
    Py_CLEAR(bound.RuntimeError);
    Py_CLEAR(bound.ValueError);
    bound.sum_is_builtin = false;
}

// builtins[name], telling a missing name (NameError) from a failed look-up.
PyObject* look_up_builtin(PyObject* builtins_dict, PyObject* name) {
    PyObject* found = PyDict_GetItemWithError(builtins_dict, name);  // borrowed
    if (found == nullptr && !PyErr_Occurred()) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return Py_XNewRef(found);
}

// The C function `sum` of the builtins module, not a replacement.
bool is_interpreters_sum(PyObject* sum) {
    if (!PyCFunction_CheckExact(sum)) return false;
    const auto* function = reinterpret_cast<PyCFunctionObject*>(sum);
    PyObject* owner = function->m_self;
    if (std::strcmp(function->m_ml->ml_name, "sum") != 0 || owner == nullptr || !PyModule_CheckExact(owner)) {
        return false;
    }
    const char* owner_name = PyModule_GetName(owner);
    if (owner_name == nullptr) {
        PyErr_Clear();
        return false;
    }
    return std::strcmp(owner_name, "builtins") == 0;
}

}  // namespace

const Builtins& builtins() { return bound; }

bool bind_builtins() {
    release_builtins();
    PyObject* builtins_dict = PyEval_GetBuiltins();  // borrowed
    if (builtins_dict == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "no builtins available");
        return false;
    }
    for (auto [slot, name] : {std::pair{&bound.print, names::print}, std::pair{&bound.sum, names::sum},
                              std::pair{&bound.range, names::range},
                              std::pair{&bound.RuntimeError, names::RuntimeError},
                              std::pair{&bound.ValueError, names::ValueError}}) {
        *slot = look_up_builtin(builtins_dict, name);
        if (*slot == nullptr) return false;
    }
    bound.sum_is_builtin = is_interpreters_sum(bound.sum);
    return true;
}

void set_module_dict(PyObject* dict) {
    Py_XINCREF(dict);
    Py_XSETREF(detail::module_dict, dict);
}

void forget_load() {
    release_builtins();
    Py_CLEAR(detail::module_dict);
}

Ref detail::builtin_or_name_error(PyObject* name) {
    PyObject* builtins_dict = PyEval_GetBuiltins();  // borrowed
    if (builtins_dict != nullptr) {
        PyObject* found = PyDict_GetItemWithError(builtins_dict, name);  // borrowed
        if (found != nullptr) return Ref::borrow(found);
        if (PyErr_Occurred()) return Ref();
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref();
}

bool print_line(PyObject* text) { return static_cast<bool>(call(bound.print, text)); }

}  // namespace tolvan::runtime
