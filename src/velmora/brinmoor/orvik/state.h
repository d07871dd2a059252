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
};

extern ModuleState g_state;

// Fully qualified module name, and the file name of every traceback entry the module adds.
inline constexpr const char kModuleName[] = "velmora.brinmoor.orvik";
inline constexpr const char kTracebackFile[] = "src/velmora/brinmoor/orvik";

// Looks `name` up in the module namespace, then in builtins. Returns a new reference, or null
// with NameError "name '%U' is not defined" (or the lookup's own error) set.
PyObject *lookup_global(PyObject *name);

// Adds the one traceback entry named `qualname` (e.g. "velmora.brinmoor.orvik.open_camera")
// to the pending exception.
void add_traceback_entry(const char *qualname);

} // namespace orvik
