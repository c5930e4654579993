// The argument rules shared by every method of the driver class.
#pragma once

#include "tolvan/method.h"

namespace tolvan {

// Binds the arguments of one call to the parameters of `spec`.
//
// `names` holds the parameter names as str objects and `defaults` the default
// values of the trailing parameters (a tuple, or None). On success every entry
// of `bound` (spec.parameter_count of them) holds a borrowed reference and the
// result is true; otherwise TypeError is set, worded as the driver's
// callers know it, and nothing else has happened.
bool bind_arguments(const MethodSpec& spec, PyObject* const* names, PyObject* defaults, PyObject* const* args,
                    Py_ssize_t positional_count, PyObject* keyword_names, PyObject** bound);

}  // namespace tolvan
