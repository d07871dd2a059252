// Discovery and camera properties: count, check, read CameraInfo records, SDK version.
#include "operation.h"

#include <cstring>

namespace orvik::ops {

PyObject *get_number_of_connected_cameras(PyObject *const *) {
    // The SDK returns the count itself, no code: nothing is handed to handle_error_code.
    return PyLong_FromLong(Operation::call_sdk([] { return ASIGetNumOfConnectedCameras(); }));
}

PyObject *camera_check(PyObject *const *args) {
    int32_t vid, pid;
    if (!to_int32(args[0], &vid) || !to_int32(args[1], &pid))
        return nullptr;
    const int found = static_cast<int>(Operation::call_sdk([&] { return ASICameraCheck(vid, pid); }));
    // Annotated "int": the truth value as a plain 1 or 0.
    return PyLong_FromLong(found != 0 ? 1 : 0);
}

PyObject *get_camera_property(PyObject *const *args) {
    Ref info(new_record(RecordKind::CameraInfo));
    if (!info)
        return nullptr;
    Operation op;
    int32_t index;
    if (!op.begin() || !to_int32(args[0], &index))
        return nullptr;
    ASI_CAMERA_INFO *record = record_of<ASI_CAMERA_INFO>(info.get());
    if (!op.finish(Operation::call_sdk([&] { return ASIGetCameraProperty(record, index); })))
        return nullptr;
    return info.release();
}

PyObject *get_sdk_version(PyObject *const *) {
    const char *version = Operation::call_sdk([] { return ASIGetSDKVersion(); });
    if (version == nullptr) {
        // The SDK owes a string; a missing one is a failure, never an empty success.
        PyErr_SetString(PyExc_RuntimeError, "the camera SDK returned no version string");
        return nullptr;
    }
    return PyUnicode_DecodeUTF8(version, static_cast<Py_ssize_t>(std::strlen(version)), nullptr);
}

PyObject *get_camera_property_by_id(PyObject *const *args) {
    Ref info(new_record(RecordKind::CameraInfo));
    if (!info)
        return nullptr;
    Operation op;
    ASI_CAMERA_INFO *record = record_of<ASI_CAMERA_INFO>(info.get());
    if (!run_on_camera(op, args[0], [record](int32_t id) { return ASIGetCameraPropertyByID(id, record); }))
        return nullptr;
    return info.release();
}

} // namespace orvik::ops
