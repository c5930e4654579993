#include "link/exchange.h"

#include "common/calls.h"
#include "common/names.h"
#include "common/runtime.h"
#include "link/reply.h"

#include <utility>

namespace tolvan::link {

namespace {

// count > 0, as Python compares; an exact int by its sign.
int is_positive(PyObject* count) {
    if (PyLong_CheckExact(count)) {
        int overflow = 0;
        const long value = PyLong_AsLongAndOverflow(count, &overflow);
        return value > 0 || overflow > 0;
    }
    Ref result = Ref::steal(PyObject_RichCompare(count, names::zero, Py_GT));
    return result ? PyObject_IsTrue(result.get()) : -1;
}

// Whether __read gave anything: bool(reply), with the common answers first.
int arrived(PyObject* reply) {
    if (reply == Py_None) return 0;
    if (PyBytes_CheckExact(reply)) return PyBytes_GET_SIZE(reply) > 0;
    return PyObject_IsTrue(reply);
}

Ref write_pause_read(PyObject* self, Ref ser, PyObject* frame) {
    if (!call_method(ser.get(), names::write, frame)) return Ref();
    ser = Ref();  // the port is looked up anew by __read, as `self.ser` is in each statement
    Ref sleep = runtime::global_attr(names::time, names::sleep);
    if (!sleep || !call(sleep.get(), names::reply_pause)) return Ref();
    Ref reply = call_method(self, names::private_read);
    if (!reply) return Ref();
    const int any = arrived(reply.get());
    if (any < 0) return Ref();
    return any ? std::move(reply) : Ref::none();
}

// The exchange calls out into port code, which may call the driver again:
// it counts as a level of recursion, as a call of a Python object from C
// does in the interpreter, so that such a loop ends in RecursionError well
// before the C stack does, however large the frames of a build are.
Ref guarded_exchange(PyObject* self, Ref ser, PyObject* frame) {
    if (Py_EnterRecursiveCall(" while calling a Python object")) return Ref();
    Ref reply = write_pause_read(self, std::move(ser), frame);
    Py_LeaveRecursiveCall();
    return reply;
}

}  // namespace

PyObject* read(const Arguments& args) {
    Ref ser = get_attr(args.self, names::ser);
    if (!ser) return nullptr;
    Ref waiting = call_method(ser.get(), names::inWaiting);
    if (!waiting) return nullptr;
    const int any_waiting = is_positive(waiting.get());
    if (any_waiting < 0) return nullptr;
    if (!any_waiting) Py_RETURN_NONE;
    // Looked up again, as the attribute may have changed during inWaiting().
    ser = get_attr(args.self, names::ser);
    if (!ser) return nullptr;
    return call_method(ser.get(), names::read, waiting.get()).release();
}

PyObject* write_and_read(const Arguments&) { Py_RETURN_NONE; }

Ref exchange(PyObject* self, PyObject* frame) {
    Ref ser = get_attr(self, names::ser);
    return ser ? guarded_exchange(self, std::move(ser), frame) : Ref();
}

Ref exchange_stored(PyObject* self, PyObject* template_name) {
    Ref ser = get_attr(self, names::ser);
    if (!ser) return Ref();
    Ref frame = get_attr(self, template_name);
    return frame ? guarded_exchange(self, std::move(ser), frame.get()) : Ref();
}

PyObject* send_action(PyObject* self, const Ref& frame) {
    return frame ? action_result(exchange(self, frame.get())) : nullptr;
}

}  // namespace tolvan::link
