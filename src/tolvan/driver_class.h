// Assembly of the driver class TOLVAN.
#pragma once

#include "common/ref.h"

namespace tolvan {

// Builds the class as `type("TOLVAN", (), namespace)` would, with the
// namespace in order: __module__, __qualname__, the eight command templates,
// then the sixteen methods, private ones under their class-qualified names.
Ref build_driver_class();

}  // namespace tolvan
