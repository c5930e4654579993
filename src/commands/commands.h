// Bodies of the device commands. Each receives its bound parameters, `self`
// first, and returns a new reference or nullptr with an exception set.
#pragma once

#include "common/ref.h"

namespace tolvan::commands {

// Device version
PyObject* read_device_version(PyObject* const* args);

// Wavelength table and selection
PyObject* read_optical_length(PyObject* const* args);
PyObject* set_optical_length(PyObject* const* args);

// Channel status
PyObject* read_current_status(PyObject* const* args);

// Attenuation
PyObject* set_attenuation(PyObject* const* args);
PyObject* clear_attenuation(PyObject* const* args);

// Display and link
PyObject* close_full_screen(PyObject* const* args);
PyObject* dis_connection(PyObject* const* args);

}  // namespace tolvan::commands
