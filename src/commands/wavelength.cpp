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

// The reply must hold every pair it announces ahead of its checksum and end
// byte: a shorter one counts as failed. The count is read once, and that one
// value sizes the test, the list and the loop, as in
//     count = buf[5]
//     if len(buf) < 8 + 2 * count: return None
//     lengths = [0] * count
//     for i in range(count): lengths[i] = buf[6 + i * 2] + (buf[7 + i * 2] << 8)
template <typename Reply>
Ref decode_wavelengths(const Reply& buf) {
    if (buf.size() < list_reply_overhead) return Ref::none();
    const auto count = buf.item(count_offset);
    if (!count) return Ref();
    const Py_ssize_t size = buf.size();  // len(buf) is evaluated before the arithmetic on the count
    const auto two = Reply::number(2);
    if (!two) return Ref();
    const auto overhead = Reply::number(list_reply_overhead);
    if (!overhead) return Ref();
    const auto pair_bytes = Reply::multiply(two, count);
    if (!pair_bytes) return Ref();
    const auto needed = Reply::add(overhead, pair_bytes);
    if (!needed) return Ref();
    const int too_short = Reply::less(size, needed);
    if (too_short != 0) return too_short < 0 ? Ref() : Ref::none();

    Ref wavelengths = Reply::zeros(count);
    if (!wavelengths) return Ref();
    const auto passes = Reply::passes(count);
    if (!passes) return Ref();
    for (Py_ssize_t i = 0; i < *passes; ++i) {
        if (i > (PY_SSIZE_T_MAX - first_pair_offset - 1) / 2) {
            PyErr_SetString(PyExc_IndexError, "list index out of range");
            return Ref();
        }
        const auto wavelength = link::u16_at(buf, first_pair_offset + 2 * i);
        if (!wavelength || !Reply::store(wavelengths.get(), i, wavelength)) return Ref();
    }
    return wavelengths;
}

PyObject* raise_with(PyObject* exception_class, Ref message) {
    return message ? raise_new(exception_class, message.get()) : nullptr;
}

}  // namespace

PyObject* read_optical_length(const Arguments& args) {
    Ref frame = protocol::fill_template(args.self, names::cmd_read_optical_len, {{protocol::channel_offset, args.ch}});
    if (!frame) return nullptr;
    Ref reply = link::exchange(args.self, frame.get());
    return link::decode_framed(reply, [](const auto& buf) { return decode_wavelengths(buf); }).release();
}

PyObject* set_optical_length(const Arguments& args) {
    // The position is only meaningful in the list of the channel being set.
    Ref wavelengths = call_method(args.self, names::read_optical_length, args.ch);
    if (!wavelengths) return nullptr;
    const int have_list = PyObject_IsTrue(wavelengths.get());
    if (have_list < 0) return nullptr;
    if (!have_list) {
        return raise_with(runtime::builtins().RuntimeError,
                          Ref::steal(PyUnicode_FromString("device read failed! Please check your connection!")));
    }
    const int supported = PySequence_Contains(wavelengths.get(), args.length);
    if (supported < 0) return nullptr;
    if (!supported) {
        return raise_with(runtime::builtins().ValueError,
                          Ref::steal(PyUnicode_FromFormat("the length: %S no supported yet!", args.length)));
    }
    // The channel goes in before the position is looked up, as the two stores are written.
    Ref frame = protocol::store_fields(args.self, names::cmd_set_optical_len, {{protocol::channel_offset, args.ch}});
    if (!frame) return nullptr;
    Ref position = call_method(wavelengths.get(), names::index, args.length);
    if (!position || !set_item(frame.get(), protocol::payload_offset, position.get()) ||
        !protocol::refresh_checksum(args.self, frame.get())) {
        return nullptr;
    }
    return link::send_action(args.self, frame);
}

}  // namespace tolvan::commands
