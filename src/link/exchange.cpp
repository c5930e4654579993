#include "link/exchange.h"

#include "common/calls.h"
#include "common/names.h"
#include "common/runtime.h"

namespace tolvan::link {

namespace {

constexpr long start_byte = 0x7B;
constexpr long end_byte = 0x7D;

// item == expected, with Python's comparison.
int equals(PyObject* item, long expected) {
    Ref value = Ref::steal(PyLong_FromLong(expected));
    return value ? PyObject_RichCompareBool(item, value.get(), Py_EQ) : -1;
}

}  // namespace

PyObject* read(PyObject* const* args) {
    PyObject* self = args[0];
    Ref ser = get_attr(self, names::ser);
    if (!ser) return nullptr;
    Ref waiting = call_method(ser.get(), names::inWaiting);
    if (!waiting) return nullptr;
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return nullptr;
    const int any_waiting = PyObject_RichCompareBool(waiting.get(), zero.get(), Py_GT);
    if (any_waiting < 0) return nullptr;
    if (!any_waiting) Py_RETURN_NONE;
    // Looked up again, as the attribute may have changed during inWaiting().
    ser = get_attr(self, names::ser);
    if (!ser) return nullptr;
    return call_method(ser.get(), names::read, waiting.get()).release();
}

PyObject* write_and_read(PyObject* const*) { Py_RETURN_NONE; }

Ref exchange(PyObject* self, PyObject* frame) {
    Ref ser = get_attr(self, names::ser);
    if (!ser || !call_method(ser.get(), names::write, frame)) return Ref();
    ser = Ref();
    Ref time_module = runtime::global(names::time);
    if (!time_module || !call_method(time_module.get(), names::sleep, names::reply_pause)) return Ref();
    time_module = Ref();
    Ref reply = call_method(self, names::private_read);
    if (!reply) return Ref();
    const int arrived = PyObject_IsTrue(reply.get());
    if (arrived < 0) return Ref();
    return arrived ? Ref::steal(PySequence_List(reply.get())) : Ref::none();
}

int is_framed(PyObject* reply) {
    if (!PyList_Check(reply) || PyList_GET_SIZE(reply) == 0) return 0;
    // Keep the items alive: a comparison may run code that changes the list.
    Ref first = Ref::borrow(PyList_GET_ITEM(reply, 0));
    const int opened = equals(first.get(), start_byte);
    if (opened <= 0) return opened;
    const Py_ssize_t size = PyList_GET_SIZE(reply);
    if (size == 0) return 0;
    Ref last = Ref::borrow(PyList_GET_ITEM(reply, size - 1));
    return equals(last.get(), end_byte);
}

PyObject* send_action(PyObject* self, PyObject* frame) {
    Ref reply = exchange(self, frame);
    if (!reply) return nullptr;
    const int framed = is_framed(reply.get());
    return framed < 0 ? nullptr : PyBool_FromLong(framed);
}

}  // namespace tolvan::link
