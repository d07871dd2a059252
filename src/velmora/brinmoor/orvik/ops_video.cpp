// Video capture: start, stop, fetch frames (with or without GPS data), dropped frames.
#include "operation.h"

namespace orvik::ops {

PyObject *start_video_capture(PyObject *const *args) {
    return camera_only<ASIStartVideoCapture>(args);
}
PyObject *stop_video_capture(PyObject *const *args) {
    return camera_only<ASIStopVideoCapture>(args);
}

namespace {
// Both frame fetches: the frame buffer is made before anything else of the call; then the camera
// ID, the storage address, the size and the wait, in that order. The wait happens with the
// interpreter lock released, so other Python threads run meanwhile.
PyObject *read_frame(PyObject *const *args, ASI_GPS_DATA *gps) {
    ImageBuffer frame;
    if (!frame.allocate(args[1]))
        return nullptr;
    Operation op;
    int32_t id, wait_ms;
    long size;
    if (!op.begin() || !to_int32(args[0], &id))
        return nullptr;
    unsigned char *storage = frame.storage();
    if (!to_sdk_long(args[1], &size) || !to_int32(args[2], &wait_ms))
        return nullptr;
    const int code = Operation::call_sdk([&] {
        return gps ? ASIGetVideoDataGPS(id, storage, size, wait_ms, gps)
                   : ASIGetVideoData(id, storage, size, wait_ms);
    });
    if (!op.finish(code))
        return nullptr;
    return frame.take();
}
} // namespace

PyObject *get_video_data(PyObject *const *args) {
    return read_frame(args, nullptr);
}

PyObject *get_video_data_gps(PyObject *const *args) {
    Ref gps(new_record(RecordKind::GpsData));
    if (!gps)
        return nullptr;
    PyObject *frame = read_frame(args, record_of<ASI_GPS_DATA>(gps.get()));
    if (frame == nullptr)
        return nullptr;
    return steal_into_tuple(frame, gps.release());
}

PyObject *get_dropped_frames(PyObject *const *args) {
    int dropped = 0;
    Operation op;
    if (!run_on_camera(op, args[0], [&dropped](int32_t id) { return ASIGetDroppedFrames(id, &dropped); }))
        return nullptr;
    return PyLong_FromLong(dropped);
}

} // namespace orvik::ops
