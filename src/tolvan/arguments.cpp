#include "tolvan/arguments.h"

#include <cstring>

namespace tolvan {

namespace {

bool raise_count_error(const Signature& signature, Py_ssize_t positional_count) {
    const MethodSpec& spec = *signature.spec;
    const Py_ssize_t all = spec.parameter_count;
    const bool too_few = positional_count < signature.required;
    const Py_ssize_t expected = too_few ? signature.required : all;
    const char* bound_word = signature.required == all ? "exactly" : (too_few ? "at least" : "at most");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", spec.name,
                 bound_word, expected, expected == 1 ? "" : "s", positional_count);
    return false;
}

bool same_name(PyObject* keyword, PyObject* name) {
    return keyword == name || (PyUnicode_Check(keyword) && PyUnicode_Compare(keyword, name) == 0);
}

// The position of the parameter that `keyword` names, or -1.
int parameter_index(const Signature& signature, PyObject* keyword) {
    for (int i = 0; i < signature.spec->parameter_count; ++i) {
        if (same_name(keyword, signature.names[i])) return i;
    }
    return -1;
}

// The value passed under `name`, or nullptr.
PyObject* keyword_value(PyObject* const* keyword_values, PyObject* keyword_names, PyObject* name) {
    const Py_ssize_t count = PyTuple_GET_SIZE(keyword_names);
    for (Py_ssize_t k = 0; k < count; ++k) {
        if (same_name(PyTuple_GET_ITEM(keyword_names, k), name)) return keyword_values[k];
    }
    return nullptr;
}

// Reports the first keyword that binds nothing new: not a string, no
// parameter at all, or a parameter already given (by position or by an
// earlier keyword, which only a call built in C can carry).
bool raise_keyword_error(const Signature& signature, Py_ssize_t positional_count, PyObject* keyword_names) {
    const char* name = signature.spec->name;
    const Py_ssize_t count = PyTuple_GET_SIZE(keyword_names);
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(keyword_names, k);
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", name);
            return false;
        }
        const int index = parameter_index(signature, keyword);
        if (index < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name, keyword);
            return false;
        }
        bool given_before = index < positional_count;
        for (Py_ssize_t earlier = 0; earlier < k && !given_before; ++earlier) {
            given_before = same_name(PyTuple_GET_ITEM(keyword_names, earlier), keyword);
        }
        if (given_before) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", name, keyword);
            return false;
        }
    }
    PyErr_Format(PyExc_SystemError, "%s() could not bind its keyword arguments", name);
    return false;
}

}  // namespace

bool bind_with_keywords(const Signature& signature, PyObject* const* args, Py_ssize_t positional_count,
                        PyObject* keyword_names, Arguments& bound) {
    const MethodSpec& spec = *signature.spec;
    if (positional_count > spec.parameter_count) return raise_count_error(signature, positional_count);
    const Py_ssize_t keyword_count = keyword_names ? PyTuple_GET_SIZE(keyword_names) : 0;
    Py_ssize_t keywords_used = 0;
    for (Py_ssize_t i = 0; i < spec.parameter_count; ++i) {
        PyObject* value = nullptr;
        if (i < positional_count) {
            value = args[i];
        } else if (keyword_count > 0 &&
                   (value = keyword_value(args + positional_count, keyword_names, signature.names[i])) != nullptr) {
            ++keywords_used;
        } else if (i < signature.required) {
            return raise_count_error(signature, positional_count);
        } else {
            value = signature.default_value;
        }
        bound.*(spec.parameters[i].field) = value;
    }
    return keywords_used == keyword_count || raise_keyword_error(signature, positional_count, keyword_names);
}

bool raise_type_error(const Parameter& parameter, PyTypeObject* expected, PyObject* value) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 parameter.name, expected->tp_name, Py_TYPE(value)->tp_name);
    return false;
}

PyTypeObject* annotated_type(const char* annotation) {
    if (annotation == nullptr) return nullptr;
    if (std::strcmp(annotation, "int") == 0) return &PyLong_Type;
    if (std::strcmp(annotation, "str") == 0) return &PyUnicode_Type;
    if (std::strcmp(annotation, "list") == 0) return &PyList_Type;
    if (std::strcmp(annotation, "bytes") == 0) return &PyBytes_Type;
    return nullptr;
}

}  // namespace tolvan
