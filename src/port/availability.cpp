// check_port_available: on Windows, open the port once and close it again;
// elsewhere ask lsof whether any process holds the device file.
#include "common/calls.h"
#include "common/errors.h"
#include "common/names.h"
#include "common/runtime.h"
#include "port/port.h"
#include "port/serial_exception.h"

namespace tolvan::port {

namespace {

// The Chinese "error while checking the port: " that callers see, spelled in UTF-8 bytes
// so that every compiler reads the source the same way.
constexpr const char* lsof_error_prefix =
    "\xe6\xa3\x80\xe6\x9f\xa5\xe7\xab\xaf\xe5\x8f\xa3\xe6\x97\xb6\xe5\x87\xba\xe9\x94\x99: ";

// platform.system().lower() == "windows"; -1 with an exception set.
int running_on_windows() {
    Ref system_function = runtime::global_attr(names::platform, names::system);
    Ref system = system_function ? call(system_function.get()) : Ref();
    if (!system) return -1;
    Ref lowered = call_method(system.get(), names::lower);
    if (!lowered) return -1;
    Ref windows = Ref::steal(PyUnicode_FromString("windows"));
    if (!windows) return -1;
    return PyObject_RichCompareBool(lowered.get(), windows.get(), Py_EQ);
}

// Opens the port with pyserial's defaults and closes it at once: True when
// that worked, False when pyserial refused. Other errors propagate.
PyObject* probe_by_opening(PyObject* self) {
    Ref port = [&] {
        Ref serial_class = runtime::global_attr(names::serial, names::Serial);
        Ref port_name = serial_class ? get_attr(self, names::port) : Ref();
        return port_name ? call(serial_class.get(), port_name.get()) : Ref();
    }();
    if (port && call_method(port.get(), names::close)) Py_RETURN_TRUE;

    CaughtException caught;
    const int refused = is_serial_exception(caught);
    if (refused < 0) return nullptr;
    if (refused) Py_RETURN_FALSE;
    return caught.reraise();
}

// subprocess.run(["lsof", self.port], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
Ref run_lsof(PyObject* self) {
    Ref run = runtime::global_attr(names::subprocess, names::run);
    if (!run) return Ref();
    Ref port_name = get_attr(self, names::port);
    if (!port_name) return Ref();
    Ref command = Ref::steal(Py_BuildValue("[sO]", "lsof", port_name.get()));
    if (!command) return Ref();
    Ref pipe_out = runtime::global_attr(names::subprocess, names::PIPE);
    Ref pipe_err = pipe_out ? runtime::global_attr(names::subprocess, names::PIPE) : Ref();
    if (!pipe_err) return Ref();
    PyObject* args[] = {command.get(), pipe_out.get(), pipe_err.get()};
    return Ref::steal(PyObject_Vectorcall(run.get(), args, 1, names::lsof_run_keywords));
}

// True when lsof listed nobody holding the port; an error is printed and
// reported as False.
PyObject* probe_with_lsof(PyObject* self) {
    Ref result = run_lsof(self);
    Ref output = result ? get_attr(result.get(), names::stdout_) : Ref();
    const int held = output ? PyObject_IsTrue(output.get()) : -1;
    if (held >= 0) return PyBool_FromLong(!held);

    CaughtException caught;
    if (!caught.matches(PyExc_Exception)) return caught.reraise();
    Ref line = [&] {
        Ref reason = Ref::steal(PyObject_Str(caught.value()));
        if (!reason) return Ref();
        Ref prefix = Ref::steal(PyUnicode_FromString(lsof_error_prefix));
        return prefix ? Ref::steal(PyUnicode_Concat(prefix.get(), reason.get())) : Ref();
    }();
    if (!line || !runtime::print_line(line.get())) return caught.become_context_of_current();
    Py_RETURN_FALSE;
}

}  // namespace

PyObject* check_port_available(const Arguments& args) {
    PyObject* self = args.self;
    const int windows = running_on_windows();
    if (windows < 0) return nullptr;
    return windows ? probe_by_opening(self) : probe_with_lsof(self);
}

}  // namespace tolvan::port
