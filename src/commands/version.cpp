// read_device_version: the module, hardware and software version numbers.
#include "commands/commands.h"
#include "common/calls.h"
#include "common/names.h"
#include "link/exchange.h"
#include "link/reply.h"

namespace tolvan::commands {

namespace {
// 7B, channel, length, two command bytes, three versions, checksum, 7D.
constexpr Py_ssize_t version_reply_size = 10;
}  // namespace

PyObject* read_device_version(PyObject* const* args) {
    PyObject* self = args[0];
    // Sent exactly as the class holds it: nothing in it varies.
    Ref frame = get_attr(self, names::cmd_read_dev_ver);
    if (!frame) return nullptr;
    Ref reply = link::framed_reply(self, frame.get());
    if (!reply) return nullptr;
    if (reply.get() == Py_None || link::reply_size(reply.get()) != version_reply_size) Py_RETURN_NONE;

    Ref versions = Ref::steal(PyDict_New());
    if (!versions ||
        PyDict_SetItem(versions.get(), names::module_version, link::reply_byte(reply.get(), 5)) < 0 ||
        PyDict_SetItem(versions.get(), names::hard_version, link::reply_byte(reply.get(), 6)) < 0 ||
        PyDict_SetItem(versions.get(), names::soft_version, link::reply_byte(reply.get(), 7)) < 0) {
        return nullptr;
    }
    return versions.release();
}

}  // namespace tolvan::commands
