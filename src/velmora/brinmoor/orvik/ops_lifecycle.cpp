// Camera lifecycle, identity and modes.
#include "operation.h"

namespace orvik::ops {

PyObject *open_camera(PyObject *const *args) {
    return camera_only<ASIOpenCamera>(args);
}
PyObject *init_camera(PyObject *const *args) {
    return camera_only<ASIInitCamera>(args);
}
PyObject *close_camera(PyObject *const *args) {
    return camera_only<ASICloseCamera>(args);
}

namespace {
// get_id and get_serial_number differ only in the SDK function that fills the new Id.
template <ASI_ERROR_CODE (*Sdk)(int, ASI_ID *)> PyObject *read_id(PyObject *const *args) {
    Ref id_object(new_record(RecordKind::Id));
    if (!id_object)
        return nullptr;
    Operation op;
    ASI_ID *record = record_of<ASI_ID>(id_object.get());
    if (!run_on_camera(op, args[0], [record](int32_t id) { return Sdk(id, record); }))
        return nullptr;
    return id_object.release();
}
} // namespace

PyObject *get_id(PyObject *const *args) {
    return read_id<ASIGetID>(args);
}
PyObject *get_serial_number(PyObject *const *args) {
    return read_id<ASIGetSerialNumber>(args);
}

PyObject *set_id(PyObject *const *args) {
    Operation op;
    int32_t id;
    if (!op.begin() || !to_int32(args[0], &id))
        return nullptr;
    // The SDK takes the record by value: a copy made while the lock is held, so the argument is
    // never changed and no other thread can write it mid-call.
    const ASI_ID serial_number = *record_of<ASI_ID>(args[1]);
    if (!op.finish(Operation::call_sdk([&] { return ASISetID(id, serial_number); })))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *get_camera_support_mode(PyObject *const *args) {
    Ref modes(new_record(RecordKind::SupportedMode));
    if (!modes)
        return nullptr;
    Operation op;
    ASI_SUPPORTED_MODE *record = record_of<ASI_SUPPORTED_MODE>(modes.get());
    if (!run_on_camera(op, args[0], [record](int32_t id) { return ASIGetCameraSupportMode(id, record); }))
        return nullptr;
    // The result is the record's list, read by ordinary attribute lookup; the record is dropped.
    Ref list(PyObject_GetAttr(modes.get(), g_names.supported_camera_mode));
    if (!list)
        return nullptr;
    if (list.get() != Py_None && !PyList_Check(list.get())) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "list", Py_TYPE(list.get())->tp_name);
        return nullptr;
    }
    return list.release();
}

PyObject *get_camera_mode(PyObject *const *args) {
    // Read as a plain int: the SDK may report a value that is no enumerator.
    int32_t mode = 0;
    Operation op;
    auto *out = reinterpret_cast<ASI_CAMERA_MODE *>(&mode);
    if (!run_on_camera(op, args[0], [out](int32_t id) { return ASIGetCameraMode(id, out); }))
        return nullptr;
    return enum_result(g_names.camera_mode, mode);
}

PyObject *set_camera_mode(PyObject *const *args) {
    Operation op;
    int32_t id, mode;
    if (!op.begin() || !to_int32(args[0], &id) || !enum_arg_to_int32(args[1], &mode))
        return nullptr;
    if (!op.finish(
            Operation::call_sdk([&] { return ASISetCameraMode(id, static_cast<ASI_CAMERA_MODE>(mode)); })))
        return nullptr;
    Py_RETURN_NONE;
}

} // namespace orvik::ops
