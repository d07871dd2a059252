// FrameCore: the fields of a frame, so that a video frame is made without running Python code.
#include "video.h"

#include <cstddef>

#include "pyref.h"

namespace video {
namespace {

int frame_traverse(PyObject *self, visitproc visit, void *arg) {
    auto *frame = reinterpret_cast<FrameCore *>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(frame->data);
    Py_VISIT(frame->metadata);
    Py_VISIT(frame->end);
    Py_VISIT(frame->array);
    return 0;
}

int frame_clear(PyObject *self) {
    auto *frame = reinterpret_cast<FrameCore *>(self);
    Py_CLEAR(frame->data);
    Py_CLEAR(frame->metadata);
    Py_CLEAR(frame->end);
    Py_CLEAR(frame->array);
    return 0;
}

void frame_dealloc(PyObject *self) {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    frame_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// Every field holds a value from the start (None, 0), so no attribute read ever finds a hole.
PyObject *frame_new(PyTypeObject *type, PyObject *, PyObject *) {
    PyObject *self = type->tp_alloc(type, 0);
    if (self == nullptr)
        return nullptr;
    auto *frame = reinterpret_cast<FrameCore *>(self);
    frame->data = Py_NewRef(Py_None);
    frame->metadata = Py_NewRef(Py_None);
    frame->end = Py_NewRef(Py_None);
    frame->array = Py_NewRef(Py_None);
    return self;
}

PyMemberDef frame_members[] = {
    {"data", Py_T_OBJECT_EX, offsetof(FrameCore, data), 0,
     PyDoc_STR("The frame's bytes as the SDK delivered them.")},
    {"_metadata", Py_T_OBJECT_EX, offsetof(FrameCore, metadata), 0, nullptr},
    {"_end", Py_T_OBJECT_EX, offsetof(FrameCore, end), 0, nullptr},
    {"_previous_end", Py_T_DOUBLE, offsetof(FrameCore, previous_end), 0, nullptr},
    {"_sequence", Py_T_PYSSIZET, offsetof(FrameCore, sequence), 0, nullptr},
    {"_array", Py_T_OBJECT_EX, offsetof(FrameCore, array), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot frame_slots[] = {
    {Py_tp_doc, const_cast<char *>(PyDoc_STR("The fields of a frame; see Frame."))},
    {Py_tp_new, reinterpret_cast<void *>(frame_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(frame_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(frame_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(frame_clear)},
    {Py_tp_members, frame_members},
    {0, nullptr},
};

} // namespace

PyType_Spec frame_core_spec = {
    "velmora.brinmoor.camera._video.FrameCore",
    sizeof(FrameCore),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    frame_slots,
};

PyObject *new_frame(PyTypeObject *type, PyObject *data, PyObject *metadata, double end, double previous_end,
                    Py_ssize_t sequence) {
    orvik::Ref end_time(PyFloat_FromDouble(end));
    if (!end_time)
        return nullptr;
    PyObject *self = type->tp_alloc(type, 0);
    if (self == nullptr)
        return nullptr;
    auto *frame = reinterpret_cast<FrameCore *>(self);
    frame->data = Py_NewRef(data);
    frame->metadata = Py_NewRef(metadata);
    frame->end = end_time.release();
    frame->previous_end = previous_end;
    frame->sequence = sequence;
    frame->array = Py_NewRef(Py_None);
    return self;
}

} // namespace video
