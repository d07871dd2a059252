// Guiding, dark-frame subtraction, triggers and GPS.
#include "operation.h"

#include <cstring>

namespace orvik::ops {

PyObject *enable_dark_subtract(PyObject *const *args) {
    Operation op;
    int32_t id;
    if (!op.begin() || !to_int32(args[0], &id))
        return nullptr;
    // Strict UTF-8 copy owned by this call and released right after the SDK returns. A path with
    // a zero character is refused: the SDK would silently open the file named by its first part.
    Ref path(PyUnicode_AsUTF8String(args[1]));
    if (!path)
        return nullptr;
    if (std::strlen(PyBytes_AS_STRING(path.get())) != static_cast<size_t>(PyBytes_GET_SIZE(path.get()))) {
        PyErr_SetString(PyExc_ValueError, "embedded null character in bmp_path");
        return nullptr;
    }
    char *bmp_path = PyBytes_AS_STRING(path.get());
    const int code = Operation::call_sdk([&] { return ASIEnableDarkSubtract(id, bmp_path); });
    path.reset();
    if (!op.finish(code))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *disable_dark_subtract(PyObject *const *args) {
    return camera_only<ASIDisableDarkSubtract>(args);
}

namespace {
template <ASI_ERROR_CODE (*Sdk)(int, ASI_GUIDE_DIRECTION)> PyObject *pulse_guide(PyObject *const *args) {
    Operation op;
    int32_t id, direction;
    if (!op.begin() || !to_int32(args[0], &id) || !enum_arg_to_int32(args[1], &direction))
        return nullptr;
    if (!op.finish(Operation::call_sdk([&] { return Sdk(id, static_cast<ASI_GUIDE_DIRECTION>(direction)); })))
        return nullptr;
    Py_RETURN_NONE;
}
} // namespace

PyObject *pulse_guide_on(PyObject *const *args) {
    return pulse_guide<ASIPulseGuideOn>(args);
}
PyObject *pulse_guide_off(PyObject *const *args) {
    return pulse_guide<ASIPulseGuideOff>(args);
}

PyObject *send_soft_trigger(PyObject *const *args) {
    const auto start = static_cast<ASI_BOOL>(sdk_bool(args[1]));
    Operation op;
    if (!run_on_camera(op, args[0], [start](int32_t id) { return ASISendSoftTrigger(id, start); }))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *set_trigger_output_io_conf(PyObject *const *args) {
    Operation op;
    int32_t id, pin;
    long delay, duration;
    if (!op.begin() || !to_int32(args[0], &id) || !enum_arg_to_int32(args[1], &pin) ||
        !to_sdk_long(args[3], &delay) || !to_sdk_long(args[4], &duration))
        return nullptr;
    const auto high = static_cast<ASI_BOOL>(sdk_bool(args[2]));
    if (!op.finish(Operation::call_sdk([&] {
            return ASISetTriggerOutputIOConf(id, static_cast<ASI_TRIG_OUTPUT>(pin), high, delay, duration);
        })))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *get_trigger_output_io_conf(PyObject *const *args) {
    Operation op;
    int32_t id, pin;
    if (!op.begin() || !to_int32(args[0], &id) || !to_int32(args[1], &pin))
        return nullptr;
    int32_t high = 0; // read as int: the SDK boolean may be any non-zero value
    auto *high_out = reinterpret_cast<ASI_BOOL *>(&high);
    long delay = 0, duration = 0;
    if (!op.finish(Operation::call_sdk([&] {
            return ASIGetTriggerOutputIOConf(id, static_cast<ASI_TRIG_OUTPUT>(pin), high_out, &delay,
                                             &duration);
        })))
        return nullptr;
    return steal_into_tuple(PyBool_FromLong(high != 0), PyLong_FromLong(delay), PyLong_FromLong(duration));
}

PyObject *gps_get_data(PyObject *const *args) {
    Ref start(new_record(RecordKind::GpsData));
    if (!start)
        return nullptr;
    Ref end(new_record(RecordKind::GpsData));
    if (!end)
        return nullptr;
    ASI_GPS_DATA *start_record = record_of<ASI_GPS_DATA>(start.get());
    ASI_GPS_DATA *end_record = record_of<ASI_GPS_DATA>(end.get());
    Operation op;
    if (!run_on_camera(op, args[0], [&](int32_t id) { return ASIGPSGetData(id, start_record, end_record); }))
        return nullptr;
    return steal_into_tuple(start.release(), end.release());
}

} // namespace orvik::ops
