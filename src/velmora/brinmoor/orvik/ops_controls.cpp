// Controls and gain presets.
#include "operation.h"

namespace orvik::ops {

PyObject *get_num_of_controls(PyObject *const *args) {
    int count = 0;
    Operation op;
    if (!run_on_camera(op, args[0], [&count](int32_t id) { return ASIGetNumOfControls(id, &count); }))
        return nullptr;
    return PyLong_FromLong(count);
}

PyObject *get_control_caps(PyObject *const *args) {
    Ref caps(new_record(RecordKind::ControlCaps));
    if (!caps)
        return nullptr;
    Operation op;
    int32_t id, index;
    if (!op.begin() || !to_int32(args[0], &id) || !to_int32(args[1], &index))
        return nullptr;
    ASI_CONTROL_CAPS *record = record_of<ASI_CONTROL_CAPS>(caps.get());
    if (!op.finish(Operation::call_sdk([&] { return ASIGetControlCaps(id, index, record); })))
        return nullptr;
    return caps.release();
}

PyObject *get_control_value(PyObject *const *args) {
    Operation op;
    int32_t id, type;
    if (!op.begin() || !to_int32(args[0], &id) || !enum_arg_to_int32(args[1], &type))
        return nullptr;
    long value = 0;
    int32_t automatic = 0; // read as int: the SDK boolean may be any non-zero value
    auto *automatic_out = reinterpret_cast<ASI_BOOL *>(&automatic);
    if (!op.finish(Operation::call_sdk([&] {
            return ASIGetControlValue(id, static_cast<ASI_CONTROL_TYPE>(type), &value, automatic_out);
        })))
        return nullptr;
    return steal_into_tuple(PyLong_FromLong(value), PyBool_FromLong(automatic != 0));
}

PyObject *set_control_value(PyObject *const *args) {
    Operation op;
    int32_t id, type;
    long value;
    if (!op.begin() || !to_int32(args[0], &id) || !enum_arg_to_int32(args[1], &type) ||
        !to_sdk_long(args[2], &value))
        return nullptr;
    const auto automatic = static_cast<ASI_BOOL>(sdk_bool(args[3]));
    if (!op.finish(Operation::call_sdk(
            [&] { return ASISetControlValue(id, static_cast<ASI_CONTROL_TYPE>(type), value, automatic); })))
        return nullptr;
    Py_RETURN_NONE;
}

namespace {
// The two preset readers: four int outputs, returned in output order.
template <ASI_ERROR_CODE (*Sdk)(int, int *, int *, int *, int *)>
PyObject *read_presets(PyObject *const *args) {
    int v[4] = {0, 0, 0, 0};
    Operation op;
    if (!run_on_camera(op, args[0], [&v](int32_t id) { return Sdk(id, &v[0], &v[1], &v[2], &v[3]); }))
        return nullptr;
    return steal_into_tuple(PyLong_FromLong(v[0]), PyLong_FromLong(v[1]), PyLong_FromLong(v[2]),
                            PyLong_FromLong(v[3]));
}
} // namespace

PyObject *get_gain_offset(PyObject *const *args) {
    return read_presets<ASIGetGainOffset>(args);
}
PyObject *get_lmh_gain_offset(PyObject *const *args) {
    return read_presets<ASIGetLMHGainOffset>(args);
}

} // namespace orvik::ops
