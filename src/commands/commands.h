// Bodies of the device commands. Each receives its bound parameters, `self`
// first, and returns a new reference or nullptr with an exception set.
#pragma once

#include "common/arguments.h"

namespace tolvan::commands {

// Device version
PyObject* read_device_version(const Arguments& args);

// Wavelength table and selection
PyObject* read_optical_length(const Arguments& args);
PyObject* set_optical_length(const Arguments& args);

// Channel status
PyObject* read_current_status(const Arguments& args);

// Attenuation
PyObject* set_attenuation(const Arguments& args);
PyObject* clear_attenuation(const Arguments& args);

// Display and link
PyObject* close_full_screen(const Arguments& args);
PyObject* dis_connection(const Arguments& args);

}  // namespace tolvan::commands
