// set_attenuation and clear_attenuation.
#include "commands/commands.h"
#include "common/names.h"
#include "link/exchange.h"
#include "link/reply.h"
#include "protocol/templates.h"

namespace tolvan::commands {

namespace {

// int(attenuation / 10): mdB to 0.01 dB steps, truncated toward zero, with
// Python's arithmetic so that any int behaves as the interface says.
Ref device_steps(PyObject* attenuation) {
    Ref ten = Ref::steal(PyLong_FromLong(10));
    Ref quotient = ten ? Ref::steal(PyNumber_TrueDivide(attenuation, ten.get())) : Ref();
    return quotient ? Ref::steal(PyNumber_Long(quotient.get())) : Ref();
}

Ref binary_op(PyObject* (*op)(PyObject*, PyObject*), PyObject* left, long right) {
    Ref operand = Ref::steal(PyLong_FromLong(right));
    return operand ? Ref::steal(op(left, operand.get())) : Ref();
}

}  // namespace

PyObject* set_attenuation(const Arguments& args) {
    Ref steps = device_steps(args.attenuation);
    if (!steps) return nullptr;
    Ref low = binary_op(PyNumber_And, steps.get(), 0xFF);
    if (!low) return nullptr;
    Ref high = binary_op(PyNumber_Rshift, steps.get(), 8);  // not masked: out-of-range values reach the port
    if (!high) return nullptr;
    Ref frame = protocol::fill_template(args.self, names::cmd_set_attenuation,
                                        {{protocol::payload_offset, low.get()},
                                         {protocol::payload_offset + 1, high.get()},
                                         {protocol::channel_offset, args.ch}});
    return link::send_action(args.self, frame);
}

PyObject* clear_attenuation(const Arguments& args) {
    Ref frame = protocol::fill_template(args.self, names::cmd_clear_attenuation, {{protocol::channel_offset, args.ch}});
    return link::send_action(args.self, frame);
}

}  // namespace tolvan::commands
