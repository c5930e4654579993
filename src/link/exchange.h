// The request-reply sequence that every command runs: write the frame, wait
// the fixed pause, take whatever bytes have arrived, and test the framing.
//
// There is no flush, no retry and no second read: a reply is matched to its
// request by time alone.
#pragma once

#include "common/ref.h"

namespace tolvan::link {

// Bodies of __read(self) and __write_and_read(self, cmd).
PyObject* read(PyObject* const* args);
PyObject* write_and_read(PyObject* const* args);

// Sends `frame` through self.ser, pauses, reads what has arrived, and returns
// it as a list of byte values when it passes the framing test (a non-empty
// reply opened by 0x7B and closed by 0x7D), else None. nullptr with an
// exception set when the port, the pause or __read raised.
Ref framed_reply(PyObject* self, PyObject* frame);

// Runs the exchange for an action command and returns its result: True when
// the reply is framed, else False.
PyObject* send_action(PyObject* self, PyObject* frame);

}  // namespace tolvan::link
