// The module `tolvan`: its definition, initialisation and load rules.
//
// Loading is multi-phase. The module may live in one interpreter only, is
// executed once per process, and a load that fails leaves nothing behind, so
// that a later import (say, once pyserial is installed) starts afresh.
#include "common/names.h"
#include "common/runtime.h"
#include "tolvan/driver_class.h"
#include "tolvan/method.h"

#include <cstdint>
#include <utility>

namespace tolvan {

namespace {

constexpr const char* module_doc =
    "\n"
    "Basic Usage:\n"
    "from tolvan import TOLVAN\n"
    "\n"
    "tl = TOLVAN(\"/dev/cu.PL2303G-USBtoUART2110\")\n"
    "if tl.open():\n"
    "    dev_ver = tl.read_device_version()\n"
    "    print(dev_ver)\n"
    "\n"
    "    # set chnnel 1 to 1.1db\n"
    "    tl.set_attenuation(1100, 1)\n";

// The interpreter that first loaded the module, or -1 before any load.
std::int64_t home_interpreter = -1;
// The module object whose execution succeeded or is under way (strong).
PyObject* executed_module = nullptr;
// Its state block when an import found it again (see create_module).
void* state_before_reimport = nullptr;

bool check_single_interpreter() {
    const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return false;
    if (home_interpreter == -1) {
        home_interpreter = current;
        return true;
    }
    if (home_interpreter != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return false;
    }
    return true;
}

// module.__<to> = spec.<from>; a missing attribute is skipped, and so is None
// unless allowed.
bool copy_spec_attribute(PyObject* spec, PyObject* module_dict, const char* from, const char* to, bool allow_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        return true;
    }
    if (!allow_none && value.get() == Py_None) return true;
    return PyDict_SetItemString(module_dict, to, value.get()) == 0;
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    if (!check_single_interpreter()) return nullptr;
    if (executed_module != nullptr) {
        // The import system may drop the module's (empty) state block when
        // create hands back an existing module, and allocate a new one before
        // exec. Exec frees this one if that happened.
        state_before_reimport = PyModule_GetState(executed_module);
        return Py_NewRef(executed_module);
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* module_dict = PyModule_GetDict(module.get());  // borrowed
    if (!copy_spec_attribute(spec, module_dict, "loader", "__loader__", true) ||
        !copy_spec_attribute(spec, module_dict, "origin", "__file__", true) ||
        !copy_spec_attribute(spec, module_dict, "parent", "__package__", true) ||
        !copy_spec_attribute(spec, module_dict, "submodule_search_locations", "__path__", false)) {
        return nullptr;
    }
    return module.release();
}

bool warn_on_other_python() {
    const int major = static_cast<int>((Py_Version >> 24) & 0xFF);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION) return true;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, "tolvan", "does not match", major, minor) == 0;
}

bool enter_in_sys_modules(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();  // borrowed
    const int present = PySequence_Contains(modules, names::module_name);
    if (present < 0) return false;
    return present || PyObject_SetItem(modules, names::module_name, module) == 0;
}

// `import <name>`, through builtins.__import__ as the statement does, bound
// in the module namespace under its own (interned) name.
bool import_into(PyObject* module_dict, PyObject* name) {
    PyObject* import_function = PyDict_GetItemWithError(PyEval_GetBuiltins(), names::builtin_import);  // borrowed
    if (import_function == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "__import__ not found");
        return false;
    }
    Ref keep_alive = Ref::borrow(import_function);
    PyObject* args[] = {name, module_dict, Py_None, Py_None, names::zero};
    Ref imported = Ref::steal(PyObject_Vectorcall(import_function, args, 5, nullptr));
    return imported && PyDict_SetItem(module_dict, name, imported.get()) == 0;
}

bool run_module_body(PyObject* module) {
    PyObject* module_dict = PyModule_GetDict(module);  // borrowed
    runtime::set_module_dict(module_dict);
    // The warning first: a build loaded by another version makes no object of its own before it.
    if (!warn_on_other_python() || !names::create() || !ready_method_type() || !enter_in_sys_modules(module) ||
        !runtime::bind_builtins()) {
        return false;
    }
    for (PyObject* name : {names::platform, names::serial, names::time, names::subprocess}) {
        if (!import_into(module_dict, name)) return false;
    }
    Ref driver_class = build_driver_class();
    return driver_class && PyDict_SetItem(module_dict, names::class_name, driver_class.get()) == 0;
}

// Exec of a module that an earlier exec already ran: nothing to run, but the
// state block create saw may have been replaced by a new one and is then ours
// to free. Comparing the two keeps this right whatever the import system did.
void free_dropped_state(PyObject* module) {
    void* dropped = std::exchange(state_before_reimport, nullptr);
    if (dropped != nullptr && dropped != PyModule_GetState(module)) PyMem_Free(dropped);
}

int exec_module(PyObject* module) {
    if (executed_module != nullptr) {
        if (executed_module == module) {
            free_dropped_state(module);
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'tolvan' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    executed_module = Py_NewRef(module);
    if (run_module_body(module)) return 0;
    // Forget the half-built module, so that the next import starts afresh.
    runtime::forget_load();
    Py_CLEAR(executed_module);
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tolvan",       // m_name
    module_doc,     // m_doc
    0,              // m_size: no per-module state
    nullptr,        // m_methods
    module_slots,   // m_slots
    nullptr,        // m_traverse
    nullptr,        // m_clear
    nullptr,        // m_free
};

}  // namespace

}  // namespace tolvan

PyMODINIT_FUNC PyInit_tolvan() { return PyModuleDef_Init(&tolvan::module_def); }
