// The argument record: every parameter that a method of the driver class
// takes, `self` included, bound by name.
//
// A method's table row names the fields it binds, and its body reads the same
// fields, so the table and the bodies cannot disagree on which is which.
#pragma once

#include "common/ref.h"

namespace tolvan {

struct Arguments {
    PyObject* self = nullptr;
    PyObject* serial_port = nullptr;
    PyObject* data = nullptr;
    PyObject* cmd = nullptr;
    PyObject* length = nullptr;
    PyObject* attenuation = nullptr;
    PyObject* ch = nullptr;
};

// A method body receives its bound arguments as borrowed references and
// returns a new reference, or nullptr with an exception set.
using MethodBody = PyObject* (*)(const Arguments& args);

}  // namespace tolvan
