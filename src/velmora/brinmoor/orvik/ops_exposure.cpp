// Snapshot exposure: start, stop, poll, and read the image (with or without its GPS data).
#include "operation.h"

namespace orvik::ops {

PyObject *start_exposure(PyObject *const *args) {
    const auto is_dark = static_cast<ASI_BOOL>(sdk_bool(args[1]));
    Operation op;
    if (!run_on_camera(op, args[0], [is_dark](int32_t id) { return ASIStartExposure(id, is_dark); }))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *stop_exposure(PyObject *const *args) {
    return camera_only<ASIStopExposure>(args);
}

PyObject *get_exp_status(PyObject *const *args) {
    int32_t status = 0; // read as int: the SDK may report a value that is no enumerator
    auto *out = reinterpret_cast<ASI_EXPOSURE_STATUS *>(&status);
    Operation op;
    if (!run_on_camera(op, args[0], [out](int32_t id) { return ASIGetExpStatus(id, out); }))
        return nullptr;
    // Passed through ExposureStatus (so a value that is no member raises), then returned as the
    // plain int its "int" annotation asks for.
    Ref member(enum_result(g_names.exposure_status, status));
    if (!member)
        return nullptr;
    return PyNumber_Long(member.get());
}

namespace {
// Both image reads: the image buffer first (its size checks come before anything else), then
// the camera ID, the storage address and the size, in that order.
PyObject *read_image(PyObject *const *args, ASI_GPS_DATA *gps) {
    ImageBuffer image;
    if (!image.allocate(args[1]))
        return nullptr;
    Operation op;
    int32_t id;
    long size;
    if (!op.begin() || !to_int32(args[0], &id))
        return nullptr;
    unsigned char *storage = image.storage();
    if (!to_sdk_long(args[1], &size))
        return nullptr;
    const int code = Operation::call_sdk([&] {
        return gps ? ASIGetDataAfterExpGPS(id, storage, size, gps) : ASIGetDataAfterExp(id, storage, size);
    });
    if (!op.finish(code))
        return nullptr;
    return image.take();
}
} // namespace

PyObject *get_data_after_exp(PyObject *const *args) {
    return read_image(args, nullptr);
}

PyObject *get_data_after_exp_gps(PyObject *const *args) {
    Ref gps(new_record(RecordKind::GpsData));
    if (!gps)
        return nullptr;
    PyObject *image = read_image(args, record_of<ASI_GPS_DATA>(gps.get()));
    if (image == nullptr)
        return nullptr;
    return steal_into_tuple(image, gps.release());
}

} // namespace orvik::ops
