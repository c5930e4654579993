// The sixteen methods of the driver class, in the order the class holds them.
#pragma once

#include "tolvan/method.h"

#include <span>

namespace tolvan {

std::span<const MethodSpec> driver_methods();

}  // namespace tolvan
