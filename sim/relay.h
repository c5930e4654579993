// --relay: the real instrument's side of the pass-through. Requests go to the
// device as they arrive; what the device sends back until the next request is
// that request's reply, shaped by the fault options like a simulated one.
#pragma once

#include <string>

#include "faults.h"
#include "frame.h"
#include "outbox.h"
#include "serial_device.h"
#include "wire_log.h"

namespace tolvan_sim {

class Relay {
public:
    Relay(SerialDevice& device, WireLog& log) : device_(device), log_(log) {}

    SerialDevice& device() { return device_; }
    // Whether requests wait for the device to take them.
    bool sending() const { return !to_device_.empty(); }

    // Adds `bytes` from the client to what goes to the device, and writes
    // what the device takes now. False when the device has vanished.
    bool pass_on(const Bytes& bytes);

    // A whole request went by: what the device sends from now on is its
    // reply, withheld when `withhold` (--drop-every).
    void request(bool withhold);

    // Reads what the device sent and queues it for the client. False when
    // the device has vanished.
    bool take_replies(FaultInjector& faults, Outbox& outbox);

    // What the system said when the device vanished.
    const std::string& gone_reason() const { return gone_reason_; }

private:
    SerialDevice& device_;
    WireLog& log_;
    Bytes to_device_;             // requests the device has not taken yet
    std::string gone_reason_;
    bool withhold_reply_ = false;  // the device's reply to the last request is withheld
    bool first_piece_ = true;      // nothing of that reply has come yet
};

}  // namespace tolvan_sim
