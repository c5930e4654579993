// What the methods find at call time: the module namespace (for the names
// that callers may rebind, such as `tolvan.time`) and the builtins bound
// when the module was loaded.
#pragma once

#include "common/ref.h"

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

// Looks `name` up as a function body would: the module namespace first, then
// the builtins. Raises NameError when neither has it.
Ref global(PyObject* name);

// global(name).attribute, both looked up now.
Ref global_attr(PyObject* name, PyObject* attribute);

// print(text), through the print builtin bound at load.
bool print_line(PyObject* text);

}  // namespace tolvan::runtime
