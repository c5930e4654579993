// Matching a caught exception against pyserial's SerialException, which is
// looked up in the module namespace at the moment of matching.
#pragma once

#include "common/errors.h"

namespace tolvan::port {

// 1 when `caught` is a serial.SerialException, 0 when not; -1 when looking
// the class up raised, or what it found is not an exception class (TypeError,
// as an `except` clause raises), with that error set and `caught` as its
// context.
int is_serial_exception(CaughtException& caught);

}  // namespace tolvan::port
