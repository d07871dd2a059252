// VideoReader: the state a stream's next frame needs, and the plain case of that next frame in
// native code. The stream (a Python subclass) sets these fields as it starts and as settings
// change; whatever is not the plain case goes to its methods `_next_checked()` (starting,
// stopping, the frame limit, a settings change), `_late_frame(exc)` (a read that failed or
// timed out) and `_checked_template(end)` (a temperature re-read, frames of the settings before
// a change).
#include "video.h"

#include <cstddef>
#include <ctime>

#include "pyref.h"

namespace video {
namespace {

using orvik::Ref;

struct VideoReader {
    PyObject_HEAD PyObject *read; // the module's get_video_data
    PyObject *read_args[3];       // camera id, frame size in bytes, first wait in ms
    PyObject *template_;          // the settings' record the frames carry
    PyTypeObject *frame_type;
    double check_at; // from this end time on, a frame needs `_checked_template`
    double last_end;
    Py_ssize_t received;
    Py_ssize_t limit; // -1: no limit
    char stopped;
    char started;
    char settings_changed;
};

// POSIX seconds, as time.time() reads them.
double wall_clock() {
#if PY_VERSION_HEX >= 0x030D0000
    PyTime_t now;
    if (PyTime_TimeRaw(&now) == 0)
        return PyTime_AsSecondsDouble(now);
#endif
    timespec now_ts{};
    clock_gettime(CLOCK_REALTIME, &now_ts);
    return static_cast<double>(now_ts.tv_sec) + static_cast<double>(now_ts.tv_nsec) * 1e-9;
}

int reader_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *reader = reinterpret_cast<VideoReader *>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reader->read);
    for (PyObject *read_arg : reader->read_args)
        Py_VISIT(read_arg);
    Py_VISIT(reader->template_);
    Py_VISIT(reinterpret_cast<PyObject *>(reader->frame_type));
    return 0;
}

int reader_clear(PyObject *self) {
    auto *reader = reinterpret_cast<VideoReader *>(self);
    Py_CLEAR(reader->read);
    for (PyObject *&read_arg : reader->read_args)
        Py_CLEAR(read_arg);
    Py_CLEAR(reader->template_);
    Py_CLEAR(reader->frame_type);
    return 0;
}

void reader_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    reader_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *reader_new(PyTypeObject *type, PyObject *, PyObject *) {
    PyObject *self = type->tp_alloc(type, 0);
    if (self == nullptr)
        return nullptr;
    auto *reader = reinterpret_cast<VideoReader *>(self);
    reader->read = Py_NewRef(Py_None);
    for (PyObject *&read_arg : reader->read_args)
        read_arg = Py_NewRef(Py_None);
    reader->template_ = Py_NewRef(Py_None);
    reader->limit = -1;
    return self;
}

// The frame that ended now, made of `data`: the settings' record (re-checked when due), the end
// time, the previous frame's and the next number.
PyObject *frame_of(VideoReader *self, PyObject *data) {
    if (self->frame_type == nullptr || self->template_ == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "the video reader has no frame type or record");
        return nullptr;
    }
    double end = wall_clock();
    Ref template_;
    if (end < self->check_at) {
        template_ = Ref::borrow(self->template_);
    } else {
        ModuleState *state = state_of(Py_TYPE(self));
        if (state == nullptr)
            return nullptr;
        Ref end_time(PyFloat_FromDouble(end));
        if (!end_time)
            return nullptr;
        template_ = Ref(PyObject_CallMethodOneArg(reinterpret_cast<PyObject *>(self), state->checked_template,
                                                  end_time.get()));
        if (!template_)
            return nullptr;
    }
    Py_ssize_t sequence = self->received;
    self->received = sequence + 1;
    double previous_end = self->last_end;
    self->last_end = end;
    return new_frame(self->frame_type, data, template_.get(), end, previous_end, sequence);
}

// One read with the reader's arguments. They are held for the length of the call: another
// thread may replace them while the read waits without the interpreter lock.
PyObject *read_once(VideoReader *self) {
    Ref read = Ref::borrow(self->read);
    Ref camera_id = Ref::borrow(self->read_args[0]);
    Ref size = Ref::borrow(self->read_args[1]);
    Ref first_ms = Ref::borrow(self->read_args[2]);
    PyObject *args[] = {camera_id.get(), size.get(), first_ms.get()};
    return PyObject_Vectorcall(read.get(), args, 3, nullptr);
}

