// The port's life: the constructor stores its name, open() checks that it is
// free and opens it with the instrument's line settings, close() closes it.
#include "common/calls.h"
#include "common/errors.h"
#include "common/names.h"
#include "common/runtime.h"
#include "port/port.h"
#include "port/serial_exception.h"

namespace tolvan::port {

namespace {

constexpr long baud_rate = 115200;
constexpr long byte_size = 8;
constexpr const char* parity_none = "N";
constexpr long read_timeout_seconds = 50;
constexpr long stop_bits = 1;

// serial.Serial(self.port, 115200, 8, "N", timeout=50, stopbits=1)
Ref open_serial_port(PyObject* self) {
    Ref serial_class = runtime::global_attr(names::serial, names::Serial);
    if (!serial_class) return Ref();
    Ref port_name = get_attr(self, names::port);
    if (!port_name) return Ref();
    Ref baud = Ref::steal(PyLong_FromLong(baud_rate));
    if (!baud) return Ref();
    Ref parity = Ref::steal(PyUnicode_FromString(parity_none));
    if (!parity) return Ref();
    Ref bits = Ref::borrow(names::byte_values[byte_size]);
    Ref timeout = Ref::borrow(names::byte_values[read_timeout_seconds]);
    Ref stops = Ref::borrow(names::byte_values[stop_bits]);
    PyObject* args[] = {port_name.get(), baud.get(), bits.get(), parity.get(), timeout.get(), stops.get()};
    return Ref::steal(PyObject_Vectorcall(serial_class.get(), args, 4, names::serial_open_keywords));
}

// The protected part of open(): True when opened, False when the check says
// the port is taken; nullptr when something raised.
PyObject* try_open(PyObject* self) {
    Ref available = call_method(self, names::check_port_available);
    if (!available) return nullptr;
    const int is_free = PyObject_IsTrue(available.get());
    if (is_free < 0) return nullptr;
    if (is_free) {
        Ref port = open_serial_port(self);
        if (!port || PyObject_SetAttr(self, names::ser, port.get()) < 0) return nullptr;
        Py_RETURN_TRUE;
    }
    Ref line = Ref::steal(
        PyUnicode_FromString("serial port already opened!, Please close and try                       again!"));
    if (!line || !runtime::print_line(line.get())) return nullptr;
    Py_RETURN_FALSE;
}

}  // namespace

PyObject* construct(const Arguments& args) {
    if (PyObject_SetAttr(args.self, names::port, args.serial_port) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* open(const Arguments& args) {
    if (PyObject* opened = try_open(args.self)) return opened;

    CaughtException caught;
    const int refused = is_serial_exception(caught);
    if (refused < 0) return nullptr;
    if (refused) {
        Ref reason = Ref::steal(PyObject_Str(caught.value()));
        Ref line = reason ? Ref::steal(PyUnicode_FromFormat("Cannot open serial port%U", reason.get())) : Ref();
        if (!line || !runtime::print_line(line.get())) return caught.become_context_of_current();
        Py_RETURN_FALSE;
    }
    if (caught.matches(PyExc_Exception)) Py_RETURN_FALSE;
    return caught.reraise();
}

PyObject* close(const Arguments& args) {
    Ref ser = get_attr(args.self, names::ser);
    if (!ser || !call_method(ser.get(), names::close)) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace tolvan::port
