// Interned strings and constant objects that the methods use on every call.
//
// They are created once, the first time the module is executed, and live as
// long as the process: the module is never unloaded.
#pragma once

#include "common/ref.h"

// One line per name: the C++ identifier and the Python text.
#define TOLVAN_INTERNED_NAMES(X)                                   \
    X(module_name, "tolvan")                                       \
    X(class_name, "TOLVAN")                                        \
    X(builtin_import, "__import__")                                \
    X(print, "print")                                              \
    X(sum, "sum")                                                  \
    X(range, "range")                                              \
    X(RuntimeError, "RuntimeError")                                \
    X(ValueError, "ValueError")                                    \
    X(port, "port")                                                \
    X(ser, "ser")                                                  \
    X(write, "write")                                              \
    X(inWaiting, "inWaiting")                                      \
    X(read, "read")                                                \
    X(close, "close")                                              \
    X(time, "time")                                                \
    X(sleep, "sleep")                                              \
    X(serial, "serial")                                            \
    X(Serial, "Serial")                                            \
    X(SerialException, "SerialException")                          \
    X(platform, "platform")                                        \
    X(system, "system")                                            \
    X(lower, "lower")                                              \
    X(subprocess, "subprocess")                                    \
    X(run, "run")                                                  \
    X(PIPE, "PIPE")                                                \
    X(stdout_, "stdout")                                           \
    X(stderr_, "stderr")                                           \
    X(timeout, "timeout")                                          \
    X(stopbits, "stopbits")                                        \
    X(index, "index")                                              \
    X(check_port_available, "check_port_available")                \
    X(read_optical_length, "read_optical_length")                  \
    X(private_read, "_TOLVAN__read")                               \
    X(private_cal_crc, "_TOLVAN__cal_crc")                         \
    X(cmd_read_dev_ver, "_TOLVAN__CMD_READ_DEV_VER")               \
    X(cmd_read_optical_len, "_TOLVAN__CMD_READ_OPTICAL_LEN")       \
    X(cmd_read_current_status, "_TOLVAN__CMD_READ_CURRENT_STATUS") \
    X(cmd_close_fullscreen, "_TOLVAN__CMD_CLOSE_FULLSCREEN")       \
    X(cmd_set_optical_len, "_TOLVAN__CMD_SET_OPTICAL_LEN")         \
    X(cmd_set_attenuation, "_TOLVAN__CMD_SET_ATTENUATION")         \
    X(cmd_clear_attenuation, "_TOLVAN__CMD_CLEAR_ATTENUATION")     \
    X(cmd_dis_connect, "_TOLVAN__CMD_DIS_CONNECT")                 \
    X(module_version, "module_version")                            \
    X(hard_version, "hard_version")                                \
    X(soft_version, "soft_version")                                \
    X(dev_work_mode, "dev_work_mode")                              \
    X(optical_length_index, "optical_length_index")                \
    X(attenuation, "attenuation")

namespace tolvan::names {

#define TOLVAN_DECLARE_NAME(id, text) extern PyObject* id;
TOLVAN_INTERNED_NAMES(TOLVAN_DECLARE_NAME)
#undef TOLVAN_DECLARE_NAME

// The pause between writing a request and reading its reply, in seconds.
extern PyObject* reply_pause;
// Keyword names of the port constructor call: ("timeout", "stopbits").
extern PyObject* serial_open_keywords;
// Keyword names of the lsof run: ("stdout", "stderr").
extern PyObject* lsof_run_keywords;
// The ints 0 to 255, the values a reply's bytes hold: taking one from here
// costs less than asking the interpreter for it.
extern PyObject* byte_values[256];
// The int 0, which the exchange compares counts with.
extern PyObject* const& zero;

// Creates everything above; true on success, false with an exception set.
// Safe to call again after a failed load: what exists is kept.
bool create();

}  // namespace tolvan::names
