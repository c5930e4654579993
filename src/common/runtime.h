// What the methods find at call time: the module namespace (for the names
// that callers may rebind, such as `tolvan.time`) and the builtins bound
// when the module was loaded.
#pragma once

#include "common/calls.h"

namespace tolvan::runtime {

// The builtins that the methods use, looked up once per load.
struct Builtins {
    PyObject* print = nullptr;
    PyObject* sum = nullptr;
    PyObject* range = nullptr;
    PyObject* RuntimeError = nullptr;
    PyObject* ValueError = nullptr;
    // Whether `sum` is the interpreter's own, so that int sums may be done in C.
    bool sum_is_builtin = false;
};

const Builtins& builtins();

// Binds the builtins as they are now; false with NameError set when one is
// missing, or with the error that looking it up raised.
bool bind_builtins();

// The namespace of the module being loaded or loaded.
void set_module_dict(PyObject* dict);

// Drops everything a failed load bound, so that the next load starts afresh.
void forget_load();

namespace detail {
// The module namespace (strong), set while a load runs and once it succeeded.
extern PyObject* module_dict;
// global() past the module namespace: the builtins, else NameError.
Ref builtin_or_name_error(PyObject* name);
}  // namespace detail

// Looks `name` up as a function body would: the module namespace first, then
// the builtins. Raises NameError when neither has it.
inline Ref global(PyObject* name) {
    if (detail::module_dict != nullptr) {
        PyObject* found = PyDict_GetItemWithError(detail::module_dict, name);  // borrowed
        if (found != nullptr) return Ref::borrow(found);
        if (PyErr_Occurred()) return Ref();
    }
    return detail::builtin_or_name_error(name);
}

// global(name).attribute, both looked up now.
inline Ref global_attr(PyObject* name, PyObject* attribute) {
    Ref holder = global(name);
    return holder ? get_attr(holder.get(), attribute) : Ref();
}

// print(text), through the print builtin bound at load.
bool print_line(PyObject* text);

}  // namespace tolvan::runtime
