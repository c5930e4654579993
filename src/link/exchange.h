// The request-reply sequence that every command runs: write the frame, wait
// the fixed pause, and take whatever has arrived.
//
// There is no flush, no retry and no second read: a reply is matched to its
// request by time alone.
#pragma once

#include "common/arguments.h"
#include "common/ref.h"

namespace tolvan::link {

// Bodies of __read(self) and __write_and_read(self, cmd).
PyObject* read(const Arguments& args);
PyObject* write_and_read(const Arguments& args);

// self.ser.write(frame), time.sleep(0.2), self.__read(): returns what __read
// gave when it is truthy (the reply), else None; nullptr with an exception
// set when the port, the pause or __read raised.
Ref exchange(PyObject* self, PyObject* frame);

// The same for a template sent as the class holds it, looked up as
// `self.ser.write(self.<template_name>)` evaluates: `ser` first.
Ref exchange_stored(PyObject* self, PyObject* template_name);

// An action command's result for a filled frame (nullptr when filling it
// raised): exchange it, then True when a reply arrived and passed the
// framing test, else False.
PyObject* send_action(PyObject* self, const Ref& frame);

}  // namespace tolvan::link
