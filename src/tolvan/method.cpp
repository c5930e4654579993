#include "tolvan/method.h"

#include "common/calls.h"
#include "common/names.h"
#include "tolvan/arguments.h"

#include <structmember.h>

#include <cstddef>

namespace tolvan {

namespace {

struct MethodObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    Signature signature;             // owns its names; its default is borrowed from `defaults`
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;                   // str or None
    PyObject* module;                // "tolvan"
    PyObject* defaults;              // tuple or None
    PyObject* annotations;           // dict
    PyObject* inspect_signature;     // built on first request, then kept
    PyObject* weak_references;
};

MethodObject* as_method(PyObject* object) { return reinterpret_cast<MethodObject*>(object); }

PyObject* method_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* keyword_names) {
    const Signature& signature = as_method(callable)->signature;
    Arguments bound;
    if (!bind_arguments(signature, args, nargsf, keyword_names, bound)) return nullptr;
    // A port or an override may call back into the driver: keep that recursion
    // within the interpreter's limit, as its own C functions do.
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject* result = signature.spec->body(bound);
    Py_LeaveRecursiveCall();
    return result;
}

// Stored in a class, a method binds to instances as functions do.
PyObject* method_get(PyObject* self, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

PyObject* method_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_method(self)->qualname, self);
}

// Pickled, and copied, by reference: the qualified name in the module, as
// functions are.
PyObject* method_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_method(self)->qualname); }

// An inspect.Signature with the real parameters, for inspect and help().
Ref build_signature(MethodObject* method) {
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect) return Ref();
    // One look-up at a time: each may fail, and nothing runs after a failure.
    Ref parameter_class = get_attr_string(inspect.get(), "Parameter");
    if (!parameter_class) return Ref();
    Ref signature_class = get_attr_string(inspect.get(), "Signature");
    if (!signature_class) return Ref();
    Ref empty = get_attr_string(parameter_class.get(), "empty");
    if (!empty) return Ref();
    Ref kind = get_attr_string(parameter_class.get(), "POSITIONAL_OR_KEYWORD");
    if (!kind) return Ref();

    const Signature& signature = method->signature;
    Ref parameters = Ref::steal(PyList_New(0));
    if (!parameters) return Ref();
    Ref parameter_keywords = Ref::steal(Py_BuildValue("(ss)", "default", "annotation"));
    if (!parameter_keywords) return Ref();
    for (int i = 0; i < signature.spec->parameter_count; ++i) {
        PyObject* name = signature.names[i];
        // __annotations__ is the caller's to change: hold what is read from it.
        Ref annotation = Ref::borrow(PyDict_GetItemWithError(method->annotations, name));
        if (!annotation && PyErr_Occurred()) return Ref();
        PyObject* default_value = i >= signature.required ? signature.default_value : empty.get();
        PyObject* args[] = {name, kind.get(), default_value, annotation ? annotation.get() : empty.get()};
        Ref parameter = Ref::steal(PyObject_Vectorcall(parameter_class.get(), args, 2, parameter_keywords.get()));
        if (!parameter || PyList_Append(parameters.get(), parameter.get()) < 0) return Ref();
    }
    Ref return_key = Ref::steal(PyUnicode_FromString("return"));
    if (!return_key) return Ref();
    Ref returns = Ref::borrow(PyDict_GetItemWithError(method->annotations, return_key.get()));
    if (!returns && PyErr_Occurred()) return Ref();
    Ref signature_keywords = Ref::steal(Py_BuildValue("(s)", "return_annotation"));
    if (!signature_keywords) return Ref();
    PyObject* args[] = {parameters.get(), returns ? returns.get() : empty.get()};
    return Ref::steal(PyObject_Vectorcall(signature_class.get(), args, 1, signature_keywords.get()));
}

PyObject* method_get_signature(PyObject* self, void*) {
    MethodObject* method = as_method(self);
    if (method->inspect_signature != nullptr) return Py_NewRef(method->inspect_signature);
    Ref signature = build_signature(method);
    // Building runs Python code, so another thread may have finished first.
    if (signature && method->inspect_signature == nullptr) method->inspect_signature = Py_NewRef(signature.get());
    return signature.release();
}

int method_traverse(PyObject* self, visitproc visit, void* arg) {
    MethodObject* method = as_method(self);
    for (PyObject* name : method->signature.names) Py_VISIT(name);
    Py_VISIT(method->name);
    Py_VISIT(method->qualname);
    Py_VISIT(method->doc);
    Py_VISIT(method->module);
    Py_VISIT(method->defaults);
    Py_VISIT(method->annotations);
    Py_VISIT(method->inspect_signature);
    return 0;
}

int method_clear(PyObject* self) {
    MethodObject* method = as_method(self);
    for (PyObject*& name : method->signature.names) Py_CLEAR(name);
    method->signature.default_value = nullptr;  // borrowed from defaults
    Py_CLEAR(method->name);
    Py_CLEAR(method->qualname);
    Py_CLEAR(method->doc);
    Py_CLEAR(method->module);
    Py_CLEAR(method->defaults);
    Py_CLEAR(method->annotations);
    Py_CLEAR(method->inspect_signature);
    return 0;
}

