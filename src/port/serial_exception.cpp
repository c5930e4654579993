#include "port/serial_exception.h"

#include "common/names.h"
#include "common/runtime.h"

namespace tolvan::port {

int is_serial_exception(CaughtException& caught) {
    Ref serial_exception = runtime::global_attr(names::serial, names::SerialException);
    if (!serial_exception) {
        caught.become_context_of_current();
        return -1;
    }
    return caught.matches(serial_exception.get());
}

}  // namespace tolvan::port
