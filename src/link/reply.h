// Reading fields out of a framed reply (the list of byte values that
// exchange() returned). Offsets are checked by the caller against the reply
// size before any field is read.
#pragma once

#include "common/ref.h"

namespace tolvan::link {

inline Py_ssize_t reply_size(PyObject* reply) { return PyList_GET_SIZE(reply); }

// reply[offset], borrowed from the reply list.
inline PyObject* reply_byte(PyObject* reply, Py_ssize_t offset) { return PyList_GET_ITEM(reply, offset); }

// reply[offset] + (reply[offset + 1] << 8): an unsigned 16-bit value sent low
// byte first, combined with Python's arithmetic.
Ref reply_u16(PyObject* reply, Py_ssize_t offset);

}  // namespace tolvan::link
