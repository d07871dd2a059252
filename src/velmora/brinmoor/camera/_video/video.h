// The camera layer's video path in native code. A stream's next frame (one read, the time, one
// frame object) is the loop a program runs thousands of times a second, so its plain case runs
// without the interpreter; every other case (starting, stopping, a settings change, a late or
// failed read) is handed to the stream's Python methods.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace video {

struct ModuleState {
    PyTypeObject *frame_core = nullptr;
    PyTypeObject *video_reader = nullptr;
    // Names of the Python methods the reader hands its uncommon cases to, interned once.
    PyObject *next_checked = nullptr;
    PyObject *late_frame = nullptr;
    PyObject *checked_template = nullptr;
};

extern PyModuleDef module_def;

// The state of the module that defined `type` (or one of its bases); null with an exception set
// when there is none.
ModuleState *state_of(PyTypeObject *type);

// A frame's fields. Python subclasses add the behaviour (metadata, numpy views, files).
struct FrameCore {
    PyObject_HEAD PyObject *data;
    PyObject *metadata;
    PyObject *end; // a float, or None for a frame that carries its own finished record
    double previous_end;
    Py_ssize_t sequence;
    PyObject *array; // the numpy view, made on first use; None until then
};

extern PyType_Spec frame_core_spec;
extern PyType_Spec video_reader_spec;

// A new frame of `type` (FrameCore or a subclass of it); the arguments are borrowed.
PyObject *new_frame(PyTypeObject *type, PyObject *data, PyObject *metadata, double end, double previous_end,
                    Py_ssize_t sequence);

} // namespace video
