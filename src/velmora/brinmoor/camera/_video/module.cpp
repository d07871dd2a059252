// The module velmora.brinmoor.camera._video: its two types and the method names it calls back.
#include "video.h"

namespace video {
namespace {

ModuleState *module_state(PyObject *module) {
    return static_cast<ModuleState *>(PyModule_GetState(module));
}

int add_type(PyObject *module, PyType_Spec *spec, PyTypeObject *base, PyTypeObject *&out) {
    PyObject *type = PyType_FromModuleAndSpec(module, spec, reinterpret_cast<PyObject *>(base));
    if (type == nullptr)
        return -1;
    out = reinterpret_cast<PyTypeObject *>(type);
    return PyModule_AddType(module, out);
}

int intern_name(const char *name, PyObject *&out) {
    out = PyUnicode_InternFromString(name);
    return out == nullptr ? -1 : 0;
}

int video_exec(PyObject *module) {
    ModuleState *state = module_state(module);
    if (add_type(module, &frame_core_spec, nullptr, state->frame_core) < 0 ||
        add_type(module, &video_reader_spec, nullptr, state->video_reader) < 0 ||
        intern_name("_next_checked", state->next_checked) < 0 ||
        intern_name("_late_frame", state->late_frame) < 0 ||
        intern_name("_checked_template", state->checked_template) < 0)
        return -1;
    return 0;
}

int video_traverse(PyObject *module, visitproc visit, void *arg) {
    ModuleState *state = module_state(module);
    if (state == nullptr)
        return 0;
    Py_VISIT(state->frame_core);
    Py_VISIT(state->video_reader);
    return 0;
}

int video_clear(PyObject *module) {
    ModuleState *state = module_state(module);
    if (state == nullptr)
        return 0;
    Py_CLEAR(state->frame_core);
    Py_CLEAR(state->video_reader);
    Py_CLEAR(state->next_checked);
    Py_CLEAR(state->late_frame);
    Py_CLEAR(state->checked_template);
    return 0;
}

void video_free(void *module) {
    video_clear(static_cast<PyObject *>(module));
}

PyModuleDef_Slot video_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(video_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

} // namespace

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "velmora.brinmoor.camera._video",
    PyDoc_STR("The camera layer's per-frame video path in native code."),
    sizeof(ModuleState),
    nullptr,
    video_slots,
    video_traverse,
    video_clear,
    video_free,
};

ModuleState *state_of(PyTypeObject *type) {
    PyObject *module = PyType_GetModuleByDef(type, &module_def);
    return module == nullptr ? nullptr : module_state(module);
}

} // namespace video

PyMODINIT_FUNC PyInit__video() {
    return PyModuleDef_Init(&video::module_def);
}
