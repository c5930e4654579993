// The frame checksum: the low byte of minus the sum of every element but the
// last two (the checksum itself and the end byte). It is a two's complement
// sum, not a CRC, whatever the method names say.
#pragma once

#include "common/arguments.h"

namespace tolvan::protocol {

// Bodies of __cal_crc(self, data) and __check_crc(self, data).
PyObject* cal_crc(const Arguments& args);
PyObject* check_crc(const Arguments& args);

}  // namespace tolvan::protocol
