// Process-wide module state, global name lookup and traceback entries.
#include "state.h"

#include <frameobject.h>

namespace orvik {

ModuleState g_state;
Names g_names;
HotGlobals g_hot;

namespace {

int g_watcher_id = -1;      // dict watcher
int g_type_watcher_id = -1; // type watcher

void forget_hot_values() {
    g_hot.handle_error_code = g_hot.error_table = g_hot.success = nullptr;
    ++g_hot.epoch;
}

// Whether `key` is (or may equal) one of the remembered names.
bool may_be_hot_name(PyObject *key) {
    if (!PyUnicode_CheckExact(key))
        return true; // a str subclass or other key may compare equal in its own way
    for (PyObject *name : {g_names.handle_error_code, g_names.error_table, g_names.success}) {
        if (key == name ||
            (PyUnicode_GET_LENGTH(key) == PyUnicode_GET_LENGTH(name) && PyUnicode_Compare(key, name) == 0))
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
    if (dict != g_state.ns) {
        ++g_hot.epoch; // a dict a decision rests on (the error table, Enum's `value` descriptor)
        return 0;
    }
    if (event == PyDict_EVENT_ADDED && key != nullptr && !PyUnicode_CheckExact(key))
        g_hot.foreign_keys = true;
    else if (event == PyDict_EVENT_CLEARED)
        g_hot.foreign_keys = false;
    else if (event == PyDict_EVENT_CLONED) { // the empty namespace takes the keys of a source dict
        PyObject *source = key != nullptr && PyDict_Check(key) ? key : new_value;
        g_hot.foreign_keys = source == nullptr || !PyDict_Check(source) || !str_keys_only(source);
    }
    const bool keyed =
        event == PyDict_EVENT_ADDED || event == PyDict_EVENT_MODIFIED || event == PyDict_EVENT_DELETED;
    if (!keyed || key == nullptr || may_be_hot_name(key))
        forget_hot_values();
    return 0;
}

int on_type_event(PyTypeObject *) {
    ++g_hot.epoch;
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

bool watch_type(PyTypeObject *type) {
    if (g_type_watcher_id < 0)
        g_type_watcher_id = PyType_AddWatcher(on_type_event);
    if (g_type_watcher_id < 0 || PyType_Watch(g_type_watcher_id, reinterpret_cast<PyObject *>(type)) < 0) {
        PyErr_Clear();
        return false;
    }
    // A type that has a version tag has one for each of its bases too, and a change to a base
    // is a change to each of its subclasses: watching this one type covers its whole MRO.
    return PyUnstable_Type_AssignVersionTag(type) == 1;
}

void forget_watchers() {
    g_watcher_id = g_type_watcher_id = -1;
    g_hot = HotGlobals{};
}

namespace {
// Runs at the very end of Py_FinalizeEx, when the runtime is gone: every pointer into it (the
// module, its namespace, interned names, watcher ids, ready types) is dropped without being
// released, so that an application that initializes Python again and imports the module again
// gets a module made afresh in the new runtime rather than one pointing into the old.
void forget_process_state() {
    g_state = ModuleState{};
    g_names = Names{};
    forget_watchers();
    forget_enum_shortcut();
    forget_function_type();
    forget_record_types();
}
} // namespace

void forget_process_state_at_exit() {
    if (g_state.exit_hook)
        return;
    // Failing to register (the hook table is full) only loses re-initialization.
    g_state.exit_hook = Py_AtExit(forget_process_state) == 0;
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
    // module's source folder; the function name carries the information. The entry is an empty
    // code object's frame; making it must run with no exception pending.
    Ref pending(PyErr_GetRaisedException());
    Ref globals(PyDict_New());
    Ref code(globals ? reinterpret_cast<PyObject *>(PyCode_NewEmpty(kTracebackFile, qualname, 1)) : nullptr);
    Ref frame(code ? reinterpret_cast<PyObject *>(PyFrame_New(PyThreadState_Get(),
                                                              reinterpret_cast<PyCodeObject *>(code.get()),
                                                              globals.get(), nullptr))
                   : nullptr);
    if (!frame)
        PyErr_Clear(); // only memory can run out here: the exception goes on without the entry
    PyErr_SetRaisedException(pending.release());
    if (frame)
        (void)PyTraceBack_Here(reinterpret_cast<PyFrameObject *>(frame.get()));
}

} // namespace orvik
