#include "common/names.h"

namespace tolvan::names {

#define TOLVAN_DEFINE_NAME(id, text) PyObject* id = nullptr;
TOLVAN_INTERNED_NAMES(TOLVAN_DEFINE_NAME)
#undef TOLVAN_DEFINE_NAME

PyObject* reply_pause = nullptr;
PyObject* serial_open_keywords = nullptr;
PyObject* lsof_run_keywords = nullptr;
PyObject* byte_values[256] = {};
PyObject* const& zero = byte_values[0];

namespace {

bool intern(PyObject*& slot, const char* text) {
    if (slot == nullptr) {
        slot = PyUnicode_InternFromString(text);
    }
    return slot != nullptr;
}

bool make_pair(PyObject*& slot, PyObject* first, PyObject* second) {
    if (slot == nullptr) {
        slot = PyTuple_Pack(2, first, second);
    }
    return slot != nullptr;
}

}  // namespace

bool create() {
#define TOLVAN_CREATE_NAME(id, text) \
    if (!intern(id, text)) return false;
    TOLVAN_INTERNED_NAMES(TOLVAN_CREATE_NAME)
#undef TOLVAN_CREATE_NAME
    if (reply_pause == nullptr && (reply_pause = PyFloat_FromDouble(0.2)) == nullptr) {
        return false;
    }
    for (long value = 0; value < 256; ++value) {
        if (byte_values[value] == nullptr && (byte_values[value] = PyLong_FromLong(value)) == nullptr) return false;
    }
    return make_pair(serial_open_keywords, timeout, stopbits) &&
           make_pair(lsof_run_keywords, stdout_, stderr_);
}

}  // namespace tolvan::names
