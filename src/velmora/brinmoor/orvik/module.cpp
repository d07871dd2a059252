// Module initialisation: the definition, the create and exec steps, and the order in which the
// exec step fills the namespace.
#include "enums.h"
#include "errors.h"
#include "function.h"
#include "records.h"
#include "state.h"

namespace orvik {

namespace {

constexpr const char kInterpreterChange[] =
    "Interpreter change detected - this module can only be loaded into one interpreter per process.";

// Copies spec.<attr> to module.<key>; a missing attribute is skipped, as is None when
// `skip_none` is set.
int copy_spec_attr(PyObject *spec, PyObject *module_dict, const char *attr, const char *key, bool skip_none) {
    Ref name(PyUnicode_FromString(attr));
    Ref value;
    const int found = name ? get_optional_attr(spec, name.get(), value) : -1;
    if (found <= 0)
        return found;
    if (skip_none && value.get() == Py_None)
        return 0;
    return PyDict_SetItemString(module_dict, key, value.get());
}

PyObject *module_create(PyObject *spec, PyModuleDef *) {
    const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1 && PyErr_Occurred())
        return nullptr;
    if (g_state.interpreter_id == -1) {
        g_state.interpreter_id = id;
        forget_process_state_at_exit();
    } else if (id != g_state.interpreter_id) {
        PyErr_SetString(PyExc_ImportError, kInterpreterChange);
        return nullptr;
    }
    if (g_state.module != nullptr)
        return Py_NewRef(g_state.module);

    Ref name(PyObject_GetAttrString(spec, "name"));
    if (!name)
        return nullptr;
    Ref module(PyModule_NewObject(name.get()));
    if (!module)
        return nullptr;
    PyObject *dict = PyModule_GetDict(module.get());
    if (copy_spec_attr(spec, dict, "loader", "__loader__", false) < 0 ||
        copy_spec_attr(spec, dict, "origin", "__file__", false) < 0 ||
        copy_spec_attr(spec, dict, "parent", "__package__", false) < 0 ||
        copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", true) < 0)
        return nullptr;
    return module.release();
}

// The running interpreter's version as it reports itself in sys.version_info; anything but
// the 3.12 the module was built for is warned about.
int check_version() {
    PyObject *version_info = PySys_GetObject("version_info");
    if (version_info == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "lost sys.version_info");
        return -1;
    }
    Ref major_obj(PySequence_GetItem(version_info, 0));
    Ref minor_obj(major_obj ? PySequence_GetItem(version_info, 1) : nullptr);
    if (!minor_obj)
        return -1;
    const long major = PyLong_AsLong(major_obj.get());
    const long minor = major == -1 && PyErr_Occurred() ? -1 : PyLong_AsLong(minor_obj.get());
    if (minor == -1 && PyErr_Occurred())
        return -1;
    if (major == PY_MAJOR_VERSION && minor == PY_MINOR_VERSION)
        return 0;
    return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                            PY_MAJOR_VERSION, PY_MINOR_VERSION, kModuleName, "does not match",
                            static_cast<int>(major), static_cast<int>(minor));
}

int register_in_sys_modules(PyObject *module) {
    PyObject *modules = PyImport_GetModuleDict();
    Ref key(PyUnicode_FromString(kModuleName));
    if (!key)
        return -1;
    const int present = PySequence_Contains(modules, key.get());
    if (present != 0)
        return present < 0 ? -1 : 0;
    return PyObject_SetItem(modules, key.get(), module);
}

int bind_function(PyObject *ns, const FunctionSpec &spec, PyObject **keep = nullptr) {
    Ref function(make_function(spec, ns));
    if (!function || PyDict_SetItemString(ns, spec.name, function.get()) < 0)
        return -1;
    if (keep != nullptr)
        *keep = function.release();
    return 0;
}

// Exec steps 3 to 14; steps 1 and 2 (and the clean-up on failure) are in module_exec.
int fill_namespace(PyObject *module, PyObject *ns) {
    if (init_names() < 0 || init_function_type() < 0)
        return -1;
    if (check_version() < 0 || register_in_sys_modules(module) < 0)
        return -1;
    if (bind_record_types(ns) < 0)
        return -1;
    if (bind_imported_names(ns) < 0 || bind_enumerations(ns) < 0)
        return -1;
    if (bind_exception_classes(ns) < 0 || bind_error_table(ns) < 0)
        return -1;
    if (bind_function(ns, kHandleErrorCodeSpec, &g_state.handle_error_code) < 0)
        return -1;
    if (bind_record_pickling(ns) < 0)
        return -1;
    for (const FunctionSpec &spec : operation_table()) {
        if (bind_function(ns, spec) < 0)
            return -1;
    }
    Ref test(PyDict_New());
    if (!test || PyDict_SetItemString(ns, "__test__", test.get()) < 0)
        return -1;
    watch_namespace();
    return 0;
}

int module_exec(PyObject *module) {
    if (g_state.module != nullptr) {
        if (g_state.module == module)
            return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'orvik' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    g_state.module = Py_NewRef(module);
    g_state.ns = Py_NewRef(PyModule_GetDict(module));
    if (g_state.builtins == nullptr) {
        Ref builtins(PyImport_ImportModule("builtins"));
        if (builtins)
            g_state.builtins = Py_NewRef(PyModule_GetDict(builtins.get()));
    }
    if (g_state.builtins == nullptr || fill_namespace(module, g_state.ns) < 0) {
        add_traceback_entry("init velmora.brinmoor.orvik");
        // Leave the state as before this attempt, so that the next import starts afresh.
        Py_CLEAR(g_state.handle_error_code);
        Py_CLEAR(g_state.ns);
        Py_CLEAR(g_state.module);
        return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(module_create)},
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
#if PY_VERSION_HEX >= 0x030D0000
    // The process-wide state and caches are guarded by the GIL alone: a free-threaded
    // interpreter must keep (or turn back on) its GIL while this module is loaded.
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyMethodDef module_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "orvik",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = module_methods,
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

} // namespace

} // namespace orvik

PyMODINIT_FUNC PyInit_orvik(void) {
    return PyModuleDef_Init(&orvik::module_def);
}
