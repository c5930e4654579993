// The argument rules shared by every method of the driver class.
#pragma once

#include "tolvan/method.h"

namespace tolvan {

// What the argument rules need to know of one method, prepared once when the
// method object is made. The method object owns every reference here.
struct Signature {
    const MethodSpec* spec = nullptr;
    PyObject* names[max_parameters] = {};             // interned parameter names
    PyTypeObject* exact_types[max_parameters] = {};  // the type an argument must have, or nullptr
    PyObject* default_value = nullptr;               // of the last parameter, or nullptr
    Py_ssize_t required = 0;                         // parameters without a default
};

// The exact type that an annotation demands ("int" -> int), or nullptr.
PyTypeObject* annotated_type(const char* annotation);

// Binds the arguments of one vectorcall to the parameters of `signature`,
// by name into `bound`. On success every bound field holds a borrowed
// reference; otherwise TypeError is set, worded as the driver's callers know
// it, and nothing else has happened.
bool bind_arguments(const Signature& signature, PyObject* const* args, size_t nargsf, PyObject* keyword_names,
                    Arguments& bound);

}  // namespace tolvan
