// read_current_status: a channel's work mode, selected wavelength position and
// attenuation.
#include "commands/commands.h"
#include "common/names.h"
#include "link/exchange.h"
#include "link/reply.h"
#include "protocol/templates.h"

namespace tolvan::commands {

namespace {

// 7B, channel, length, two command bytes, mode, (unused), position, attenuation
// low and high byte, checksum, 7D. A shorter reply would have its checksum or
// end byte decoded as attenuation, so it counts as failed.
constexpr Py_ssize_t status_reply_min_size = 12;
constexpr Py_ssize_t work_mode_offset = 5;
constexpr Py_ssize_t position_offset = 7;
constexpr Py_ssize_t attenuation_offset = 8;
// The instrument counts 0.01 dB steps; callers see mdB.
constexpr long mdb_per_step = 10;

template <typename Reply>
Ref decode_status(const Reply& buf) {
    if (buf.size() < status_reply_min_size) return Ref::none();
    Ref status = Ref::steal(PyDict_New());
    if (!status || !link::store_value(status.get(), names::dev_work_mode, buf.item(work_mode_offset)) ||
        !link::store_value(status.get(), names::optical_length_index, buf.item(position_offset))) {
        return Ref();
    }
    const auto steps = link::u16_at(buf, attenuation_offset);
    if (!steps) return Ref();
    const auto scale = Reply::number(mdb_per_step);
    if (!scale) return Ref();
    if (!link::store_value(status.get(), names::attenuation, Reply::multiply(steps, scale))) return Ref();
    return status;
}

}  // namespace

PyObject* read_current_status(const Arguments& args) {
    Ref frame = protocol::fill_template(args.self, names::cmd_read_current_status,
                                        {{protocol::channel_offset, args.ch}});
    if (!frame) return nullptr;
    Ref reply = link::exchange(args.self, frame.get());
    return link::decode_framed(reply, [](const auto& buf) { return decode_status(buf); }).release();
}

}  // namespace tolvan::commands
