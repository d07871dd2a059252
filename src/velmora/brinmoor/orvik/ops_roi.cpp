// Region of interest: size, binning, image type and start position.
#include "operation.h"

namespace orvik::ops {

PyObject *set_roi_format(PyObject *const *args) {
    Operation op;
    int32_t id, width, height, bin, img_type;
    if (!op.begin() || !to_int32(args[0], &id) || !to_int32(args[1], &width) || !to_int32(args[2], &height) ||
        !to_int32(args[3], &bin) || !enum_arg_to_int32(args[4], &img_type))
        return nullptr;
    if (!op.finish(Operation::call_sdk(
            [&] { return ASISetROIFormat(id, width, height, bin, static_cast<ASI_IMG_TYPE>(img_type)); })))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *get_roi_format(PyObject *const *args) {
    int width = 0, height = 0, bin = 0;
    int32_t img_type = 0; // read as int: the SDK may report a value that is no enumerator
    auto *type_out = reinterpret_cast<ASI_IMG_TYPE *>(&img_type);
    Operation op;
    if (!run_on_camera(op, args[0],
                       [&](int32_t id) { return ASIGetROIFormat(id, &width, &height, &bin, type_out); }))
        return nullptr;
    Ref w(PyLong_FromLong(width)), h(PyLong_FromLong(height)), b(PyLong_FromLong(bin));
    if (!w || !h || !b)
        return nullptr;
    PyObject *member = enum_result(g_names.img_type, img_type);
    if (member == nullptr)
        return nullptr;
    return steal_into_tuple(w.release(), h.release(), b.release(), member);
}

PyObject *set_start_pos(PyObject *const *args) {
    Operation op;
    int32_t id, x, y;
    if (!op.begin() || !to_int32(args[0], &id) || !to_int32(args[1], &x) || !to_int32(args[2], &y))
        return nullptr;
    if (!op.finish(Operation::call_sdk([&] { return ASISetStartPos(id, x, y); })))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *get_start_pos(PyObject *const *args) {
    int x = 0, y = 0;
    Operation op;
    if (!run_on_camera(op, args[0], [&](int32_t id) { return ASIGetStartPos(id, &x, &y); }))
        return nullptr;
    return steal_into_tuple(PyLong_FromLong(x), PyLong_FromLong(y));
}

} // namespace orvik::ops