void method_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_method(self)->weak_references != nullptr) PyObject_ClearWeakRefs(self);
    method_clear(self);
    PyObject_GC_Del(self);
}

PyMemberDef method_members[] = {
    {"__name__", T_OBJECT, offsetof(MethodObject, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(MethodObject, qualname), READONLY, nullptr},
    {"__doc__", T_OBJECT, offsetof(MethodObject, doc), READONLY, nullptr},
    {"__module__", T_OBJECT, offsetof(MethodObject, module), READONLY, nullptr},
    {"__defaults__", T_OBJECT, offsetof(MethodObject, defaults), READONLY, nullptr},
    {"__annotations__", T_OBJECT, offsetof(MethodObject, annotations), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef method_getset[] = {
    {"__signature__", method_get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef method_methods[] = {
    {"__reduce__", method_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject method_type = [] {
    PyTypeObject type{};
    Py_SET_REFCNT(&type, 1);  // static: never deallocated; PyType_Ready fills in the metatype
    type.tp_name = "tolvan.method";
    type.tp_basicsize = sizeof(MethodObject);
    type.tp_dealloc = method_dealloc;
    type.tp_vectorcall_offset = offsetof(MethodObject, vectorcall);
    type.tp_repr = method_repr;
    type.tp_call = PyVectorcall_Call;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                    Py_TPFLAGS_METHOD_DESCRIPTOR;
    type.tp_traverse = method_traverse;
    type.tp_clear = method_clear;
    type.tp_weaklistoffset = offsetof(MethodObject, weak_references);
    type.tp_methods = method_methods;
    type.tp_members = method_members;
    type.tp_getset = method_getset;
    type.tp_descr_get = method_get;
    return type;
}();

Ref make_annotations(const MethodSpec& spec) {
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) return Ref();
    auto add = [&](const char* key, const char* value) {
        Ref text = Ref::steal(PyUnicode_FromString(value));
        return text && PyDict_SetItemString(annotations.get(), key, text.get()) == 0;
    };
    for (int i = 0; i < spec.parameter_count; ++i) {
        const Parameter& parameter = spec.parameters[i];
        if (parameter.annotation != nullptr && !add(parameter.name, parameter.annotation)) return Ref();
    }
    if (spec.return_annotation != nullptr && !add("return", spec.return_annotation)) return Ref();
    return annotations;
}

Ref make_defaults(const MethodSpec& spec) {
    if (!spec.last_default) return Ref::none();
    Ref value = Ref::steal(PyLong_FromLong(*spec.last_default));
    return value ? Ref::steal(PyTuple_Pack(1, value.get())) : Ref();
}

}  // namespace

bool ready_method_type() { return PyType_Ready(&method_type) == 0; }

Ref make_method(const MethodSpec& spec, const char* class_name) {
    Ref name = Ref::steal(PyUnicode_FromString(spec.name));
    if (!name) return Ref();
    Ref qualname = Ref::steal(PyUnicode_FromFormat("%s.%s", class_name, spec.name));
    if (!qualname) return Ref();
    Ref doc = spec.doc ? Ref::steal(PyUnicode_FromString(spec.doc)) : Ref::none();
    if (!doc) return Ref();
    Ref module = Ref::borrow(names::module_name);
    Ref defaults = make_defaults(spec);
    if (!defaults) return Ref();
    Ref annotations = make_annotations(spec);
    if (!annotations) return Ref();

    Ref parameter_names[max_parameters];
    for (int i = 0; i < spec.parameter_count; ++i) {
        parameter_names[i] = Ref::steal(PyUnicode_InternFromString(spec.parameters[i].name));
        if (!parameter_names[i]) return Ref();
    }

    MethodObject* method = PyObject_GC_New(MethodObject, &method_type);
    if (method == nullptr) return Ref();
    method->vectorcall = method_vectorcall;
    Signature& signature = method->signature;
    signature = Signature{};
    signature.spec = &spec;
    for (int i = 0; i < max_parameters; ++i) {
        signature.names[i] = parameter_names[i].release();
        signature.exact_types[i] = i < spec.parameter_count ? annotated_type(spec.parameters[i].annotation) : nullptr;
    }
    const bool has_default = PyTuple_Check(defaults.get());
    signature.default_value = has_default ? PyTuple_GET_ITEM(defaults.get(), 0) : nullptr;
    signature.required = spec.parameter_count - (has_default ? 1 : 0);
    method->name = name.release();
    method->qualname = qualname.release();
    method->doc = doc.release();
    method->module = module.release();
    method->defaults = defaults.release();
    method->annotations = annotations.release();
    method->inspect_signature = nullptr;
    method->weak_references = nullptr;
    PyObject_GC_Track(method);
    return Ref::steal(reinterpret_cast<PyObject*>(method));
}

}  // namespace tolvan
