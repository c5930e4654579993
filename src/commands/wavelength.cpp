// read_optical_length and set_optical_length: a channel's wavelength list, and
// selecting one of its wavelengths by its position in that list.
#include "commands/commands.h"
#include "common/calls.h"
#include "common/errors.h"
#include "common/names.h"
#include "common/runtime.h"
#include "link/exchange.h"
#include "link/reply.h"
#include "protocol/templates.h"

namespace tolvan::commands {

namespace {

// 7B, channel, length, two command bytes, N, N pairs, checksum, 7D.
constexpr Py_ssize_t count_offset = 5;
constexpr Py_ssize_t first_pair_offset = 6;
constexpr long list_reply_overhead = 8;

// Whether the reply holds every pair it announces ahead of its checksum and
// end byte: len(reply) >= 8 + 2 * count, in Python's arithmetic.
int holds_all_pairs(PyObject* reply, PyObject* count) {
    Ref two = Ref::steal(PyLong_FromLong(2));
    Ref overhead = Ref::steal(PyLong_FromLong(list_reply_overhead));
    Ref size = Ref::steal(PyLong_FromSsize_t(link::reply_size(reply)));
    if (!two || !overhead || !size) return -1;
    Ref pair_bytes = Ref::steal(PyNumber_Multiply(count, two.get()));
    if (!pair_bytes) return -1;
    Ref needed = Ref::steal(PyNumber_Add(overhead.get(), pair_bytes.get()));
    return needed ? PyObject_RichCompareBool(size.get(), needed.get(), Py_GE) : -1;
}

Ref decode_wavelengths(PyObject* reply) {
    PyObject* count = link::reply_byte(reply, count_offset);
    const int complete = holds_all_pairs(reply, count);
    if (complete <= 0) return complete < 0 ? Ref() : Ref::none();
    // Bounded by the reply size now; a negative count gives an empty list.
    Py_ssize_t pairs = PyNumber_AsSsize_t(count, PyExc_OverflowError);
    if (pairs == -1 && PyErr_Occurred()) return Ref();
    pairs = pairs < 0 ? 0 : pairs;
    Ref wavelengths = Ref::steal(PyList_New(pairs));
    if (!wavelengths) return Ref();
    for (Py_ssize_t i = 0; i < pairs; ++i) {
        Ref wavelength = link::reply_u16(reply, first_pair_offset + 2 * i);
        if (!wavelength) return Ref();
        PyList_SET_ITEM(wavelengths.get(), i, wavelength.release());
    }
    return wavelengths;
}

}  // namespace

PyObject* read_optical_length(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* ch = args[1];
    Ref frame = protocol::fill_template(self, names::cmd_read_optical_len, {{protocol::channel_offset, ch}});
    if (!frame) return nullptr;
    Ref reply = link::framed_reply(self, frame.get());
    if (!reply) return nullptr;
    if (reply.get() == Py_None || link::reply_size(reply.get()) < list_reply_overhead) Py_RETURN_NONE;
    return decode_wavelengths(reply.get()).release();
}

PyObject* set_optical_length(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* length = args[1];
    PyObject* ch = args[2];
    // The position is only meaningful in the list of the channel being set.
    Ref wavelengths = call_method(self, names::read_optical_length, ch);
    if (!wavelengths) return nullptr;
    const int have_list = PyObject_IsTrue(wavelengths.get());
    if (have_list < 0) return nullptr;
    if (!have_list) {
        Ref message = Ref::steal(PyUnicode_FromString("device read failed! Please check your connection!"));
        return message ? raise_new(runtime::builtins().RuntimeError, message.get()) : nullptr;
    }
    const int supported = PySequence_Contains(wavelengths.get(), length);
    if (supported < 0) return nullptr;
    if (!supported) {
        Ref message = Ref::steal(PyUnicode_FromFormat("the length: %S no supported yet!", length));
        return message ? raise_new(runtime::builtins().ValueError, message.get()) : nullptr;
    }
    Ref position = call_method(wavelengths.get(), names::index, length);
    if (!position) return nullptr;
    Ref frame = protocol::fill_template(
        self, names::cmd_set_optical_len,
        {{protocol::channel_offset, ch}, {protocol::payload_offset, position.get()}});
    return frame ? link::send_action(self, frame.get()) : nullptr;
}

}  // namespace tolvan::commands
