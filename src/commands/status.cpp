// read_current_status: a channel's work mode, selected wavelength position and
// attenuation.
#include "commands/commands.h"
#include "common/calls.h"
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
}  // namespace

PyObject* read_current_status(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* ch = args[1];
    Ref frame = protocol::fill_template(self, names::cmd_read_current_status, {{protocol::channel_offset, ch}});
    if (!frame) return nullptr;
    Ref reply = link::framed_reply(self, frame.get());
    if (!reply) return nullptr;
    if (reply.get() == Py_None || link::reply_size(reply.get()) < status_reply_min_size) Py_RETURN_NONE;

    Ref steps = link::reply_u16(reply.get(), attenuation_offset);
    Ref scale = Ref::steal(PyLong_FromLong(mdb_per_step));
    if (!steps || !scale) return nullptr;
    Ref attenuation = Ref::steal(PyNumber_Multiply(steps.get(), scale.get()));
    Ref status = Ref::steal(PyDict_New());
    if (!attenuation || !status ||
        PyDict_SetItem(status.get(), names::dev_work_mode, link::reply_byte(reply.get(), work_mode_offset)) < 0 ||
        PyDict_SetItem(status.get(), names::optical_length_index, link::reply_byte(reply.get(), position_offset)) <
            0 ||
        PyDict_SetItem(status.get(), names::attenuation, attenuation.get()) < 0) {
        return nullptr;
    }
    return status.release();
}

}  // namespace tolvan::commands