bool plain_case(const VideoReader *self) {
    return self->started && !self->stopped && !self->settings_changed && self->received != self->limit &&
           self->read != nullptr && self->read_args[0] != nullptr && self->read_args[1] != nullptr &&
           self->read_args[2] != nullptr;
}

PyObject *reader_next(PyObject *op) {
    auto *self = reinterpret_cast<VideoReader *>(op);
    if (!plain_case(self)) {
        ModuleState *state = state_of(Py_TYPE(op));
        return state == nullptr ? nullptr : PyObject_CallMethodNoArgs(op, state->next_checked);
    }
    Ref data(read_once(self));
    if (!data) {
        // KeyboardInterrupt, SystemExit and the like end the stream's loop as they are.
        if (!PyErr_ExceptionMatches(PyExc_Exception))
            return nullptr;
        Ref exc(PyErr_GetRaisedException());
        ModuleState *state = state_of(Py_TYPE(op));
        if (state == nullptr)
            return nullptr;
        data = Ref(PyObject_CallMethodOneArg(op, state->late_frame, exc.get()));
        if (!data)
            return nullptr;
    }
    return frame_of(self, data.get());
}

PyObject *reader_frame_of(PyObject *self, PyObject *data) {
    return frame_of(reinterpret_cast<VideoReader *>(self), data);
}

PyObject *get_frame_type(PyObject *op, void *) {
    auto *self = reinterpret_cast<VideoReader *>(op);
    if (self->frame_type == nullptr)
        Py_RETURN_NONE;
    return Py_NewRef(reinterpret_cast<PyObject *>(self->frame_type));
}

// Frames are laid out by FrameCore, so only it and its subclasses can be made here.
int set_frame_type(PyObject *op, PyObject *value, void *) {
    auto *self = reinterpret_cast<VideoReader *>(op);
    ModuleState *state = state_of(Py_TYPE(op));
    if (state == nullptr)
        return -1;
    if (value == nullptr || !PyType_Check(value) ||
        !PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(value), state->frame_core)) {
        PyErr_SetString(PyExc_TypeError, "_frame_type must be FrameCore or a subclass of it");
        return -1;
    }
    Py_XSETREF(self->frame_type, reinterpret_cast<PyTypeObject *>(Py_NewRef(value)));
    return 0;
}

PyMemberDef reader_members[] = {
    {"received", Py_T_PYSSIZET, offsetof(VideoReader, received), 0, PyDoc_STR("Frames delivered so far.")},
    {"_read", Py_T_OBJECT_EX, offsetof(VideoReader, read), 0, nullptr},
    {"_camera_id", Py_T_OBJECT_EX, offsetof(VideoReader, read_args), 0, nullptr},
    {"_size", Py_T_OBJECT_EX, offsetof(VideoReader, read_args) + sizeof(PyObject *), 0, nullptr},
    {"_first_ms", Py_T_OBJECT_EX, offsetof(VideoReader, read_args) + 2 * sizeof(PyObject *), 0, nullptr},
    {"_template", Py_T_OBJECT_EX, offsetof(VideoReader, template_), 0, nullptr},
    {"_check_at", Py_T_DOUBLE, offsetof(VideoReader, check_at), 0, nullptr},
    {"_last_end", Py_T_DOUBLE, offsetof(VideoReader, last_end), 0, nullptr},
    {"_limit", Py_T_PYSSIZET, offsetof(VideoReader, limit), 0, nullptr},
    {"_stopped", Py_T_BOOL, offsetof(VideoReader, stopped), 0, nullptr},
    {"_started", Py_T_BOOL, offsetof(VideoReader, started), 0, nullptr},
    {"_settings_changed", Py_T_BOOL, offsetof(VideoReader, settings_changed), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef reader_getset[] = {
    {"_frame_type", get_frame_type, set_frame_type, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef reader_methods[] = {
    {"_frame_of", reader_frame_of, METH_O,
     PyDoc_STR("The frame that ended now, made of `data`, with the stream's record and number.")},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_doc, const_cast<char *>(PyDoc_STR("The per-frame state of a video stream; see Stream."))},
    {Py_tp_new, reinterpret_cast<void *>(reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(reader_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(reader_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(reader_clear)},
    {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void *>(reader_next)},
    {Py_tp_members, reader_members},
    {Py_tp_getset, reader_getset},
    {Py_tp_methods, reader_methods},
    {0, nullptr},
};

} // namespace

PyType_Spec video_reader_spec = {
    "velmora.brinmoor.camera._video.VideoReader",
    sizeof(VideoReader),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    reader_slots,
};

} // namespace video
