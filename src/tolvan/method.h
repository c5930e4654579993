// The driver's method objects.
//
// A method behaves like a Python function stored in a class: it binds to
// instances, carries __name__, __qualname__, __doc__, __module__, __defaults__
// and __annotations__, shows its real parameters to inspect.signature, can be
// weakly referenced and pickled by name, and checks its arguments before its
// body runs.
#pragma once

#include "common/arguments.h"

#include <optional>

namespace tolvan {

struct Parameter {
    const char* name;
    PyObject* Arguments::*field;
    // The annotation text ("int", "str", "list", "bytes"), or nullptr for none.
    // An annotated argument must be of exactly that type.
    const char* annotation;
};

// A parameter named after the field it binds: TOLVAN_PARAMETER(ch, "int").
#define TOLVAN_PARAMETER(field, annotation) \
    ::tolvan::Parameter { #field, &::tolvan::Arguments::field, annotation }

inline constexpr int max_parameters = 3;

struct MethodSpec {
    const char* name;  // as written in the class body, e.g. "__cal_crc"
    const char* doc;   // nullptr when the method has no docstring
    int parameter_count;  // `self` included
    Parameter parameters[max_parameters];
    // The default of the last parameter, when it has one.
    std::optional<long> last_default;
    const char* return_annotation;  // nullptr for none
    MethodBody body;
};

// Makes the type ready; call once per load before make_method.
bool ready_method_type();

// A new method object for `spec`, with the __qualname__ "<class_name>.<name>".
Ref make_method(const MethodSpec& spec, const char* class_name);

}  // namespace tolvan
