// Port handling: storing the port name, opening and closing the port, and the
// check whether the port is free.
#pragma once

#include "common/arguments.h"

namespace tolvan::port {

PyObject* construct(const Arguments& args);             // __init__(self, serial_port)
PyObject* open(const Arguments& args);                  // open(self)
PyObject* close(const Arguments& args);                 // close(self)
PyObject* check_port_available(const Arguments& args);  // check_port_available(self)

}  // namespace tolvan::port
