// close_full_screen and dis_connection.
#include "commands/commands.h"
#include "common/calls.h"
#include "common/names.h"
#include "link/exchange.h"
#include "protocol/templates.h"

namespace tolvan::commands {

PyObject* close_full_screen(PyObject* const* args) {
    PyObject* self = args[0];
    // Sent exactly as the class holds it: nothing in it varies.
    Ref frame = get_attr(self, names::cmd_close_fullscreen);
    return frame ? link::send_action(self, frame.get()) : nullptr;
}

PyObject* dis_connection(PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* ch = args[1];
    Ref frame = protocol::fill_template(self, names::cmd_dis_connect, {{protocol::channel_offset, ch}});
    return frame ? link::send_action(self, frame.get()) : nullptr;
}

}  // namespace tolvan::commands
