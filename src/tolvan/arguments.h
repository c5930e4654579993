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

// A call with keywords, or with a wrong positional count: bind_arguments
// for every call that its first branch does not take.
bool bind_with_keywords(const Signature& signature, PyObject* const* args, Py_ssize_t positional_count,
                        PyObject* keyword_names, Arguments& bound);

// The TypeError of an argument not of its exact type. Returns false.
bool raise_type_error(const Parameter& parameter, PyTypeObject* expected, PyObject* value);

// Every annotated argument of its exact type; else the TypeError of the
// first that is not, in parameter order.
inline bool check_types(const Signature& signature, const Arguments& bound) {
    const MethodSpec& spec = *signature.spec;
    for (int i = 0; i < spec.parameter_count; ++i) {
        PyTypeObject* expected = signature.exact_types[i];
        PyObject* value = bound.*(spec.parameters[i].field);
        if (expected != nullptr && Py_TYPE(value) != expected) {
            return raise_type_error(spec.parameters[i], expected, value);
        }
    }
    return true;
}

// Binds the arguments of one vectorcall to the parameters of `signature`,
// by name into `bound`. On success every bound field holds a borrowed
// reference; otherwise TypeError is set, worded as the driver's callers know
// it, and nothing else has happened.
inline bool bind_arguments(const Signature& signature, PyObject* const* args, size_t nargsf,
                           PyObject* keyword_names, Arguments& bound) {
    const MethodSpec& spec = *signature.spec;
    const Py_ssize_t positional_count = PyVectorcall_NARGS(nargsf);
    if (keyword_names == nullptr && positional_count >= signature.required &&
        positional_count <= spec.parameter_count) {
        // The usual call: every argument by position, the default filling in.
        for (Py_ssize_t i = 0; i < spec.parameter_count; ++i) {
            bound.*(spec.parameters[i].field) = i < positional_count ? args[i] : signature.default_value;
        }
    } else if (!bind_with_keywords(signature, args, positional_count, keyword_names, bound)) {
        return false;
    }
    return check_types(signature, bound);
}

}  // namespace tolvan
