// Process-wide module state: one copy per process, written only by the create and exec steps.
#pragma once

#include "pyref.h"

#include <cstdint>

namespace orvik {

// The five record types, in the order the exec step makes them ready and binds them.
enum class RecordKind : int { ControlCaps = 0, Id, SupportedMode, GpsData, CameraInfo, Count };

struct ModuleState {
    int64_t interpreter_id = -1;     // first interpreter that created the module, -1 for none
    PyObject *module = nullptr;      // the one module object (strong), set by the exec step
    PyObject *ns = nullptr;          // its __dict__ (strong while module is set)
    PyObject *handle_error_code = nullptr; // the function object the exec step bound (strong)
    PyObject *builtins = nullptr;    // the builtins dict, second place of every name lookup
};

extern ModuleState g_state;

// Interned names used on hot paths, made once by init_names() (exec step).
struct Names {
    PyObject *handle_error_code = nullptr;
    PyObject *error_table = nullptr;        // "ASI_ERROR_CODE_TO_EXCEPTION"
    PyObject *success = nullptr;            // "ASISuccess"
    PyObject *unknown_error_code = nullptr; // "ASIUnknownErrorCode"
    PyObject *error = nullptr;              // "ASIError"
    PyObject *int_enum = nullptr;           // "IntEnum"
    PyObject *value = nullptr;              // "value"
    PyObject *add_note = nullptr;           // "add_note"
    PyObject *mro_entries = nullptr;        // "__mro_entries__"
    PyObject *prepare = nullptr;            // "__prepare__"
};
extern Names g_names;
int init_names();

// Fully qualified module name, and the file name of every traceback entry the module adds.
inline constexpr const char kModuleName[] = "velmora.brinmoor.orvik";
inline constexpr const char kTracebackFile[] = "src/velmora/brinmoor/orvik";

// Looks `name` up in the module namespace, then in builtins. Returns a new reference, or null
// with NameError "name '%U' is not defined" (or the lookup's own error) set.
PyObject *lookup_global(PyObject *name);

// Adds the one traceback entry named `qualname` (e.g. "velmora.brinmoor.orvik.open_camera")
// to the pending exception. Does nothing when no exception is pending.
void add_traceback_entry(const char *qualname);

} // namespace orvik
