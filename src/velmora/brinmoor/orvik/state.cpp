// Process-wide module state, global name lookup and traceback entries.
#include "state.h"

namespace orvik {

ModuleState g_state;
Names g_names;
HotGlobals g_hot;

namespace {

int g_watcher_id = -1;

void forget_hot_values() {
    g_hot.handle_error_code = g_hot.error_table = g_hot.success = nullptr;
    g_hot.success_known = false;
    ++g_hot.forgotten;
}

// Whether `key` is (or may equal) one of the remembered names.
bool may_be_hot_name(PyObject *key) {
    if (!PyUnicode_CheckExact(key))
        return true; // a str subclass or other key may compare equal in its own way
    for (PyObject *name : {g_names.handle_error_code, g_names.error_table, g_names.success}) {
        if (key == name || (PyUnicode_GET_LENGTH(key) == PyUnicode_GET_LENGTH(name) &&
                            PyUnicode_Compare(key, name) == 0))
            return true;
    }
    return false;
}

// Whether every key of `dict` is an exact str, so that looking a str up runs no Python code.
bool str_keys_only(PyObject *dict) {
    Py_ssize_t pos = 0;
    PyObject *key = nullptr;
    PyObject *value = nullptr;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key))
            return false;
    }
    return true;
}

int on_dict_event(PyDict_WatchEvent event, PyObject *dict, PyObject *key, PyObject *new_value) {
    if (dict == g_state.ns) {
        if (event == PyDict_EVENT_ADDED && key != nullptr && !PyUnicode_CheckExact(key))
            g_hot.foreign_keys = true;
        else if (event == PyDict_EVENT_CLEARED)
            g_hot.foreign_keys = false;
        else if (event == PyDict_EVENT_CLONED) { // the empty namespace takes the keys of a source dict
            PyObject *source = key != nullptr && PyDict_Check(key) ? key : new_value;
            g_hot.foreign_keys = source == nullptr || !PyDict_Check(source) || !str_keys_only(source);
        }
    }
    const bool keyed = event == PyDict_EVENT_ADDED || event == PyDict_EVENT_MODIFIED || event == PyDict_EVENT_DELETED;
    if (dict == g_state.ns && keyed && key != nullptr && !may_be_hot_name(key))
        return 0;
    if (dict == g_state.ns)
        forget_hot_values();
    else
        g_hot.success_known = false; // an error table, current or former
    return 0;
}

PyObject **hot_slot(PyObject *name) {
    if (name == g_names.handle_error_code)
        return &g_hot.handle_error_code;
    if (name == g_names.error_table)
        return &g_hot.error_table;
    if (name == g_names.success)
        return &g_hot.success;
    return nullptr;
}

} // namespace

void watch_namespace() {
    if (g_watcher_id < 0)
        g_watcher_id = PyDict_AddWatcher(on_dict_event);
    if (g_watcher_id < 0 || PyDict_Watch(g_watcher_id, g_state.ns) < 0) {
        PyErr_Clear();
        return;
    }
    forget_hot_values();
    g_hot.foreign_keys = !str_keys_only(g_state.ns);
    g_hot.watching = true;
}

bool watch_dict(PyObject *dict) {
    if (g_watcher_id < 0 || PyDict_Watch(g_watcher_id, dict) < 0) {
        PyErr_Clear();
        return false;
    }
    return true;
}

int init_names() {
    struct Entry {
        PyObject **slot;
        const char *text;
    };
    const Entry entries[] = {
        {&g_names.handle_error_code, "handle_error_code"},
        {&g_names.error_table, "ASI_ERROR_CODE_TO_EXCEPTION"},
        {&g_names.success, "ASISuccess"},
        {&g_names.unknown_error_code, "ASIUnknownErrorCode"},
        {&g_names.error, "ASIError"},
        {&g_names.int_enum, "IntEnum"},
        {&g_names.bayer_pattern, "BayerPattern"},
        {&g_names.img_type, "ImgType"},
        {&g_names.control_type, "ControlType"},
        {&g_names.camera_mode, "CameraMode"},
        {&g_names.exposure_status, "ExposureStatus"},
        {&g_names.img_end, "IMG_END"},
        {&g_names.mode_end, "ASI_MODE_END"},
        {&g_names.supported_camera_mode, "supported_camera_mode"},
        {&g_names.value, "value"},
        {&g_names.raw_value, "_value_"},
        {&g_names.fget, "fget"},
        {&g_names.add_note, "add_note"},
        {&g_names.encode, "encode"},
        {&g_names.utf_8, "utf-8"},
        {&g_names.mro_entries, "__mro_entries__"},
        {&g_names.dunder_get, "__get__"},
        {&g_names.state, "state"},
        {&g_names.prepare, "__prepare__"},
        {&g_names.name, "name"},
        {&g_names.camera_id, "camera_id"},
        {&g_names.max_height, "max_height"},
        {&g_names.max_width, "max_width"},
    };
    for (const Entry &e : entries) {
        if (*e.slot != nullptr)
            continue; // made by an earlier (possibly failed) import attempt; kept for the process
        *e.slot = PyUnicode_InternFromString(e.text);
        if (*e.slot == nullptr)
            return -1;
    }
    return 0;
}

PyObject *lookup_global(PyObject *name) {
    PyObject **slot = g_hot.watching && !g_hot.foreign_keys ? hot_slot(name) : nullptr;
    if (slot != nullptr && *slot != nullptr)
        return Py_NewRef(*slot);
    PyObject *found = g_state.ns ? PyDict_GetItemWithError(g_state.ns, name) : nullptr;
    if (found != nullptr) {
        if (slot != nullptr)
            *slot = found;
        return Py_NewRef(found);
    }
    if (PyErr_Occurred())
        return nullptr;
    if (g_state.builtins != nullptr) {
        found = PyDict_GetItemWithError(g_state.builtins, name);
        if (found != nullptr)
            return Py_NewRef(found);
        if (PyErr_Occurred())
            return nullptr;
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return nullptr;
}

void add_traceback_entry(const char *qualname) {
    if (!PyErr_Occurred())
        return;
    // There is no Python source behind the module, so every entry points at line 1 of the
    // module's source folder; the function name carries the information.
    _PyTraceback_Add(qualname, kTracebackFile, 1);
}

} // namespace orvik
