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
    if (PyLong_CheckExact(item)) {
        int overflow = 0;
        const long value = PyLong_AsLongAndOverflow(item, &overflow);
        return overflow == 0 && value == expected;
    }
    Ref value = Ref::steal(PyLong_FromLong(expected));
    return value ? PyObject_RichCompareBool(item, value.get(), Py_EQ) : -1;
}

// list(reply): for the bytes a port returns, built directly.
Ref byte_values(PyObject* reply) {
    if (!PyBytes_CheckExact(reply)) return Ref::steal(PySequence_List(reply));
    const Py_ssize_t size = PyBytes_GET_SIZE(reply);
    const auto* bytes = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(reply));
    Ref values = Ref::steal(PyList_New(size));
    if (!values) return Ref();
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyList_SET_ITEM(values.get(), i, PyLong_FromLong(bytes[i]));  // small ints: cached, cannot fail
    }
    return values;
}

// What has arrived after the pause: a list of byte values, or None.
Ref exchange(PyObject* self, PyObject* frame) {
    Ref ser = get_attr(self, names::ser);
    if (!ser || !call_method(ser.get(), names::write, frame)) return Ref();
    ser = Ref();
    Ref sleep = runtime::global_attr(names::time, names::sleep);
    if (!sleep || !call(sleep.get(), names::reply_pause)) return Ref();
    Ref reply = call_method(self, names::private_read);
    if (!reply) return Ref();
    const int arrived = PyObject_IsTrue(reply.get());
    if (arrived < 0) return Ref();
    return arrived ? byte_values(reply.get()) : Ref::none();
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

Ref framed_reply(PyObject* self, PyObject* frame) {
    Ref reply = exchange(self, frame);
    if (!reply) return Ref();
    const int framed = is_framed(reply.get());
    if (framed < 0) return Ref();
    return framed ? std::move(reply) : Ref::none();
}

PyObject* send_action(PyObject* self, PyObject* frame) {
    Ref reply = framed_reply(self, frame);
    return reply ? PyBool_FromLong(reply.get() != Py_None) : nullptr;
}

}  // namespace tolvan::link
