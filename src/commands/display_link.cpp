// close_full_screen and dis_connection.
#include "commands/commands.h"
#include "common/names.h"
#include "link/exchange.h"
#include "link/reply.h"
#include "protocol/templates.h"

namespace tolvan::commands {

PyObject* close_full_screen(const Arguments& args) {
    // Sent exactly as the class holds it: nothing in it varies.
    return link::action_result(link::exchange_stored(args.self, names::cmd_close_fullscreen));
}

PyObject* dis_connection(const Arguments& args) {
    Ref frame = protocol::fill_template(args.self, names::cmd_dis_connect, {{protocol::channel_offset, args.ch}});
    return link::send_action(args.self, frame);
}

}  // namespace tolvan::commands
