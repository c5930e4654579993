#include "tolvan/arguments.h"

#include <string_view>

namespace tolvan {

namespace {

bool raise_count_error(const MethodSpec& spec, Py_ssize_t required, Py_ssize_t positional_count) {
    const Py_ssize_t all = spec.parameter_count;
    const bool too_few = positional_count < required;
    const Py_ssize_t expected = too_few ? required : all;
    const char* bound_word = required == all ? "exactly" : (too_few ? "at least" : "at most");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", spec.name,
                 bound_word, expected, expected == 1 ? "" : "s", positional_count);
    return false;
}

bool same_name(PyObject* keyword, PyObject* name) {
    return keyword == name || (PyUnicode_Check(keyword) && PyUnicode_Compare(keyword, name) == 0);
}

// The position of the parameter that `keyword` names, or -1.
int parameter_index(const MethodSpec& spec, PyObject* const* names, PyObject* keyword) {
    for (int i = 0; i < spec.parameter_count; ++i) {
        if (same_name(keyword, names[i])) {
            return i;
        }
    }
    return -1;
}

// The value passed under `name`, or nullptr.
PyObject* keyword_value(PyObject* const* keyword_values, PyObject* keyword_names, PyObject* name) {
    const Py_ssize_t count = PyTuple_GET_SIZE(keyword_names);
    for (Py_ssize_t k = 0; k < count; ++k) {
        if (same_name(PyTuple_GET_ITEM(keyword_names, k), name)) {
            return keyword_values[k];
        }
    }
    return nullptr;
}

// Reports the first keyword that binds nothing new: not a string, no
// parameter at all, or a parameter already given (by position or by an
// earlier keyword, which only a call built in C can carry).
bool raise_keyword_error(const MethodSpec& spec, PyObject* const* names, Py_ssize_t positional_count,
                         PyObject* keyword_names) {
    const Py_ssize_t count = PyTuple_GET_SIZE(keyword_names);
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(keyword_names, k);
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.name);
            return false;
        }
        const int index = parameter_index(spec, names, keyword);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.name, keyword);
            return false;
        }
        bool given_before = index < positional_count;
        for (Py_ssize_t earlier = 0; earlier < k && !given_before; ++earlier) {
            given_before = same_name(PyTuple_GET_ITEM(keyword_names, earlier), keyword);
        }
        if (given_before) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", spec.name, keyword);
            return false;
        }
    }
    PyErr_Format(PyExc_SystemError, "%s() could not bind its keyword arguments", spec.name);
    return false;
}

PyTypeObject* annotated_type(const char* annotation) {
    const std::string_view text(annotation);
    if (text == "int") return &PyLong_Type;
    if (text == "str") return &PyUnicode_Type;
    if (text == "list") return &PyList_Type;
    if (text == "bytes") return &PyBytes_Type;
    return nullptr;
}

bool check_types(const MethodSpec& spec, PyObject* const* bound) {
    for (int i = 0; i < spec.parameter_count; ++i) {
        const Parameter& parameter = spec.parameters[i];
        if (parameter.annotation == nullptr) {
            continue;
        }
        PyTypeObject* expected = annotated_type(parameter.annotation);
        if (expected != nullptr && Py_TYPE(bound[i]) != expected) {
            PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                         parameter.name, expected->tp_name, Py_TYPE(bound[i])->tp_name);
            return false;
        }
    }
    return true;
}

}  // namespace

bool bind_arguments(const MethodSpec& spec, PyObject* const* names, PyObject* defaults, PyObject* const* args,
                    Py_ssize_t positional_count, PyObject* keyword_names, PyObject** bound) {
    const Py_ssize_t default_count = PyTuple_Check(defaults) ? PyTuple_GET_SIZE(defaults) : 0;
    const Py_ssize_t required = spec.parameter_count - default_count;
    if (positional_count > spec.parameter_count) {
        return raise_count_error(spec, required, positional_count);
    }
    for (Py_ssize_t i = 0; i < positional_count; ++i) {
        bound[i] = args[i];
    }

    const Py_ssize_t keyword_count = keyword_names ? PyTuple_GET_SIZE(keyword_names) : 0;
    Py_ssize_t keywords_used = 0;
    for (Py_ssize_t i = positional_count; i < spec.parameter_count; ++i) {
        PyObject* value = keyword_count ? keyword_value(args + positional_count, keyword_names, names[i]) : nullptr;
        if (value != nullptr) {
            ++keywords_used;
        } else if (i < required) {
            return raise_count_error(spec, required, positional_count);
        } else {
            value = PyTuple_GET_ITEM(defaults, i - required);
        }
        bound[i] = value;
    }
    if (keywords_used < keyword_count) {
        return raise_keyword_error(spec, names, positional_count, keyword_names);
    }
    return check_types(spec, bound);
}

}  // namespace tolvan
