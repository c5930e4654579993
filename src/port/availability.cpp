// check_port_available: on Windows, open the port once and close it again;
// elsewhere ask lsof whether any process holds the device file.
#include "common/calls.h"
#include "common/errors.h"
#include "common/names.h"
#include "common/runtime.h"
#include "port/port.h"

namespace tolvan::port {

namespace {

// The Chinese "error while checking the port: " that callers see, spelled in UTF-8 bytes
// so that every compiler reads the source the same way.
constexpr const char* lsof_error_prefix =
    "\xe6\xa3\x80\xe6\x9f\xa5\xe7\xab\xaf\xe5\x8f\xa3\xe6\x97\xb6\xe5\x87\xba\xe9\x94\x99: ";

// platform.system().lower() == "windows"; -1 with an exception set.
int running_on_windows() {
    Ref platform = runtime::global(names::platform);
    if (!platform) return -1;
    Ref system = call_method(platform.get(), names::system);
    if (!system) return -1;
    Ref lowered = call_method(system.get(), names::lower);
    Ref windows = Ref::steal(PyUnicode_FromString("windows"));
    if (!lowered || !windows) return -1;
    return PyObject_RichCompareBool(lowered.get(), windows.get(), Py_EQ);
}

// Opens the port with pyserial's defaults and closes it at once: True when
// that worked, False when pyserial refused. Other errors propagate.
PyObject* probe_by_opening(PyObject* self) {
    Ref port = [&] {
        Ref serial = runtime::global(names::serial);
        Ref port_name = serial ? get_attr(self, names::port) : Ref();
        return port_name ? call_method(serial.get(), names::Serial, port_name.get()) : Ref();
    }();
    if (port && call_method(port.get(), names::close)) Py_RETURN_TRUE;

    CaughtException caught;
    Ref serial = runtime::global(names::serial);
    Ref serial_exception = serial ? get_attr(serial.get(), names::SerialException) : Ref();
    if (!serial_exception) return caught.become_context_of_current();
    if (caught.matches(serial_exception.get())) Py_RETURN_FALSE;
    return caught.reraise();
}

// subprocess.run(["lsof", self.port], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
Ref run_lsof(PyObject* self) {
    Ref subprocess = runtime::global(names::subprocess);
    if (!subprocess) return Ref();
    Ref run = get_attr(subprocess.get(), names::run);
    if (!run) return Ref();
    Ref port_name = get_attr(self, names::port);
    if (!port_name) return Ref();
    Ref command = Ref::steal(Py_BuildValue("[sO]", "lsof", port_name.get()));
    if (!command) return Ref();
    Ref pipe_out, pipe_err;
    for (Ref* pipe : {&pipe_out, &pipe_err}) {
        subprocess = runtime::global(names::subprocess);
        if (!subprocess) return Ref();
        *pipe = get_attr(subprocess.get(), names::PIPE);
        if (!*pipe) return Ref();
    }
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
    Ref reason = Ref::steal(PyObject_Str(caught.value()));
    Ref prefix = Ref::steal(PyUnicode_FromString(lsof_error_prefix));
    Ref line = reason && prefix ? Ref::steal(PyUnicode_Concat(prefix.get(), reason.get())) : Ref();
    if (!line || !runtime::print_line(line.get())) return caught.become_context_of_current();
    Py_RETURN_FALSE;
}

}  // namespace

PyObject* check_port_available(PyObject* const* args) {
    PyObject* self = args[0];
    const int windows = running_on_windows();
    if (windows < 0) return nullptr;
    return windows ? probe_by_opening(self) : probe_with_lsof(self);
}

}  // namespace tolvan::port
