// Port handling: storing the port name, opening and closing the port, and the
// check whether the port is free.
#pragma once

#include "common/ref.h"

namespace tolvan::port {

PyObject* construct(PyObject* const* args);             // __init__(self, serial_port)
PyObject* open(PyObject* const* args);                  // open(self)
PyObject* close(PyObject* const* args);                 // close(self)
PyObject* check_port_available(PyObject* const* args);  // check_port_available(self)

}  // namespace tolvan::port
