// Process-wide module state, global name lookup and traceback entries.
#include "state.h"

namespace orvik {

ModuleState g_state;
Names g_names;

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
        {&g_names.value, "value"},
        {&g_names.add_note, "add_note"},
        {&g_names.mro_entries, "__mro_entries__"},
        {&g_names.prepare, "__prepare__"},
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
    PyObject *found = g_state.ns ? PyDict_GetItemWithError(g_state.ns, name) : nullptr;
    if (found != nullptr)
        return Py_NewRef(found);
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
