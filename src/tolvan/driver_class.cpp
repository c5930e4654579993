#include "tolvan/driver_class.h"

#include "common/names.h"
#include "protocol/templates.h"
#include "tolvan/method_table.h"

#include <string_view>

namespace tolvan {

namespace {

constexpr const char* class_name = "TOLVAN";

// The name under which the class body stores a method: "__x" (but not
// "__x__") becomes "_TOLVAN__x", as Python's name mangling does.
// Interned, as the class body's names are, so that look-ups compare pointers.
Ref stored_name(std::string_view name) {
    const bool is_private = name.starts_with("__") && !name.ends_with("__");
    PyObject* key = is_private ? PyUnicode_FromFormat("_%s%s", class_name, name.data())
                               : PyUnicode_FromString(name.data());
    if (key != nullptr) PyUnicode_InternInPlace(&key);
    return Ref::steal(key);
}

bool set_string(PyObject* namespace_dict, const char* key, const char* value) {
    Ref text = Ref::steal(PyUnicode_FromString(value));
    return text && PyDict_SetItemString(namespace_dict, key, text.get()) == 0;
}

}  // namespace

Ref build_driver_class() {
    Ref class_namespace = Ref::steal(PyDict_New());
    if (!class_namespace || !set_string(class_namespace.get(), "__module__", "tolvan") ||
        !set_string(class_namespace.get(), "__qualname__", class_name)) {
        return Ref();
    }
    for (const protocol::FrameTemplate& frame : protocol::frame_templates) {
        Ref list = protocol::make_template_list(frame);
        if (!list || PyDict_SetItemString(class_namespace.get(), frame.stored_name, list.get()) < 0) return Ref();
    }
    for (const MethodSpec& spec : driver_methods()) {
        Ref method = make_method(spec, class_name);
        if (!method) return Ref();
        Ref key = stored_name(spec.name);
        if (!key || PyDict_SetItem(class_namespace.get(), key.get(), method.get()) < 0) return Ref();
    }
    Ref bases = Ref::steal(PyTuple_New(0));
    if (!bases) return Ref();
    PyObject* type_args[] = {names::class_name, bases.get(), class_namespace.get()};
    return Ref::steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PyType_Type), type_args, 3, nullptr));
}

}  // namespace tolvan
