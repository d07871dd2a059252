// The step sequence shared by the 42 operations: look up handle_error_code, convert arguments,
// call the SDK once with the interpreter lock released, hand over the code, build the result.
//
// An operation receives its arguments bound and coerced (exact int, Py_True/Py_False, exact str,
// record instance, or any object for an enumeration) and reads like this:
//
//     Operation op;
//     int32_t id;
//     if (!op.begin() || !to_int32(args[0], &id))
//         return nullptr;
//     if (!op.finish(Operation::call_sdk([&] { return ASIOpenCamera(id); })))
//         return nullptr;
//     Py_RETURN_NONE;
#pragma once

#include "arguments.h"
#include "enums.h"
#include "errors.h"
#include "records.h"

#include <ASICamera2.h>

#include <cstdint>
#include <type_traits>
#include <utility>

namespace orvik {

class Operation {
  public:
    // Resolves handle_error_code by name (namespace, then builtins) at each call.
    bool begin();
    // Runs `sdk` with the interpreter lock released and returns what it returned. Whatever the SDK
    // reads or writes during the call (new record objects, the new image object, copies of
    // arguments) is owned by this call and invisible to other threads.
    //
    // An enumeration result (a return code, an SDK boolean) comes back as a plain int at once:
    // the SDK may return values that are no enumerator, and C++ must never load those as enums.
    template <class F> static auto call_sdk(F &&sdk) {
        using Result = decltype(std::forward<F>(sdk)());
        using Out = std::conditional_t<std::is_enum_v<Result>, int, Result>;
        PyThreadState *saved = PyEval_SaveThread();
        const Out result = static_cast<Out>(std::forward<F>(sdk)());
        restore_thread(saved);
        return result;
    }
    // PyEval_RestoreThread, except that a thread the interpreter ends because it is shutting
    // down never unwinds into the caller (see operation.cpp).
    static void restore_thread(PyThreadState *saved);
    // Hands the SDK's return code, as its key in the error table, to the handler found by begin().
    bool finish(int code);

  private:
    Ref handler_;
};

// A boolean argument after binding (Py_True or Py_False) as the SDK boolean.
inline int sdk_bool(PyObject *coerced) {
    return coerced == Py_True ? 1 : 0;
}

// The enumeration conversion (arg.value, then 32-bit signed) with the errors of enum_to_int32.
// Members of enum classes whose `value` is Enum's own property take a shortcut that reads the
// same `_value_` without running the property's Python code.
bool enum_arg_to_int32(PyObject *arg, int32_t *out);

// The memory of one image read, all of it made by the read and released when the read returns
// or fails. allocate() comes first in the call, with the checks and errors of bytearray(size):
// a negative size raises ValueError, one that cannot be allocated MemoryError. The SDK writes
// into storage(), which reads as zeros wherever it writes nothing; take() then gives the image
// as a bytes object of exactly `size` bytes. A small image is that object, filled in place; a
// large one is filled in a fresh anonymous mapping (the kernel gives zero pages only where the
// SDK writes, so a read that fails without data clears nothing) and copied once into it.
class ImageBuffer {
  public:
    ImageBuffer() = default;
    ImageBuffer(const ImageBuffer &) = delete;
    ImageBuffer &operator=(const ImageBuffer &) = delete;
    ~ImageBuffer() { scratch_.release(); }

    // `size` is an exact int. False with the error set.
    bool allocate(PyObject *size);
    // Where the SDK writes the image: valid also for size 0.
    unsigned char *storage() const;
    // The image as a new reference; once only, after the SDK filled storage().
    PyObject *take();

  private:
    struct Scratch {
        void *data = nullptr;
        size_t size = 0;
        void release() noexcept; // unmaps it, if any
    };
    Ref bytes_;
    Scratch scratch_;
};

// A tuple made of new references, stolen; null (releasing the others) if any item is null.
template <class... Items> PyObject *steal_into_tuple(Items... items) {
    PyObject *held[] = {items...};
    bool complete = true;
    for (PyObject *item : held)
        complete = complete && item != nullptr;
    PyObject *tuple = complete ? PyTuple_New(sizeof...(Items)) : nullptr;
    Py_ssize_t i = 0;
    for (PyObject *item : held) {
        if (tuple != nullptr)
            PyTuple_SET_ITEM(tuple, i++, item);
        else
            Py_XDECREF(item);
    }
    return tuple;
}

// Check and convert the camera ID, then call `sdk(id)` and hand over its code: the whole of most
// operations except their SDK call and result.
template <class F> bool run_on_camera(Operation &op, PyObject *camera_id, F &&sdk) {
    int32_t id;
    if (!op.begin() || !to_int32(camera_id, &id))
        return false;
    return op.finish(Operation::call_sdk([&] { return sdk(id); }));
}

// An operation that takes only the camera ID and returns None.
template <ASI_ERROR_CODE (*Sdk)(int)> PyObject *camera_only(PyObject *const *args) {
    Operation op;
    if (!run_on_camera(op, args[0], [](int32_t id) { return Sdk(id); }))
        return nullptr;
    Py_RETURN_NONE;
}

// The operations, in namespace order. `args` holds the bound and coerced arguments.
#define ORVIK_OPERATIONS(X)                                                                                  \
    X(get_number_of_connected_cameras)                                                                       \
    X(camera_check)                                                                                          \
    X(get_camera_property)                                                                                   \
    X(get_sdk_version)                                                                                       \
    X(get_camera_property_by_id)                                                                             \
    X(open_camera)                                                                                           \
    X(init_camera)                                                                                           \
    X(close_camera)                                                                                          \
    X(get_id)                                                                                                \
    X(set_id)                                                                                                \
    X(get_serial_number)                                                                                     \
    X(get_camera_support_mode)                                                                               \
    X(get_camera_mode)                                                                                       \
    X(set_camera_mode)                                                                                       \
    X(start_exposure)                                                                                        \
    X(stop_exposure)                                                                                         \
    X(get_exp_status)                                                                                        \
    X(get_data_after_exp)                                                                                    \
    X(get_data_after_exp_gps)                                                                                \
    X(start_video_capture)                                                                                   \
    X(stop_video_capture)                                                                                    \
    X(get_video_data)                                                                                        \
    X(get_video_data_gps)                                                                                    \
    X(get_num_of_controls)                                                                                   \
    X(get_control_caps)                                                                                      \
    X(get_control_value)                                                                                     \
    X(set_control_value)                                                                                     \
    X(set_roi_format)                                                                                        \
    X(get_roi_format)                                                                                        \
    X(set_start_pos)                                                                                         \
    X(get_start_pos)                                                                                         \
    X(get_dropped_frames)                                                                                    \
    X(enable_dark_subtract)                                                                                  \
    X(disable_dark_subtract)                                                                                 \
    X(pulse_guide_on)                                                                                        \
    X(pulse_guide_off)                                                                                       \
    X(get_gain_offset)                                                                                       \
    X(get_lmh_gain_offset)                                                                                   \
    X(send_soft_trigger)                                                                                     \
    X(set_trigger_output_io_conf)                                                                            \
    X(get_trigger_output_io_conf)                                                                            \
    X(gps_get_data)

namespace ops {
#define ORVIK_DECLARE_OPERATION(name) PyObject *name(PyObject *const *args);
ORVIK_OPERATIONS(ORVIK_DECLARE_OPERATION)
#undef ORVIK_DECLARE_OPERATION
} // namespace ops

} // namespace orvik
