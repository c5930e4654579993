// read_device_version: the module, hardware and software version numbers.
#include "commands/commands.h"
#include "common/names.h"
#include "link/exchange.h"
#include "link/reply.h"

namespace tolvan::commands {

namespace {

// 7B, channel, length, two command bytes, three versions, checksum, 7D.
constexpr Py_ssize_t version_reply_size = 10;

template <typename Reply>
Ref decode_versions(const Reply& buf) {
    if (buf.size() != version_reply_size) return Ref::none();
    Ref versions = Ref::steal(PyDict_New());
    if (!versions || !link::store_value(versions.get(), names::module_version, buf.item(5)) ||
        !link::store_value(versions.get(), names::hard_version, buf.item(6)) ||
        !link::store_value(versions.get(), names::soft_version, buf.item(7))) {
        return Ref();
    }
    return versions;
}

}  // namespace

PyObject* read_device_version(const Arguments& args) {
    // Sent exactly as the class holds it: nothing in it varies.
    Ref reply = link::exchange_stored(args.self, names::cmd_read_dev_ver);
    return link::decode_framed(reply, [](const auto& buf) { return decode_versions(buf); }).release();
}

}  // namespace tolvan::commands
