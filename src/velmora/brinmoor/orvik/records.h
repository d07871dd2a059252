// The five record types: each object embeds one SDK record by value.
#pragma once

#include "state.h"

#include <ASICamera2.h>

namespace orvik {

// Object layout of every record type: the object header followed by the SDK record, nothing else.
template <class Record> struct RecordObject {
    PyObject_HEAD Record record;
};
using CameraInfoObject = RecordObject<ASI_CAMERA_INFO>;
using ControlCapsObject = RecordObject<ASI_CONTROL_CAPS>;
using IdObject = RecordObject<ASI_ID>;
using SupportedModeObject = RecordObject<ASI_SUPPORTED_MODE>;
using GpsDataObject = RecordObject<ASI_GPS_DATA>;

// The type object kept in the module state (never the current module attribute).
PyTypeObject *record_type(RecordKind kind);

// New record object of `kind` with an all-zero record, as made by calling the stored type with
// no arguments. New reference or null.
PyObject *new_record(RecordKind kind);

// Exec step: make the five types ready and bind them in `ns` in their order.
int bind_record_types(PyObject *ns);
// Exec step: create the pickling-refusal methods (__reduce__, __setstate__) of the five types.
int bind_record_pickling(PyObject *ns);

template <class Record> inline Record *record_of(PyObject *obj) {
    return &reinterpret_cast<RecordObject<Record> *>(obj)->record;
}

} // namespace orvik
