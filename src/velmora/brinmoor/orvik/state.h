// Process-wide module state: one copy per process, written only by the create and exec steps.
#pragma once

#include "pyref.h"

#include <cstdint>

namespace orvik {

// The five record types, in the order the exec step makes them ready and binds them.
enum class RecordKind : int { ControlCaps = 0, Id, SupportedMode, GpsData, CameraInfo, Count };

struct ModuleState {
    int64_t interpreter_id = -1;           // first interpreter that created the module, -1 for none
    PyObject *module = nullptr;            // the one module object (strong), set by the exec step
    PyObject *ns = nullptr;                // its __dict__ (strong while module is set)
    PyObject *handle_error_code = nullptr; // the function object the exec step bound (strong)
    PyObject *builtins = nullptr;          // the builtins dict, second place of every name lookup
    bool exit_hook = false;                // forget_process_state_at_exit() has registered its hook
};

extern ModuleState g_state;

// Interned names, made once by init_names() (exec step) before anything can use them.
struct Names {
    PyObject *handle_error_code = nullptr;
    PyObject *error_table = nullptr;        // "ASI_ERROR_CODE_TO_EXCEPTION"
    PyObject *success = nullptr;            // "ASISuccess"
    PyObject *unknown_error_code = nullptr; // "ASIUnknownErrorCode"
    PyObject *error = nullptr;              // "ASIError"
    PyObject *int_enum = nullptr;           // "IntEnum"
    // Enumeration classes looked up by the results and record getters, and their end markers.
    PyObject *bayer_pattern = nullptr, *img_type = nullptr, *control_type = nullptr;
    PyObject *camera_mode = nullptr, *exposure_status = nullptr;
    PyObject *img_end = nullptr, *mode_end = nullptr;
    PyObject *supported_camera_mode = nullptr;
    // Attributes and methods.
    PyObject *value = nullptr, *raw_value = nullptr, *fget = nullptr; // "value", "_value_", "fget"
    PyObject *add_note = nullptr, *encode = nullptr, *utf_8 = nullptr;
    PyObject *mro_entries = nullptr; // "__mro_entries__"
    PyObject *prepare = nullptr;     // "__prepare__"
    PyObject *dunder_get = nullptr;  // "__get__"
    PyObject *state = nullptr;       // the parameter of the records' __setstate__
    // The attributes CameraInfo's repr reads.
    PyObject *name = nullptr, *camera_id = nullptr, *max_height = nullptr, *max_width = nullptr;
};
extern Names g_names;
int init_names();

// Values of the names looked up on every call, remembered while the namespace maps the names to
// them. A dict watcher forgets them before any change to those keys (or to the error table)
// takes effect, so a remembered value is always what a lookup would find.
struct HotGlobals {
    bool watching = false; // the namespace is watched; the fields below may be used
    // The namespace holds a key that is not an exact str. Its lookups may then run that key's
    // __eq__, which a remembered value would skip: nothing is remembered meanwhile.
    bool foreign_keys = false;
    PyObject *handle_error_code = nullptr; // borrowed from the namespace, null when not known
    PyObject *error_table = nullptr;
    PyObject *success = nullptr;
    // Whether the success shortcut of handle_error_code applies (decided in errors.cpp), and the
    // epoch it was decided in.
    bool success_shortcut = false;
    unsigned long success_epoch = 0;
    // Moves on whenever anything a remembered decision rests on may have changed: a remembered
    // name of the namespace, any other watched dict, any watched type (or one of its bases). A
    // decision made in epoch N holds while the epoch is still N. Starts at 1, so 0 never holds.
    unsigned long epoch = 1;
};
extern HotGlobals g_hot;

// Starts watching the namespace (end of the exec step). Failing to watch only costs speed.
void watch_namespace();
// Watches another dict a decision rests on: any change to it moves the epoch on.
bool watch_dict(PyObject *dict);
// Watches a type a decision rests on: any change to it or to one of its bases moves the epoch
// on. CPython tells type watchers only about types that carry a valid version tag, so the type
// gets one here; false (nothing may be decided on it) when it cannot have one.
bool watch_type(PyTypeObject *type);
// Forgets the watchers, remembered values and decisions.
void forget_watchers();

// Registers, once per runtime, the hook that forgets all process-wide state when the runtime is
// finalized (see state.cpp).
void forget_process_state_at_exit();
// The parts of that state kept by other files; each forgets its own without touching a Python
// object (they belong to a runtime that is gone).
void forget_enum_shortcut();
void forget_function_type();
void forget_record_types();

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
