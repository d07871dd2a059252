// The five record types as rows of one table: each row names the type, its SDK record and its
// properties; the getters, setters, constructor and pickling refusal are shared by all rows.
#include "records.h"

#include "arguments.h"
#include "enums.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <tuple>
#include <utility>

namespace orvik {
namespace {

// How a property decodes (and, for the two writable ones, encodes) its part of the record.
enum class FieldKind : uint8_t {
    Text,  // bytes up to the first zero, strict UTF-8
    Int32, // 32-bit signed
    Long,  // the SDK's long, converted in full
    Bool,  // SDK boolean: non-zero is True
    Double,
    Float,        // single precision, widened exactly
    Enum,         // enum_class(value), the class looked up by name at each access
    Bins,         // positive entries of an int array
    VideoFormats, // entries of an ImgType array other than ImgType.IMG_END, as members
    CameraModes,  // entries of a mode array other than CameraMode.ASI_MODE_END, as plain ints
};

struct FieldSpec {
    const char *name;
    FieldKind kind;
    size_t offset;                // from the start of the object
    size_t count;                 // bytes of a text field, entries of an array field
    PyObject *Names::*enum_class; // the name of the class of an Enum field
    bool writable;                // text fields only: set through v.encode("utf-8") and a fixed-array copy
    ByteKind bytes;               // element conversion of the writable text field
    const char *get_entry;
    const char *set_entry;
    const char *del_entry;
};

template <class R> constexpr size_t object_offset(size_t field_offset) {
    return offsetof(RecordObject<R>, record) + field_offset;
}

#define ORVIK_ENTRY(T, prop, what) "velmora.brinmoor.orvik." #T "." #prop "." what
#define ORVIK_FIELD(T, R, prop, member, kind, count, enum_class, writable, bytes)                            \
    FieldSpec {                                                                                              \
        #prop, FieldKind::kind, object_offset<R>(offsetof(R, member)), count, enum_class, writable, bytes,   \
            ORVIK_ENTRY(T, prop, "__get__"), ORVIK_ENTRY(T, prop, "__set__"),                                \
            ORVIK_ENTRY(T, prop, "__del__")                                                                  \
    }
#define ORVIK_RO(T, R, prop, member, kind)                                                                   \
    ORVIK_FIELD(T, R, prop, member, kind, 0, nullptr, false, ByteKind::Signed)

using CI = ASI_CAMERA_INFO;
using CC = ASI_CONTROL_CAPS;
using GD = ASI_GPS_DATA;

// Property order is the order of each type's attribute table.
const FieldSpec kCameraInfoFields[] = {
    ORVIK_FIELD(CameraInfo, CI, name, Name, Text, sizeof(CI::Name), nullptr, true, ByteKind::Signed),
    ORVIK_RO(CameraInfo, CI, camera_id, CameraID, Int32),
    ORVIK_RO(CameraInfo, CI, max_height, MaxHeight, Long),
    ORVIK_RO(CameraInfo, CI, max_width, MaxWidth, Long),
    ORVIK_RO(CameraInfo, CI, is_color_camera, IsColorCam, Bool),
    ORVIK_FIELD(CameraInfo, CI, bayer_pattern, BayerPattern, Enum, 0, &Names::bayer_pattern, false,
                ByteKind::Signed),
    ORVIK_FIELD(CameraInfo, CI, supported_bins, SupportedBins, Bins, 16, nullptr, false, ByteKind::Signed),
    ORVIK_FIELD(CameraInfo, CI, supported_video_formats, SupportedVideoFormat, VideoFormats, 8, nullptr,
                false, ByteKind::Signed),
    ORVIK_RO(CameraInfo, CI, pixel_size, PixelSize, Double),
    ORVIK_RO(CameraInfo, CI, mechanical_shutter, MechanicalShutter, Bool),
    ORVIK_RO(CameraInfo, CI, st_4_port, ST4Port, Bool),
    ORVIK_RO(CameraInfo, CI, is_cooler_cam, IsCoolerCam, Bool),
    ORVIK_RO(CameraInfo, CI, is_usb3_host, IsUSB3Host, Bool),
    ORVIK_RO(CameraInfo, CI, is_usb3_camera, IsUSB3Camera, Bool),
    ORVIK_RO(CameraInfo, CI, elec_per_adu, ElecPerADU, Float),
    ORVIK_RO(CameraInfo, CI, bit_depth, BitDepth, Int32),
    ORVIK_RO(CameraInfo, CI, is_trigger_cam, IsTriggerCam, Bool),
};

const FieldSpec kControlCapsFields[] = {
    ORVIK_FIELD(ControlCaps, CC, name, Name, Text, sizeof(CC::Name), nullptr, false, ByteKind::Signed),
    ORVIK_FIELD(ControlCaps, CC, description, Description, Text, sizeof(CC::Description), nullptr, false,
                ByteKind::Signed),
    ORVIK_RO(ControlCaps, CC, max_value, MaxValue, Long),
    ORVIK_RO(ControlCaps, CC, min_value, MinValue, Long),
    ORVIK_RO(ControlCaps, CC, default_value, DefaultValue, Long),
    ORVIK_RO(ControlCaps, CC, is_auto_supported, IsAutoSupported, Bool),
    ORVIK_RO(ControlCaps, CC, is_writable, IsWritable, Bool),
    ORVIK_FIELD(ControlCaps, CC, control_type, ControlType, Enum, 0, &Names::control_type, false,
                ByteKind::Signed),
};

const FieldSpec kIdFields[] = {
    ORVIK_FIELD(Id, ASI_ID, id, id, Text, sizeof(ASI_ID::id), nullptr, true, ByteKind::Unsigned),
};

const FieldSpec kSupportedModeFields[] = {
    ORVIK_FIELD(SupportedMode, ASI_SUPPORTED_MODE, supported_camera_mode, SupportedCameraMode, CameraModes,
                16, nullptr, false, ByteKind::Signed),
};

const FieldSpec kGpsDataFields[] = {
    ORVIK_RO(GpsData, GD, latitude, Latitude, Double),
    ORVIK_RO(GpsData, GD, longitude, Longitude, Double),
    ORVIK_RO(GpsData, GD, altitude, Altitude, Int32),
    ORVIK_RO(GpsData, GD, satellite_num, SatelliteNum, Int32),
    ORVIK_RO(GpsData, GD, year, Datetime.Year, Int32),
    ORVIK_RO(GpsData, GD, month, Datetime.Month, Int32),
    ORVIK_RO(GpsData, GD, day, Datetime.Day, Int32),
    ORVIK_RO(GpsData, GD, hour, Datetime.Hour, Int32),
    ORVIK_RO(GpsData, GD, minute, Datetime.Minute, Int32),
    ORVIK_RO(GpsData, GD, second, Datetime.Second, Int32),
    ORVIK_RO(GpsData, GD, m_second, Datetime.Msecond, Int32),
    ORVIK_RO(GpsData, GD, u_second, Datetime.Usecond, Int32),
};

#undef ORVIK_RO
#undef ORVIK_FIELD
#undef ORVIK_ENTRY

template <class T> T load(const char *p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

PyObject *decode_text(const char *p, size_t field_size) {
    // A field with no zero byte (a setter may store all of its bytes) is decoded whole; nothing
    // beyond the field is ever read.
    const void *zero = std::memchr(p, 0, field_size);
    const size_t n = zero ? static_cast<size_t>(static_cast<const char *>(zero) - p) : field_size;
    return PyUnicode_DecodeUTF8(p, static_cast<Py_ssize_t>(n), nullptr);
}

PyObject *decode_bins(const char *p, size_t count) {
    Ref list(PyList_New(0));
    if (!list)
        return nullptr;
    for (size_t i = 0; i < count; ++i) {
        const int32_t bin = load<int32_t>(p + i * sizeof(int32_t));
        if (bin <= 0)
            continue; // no factor here; later entries are still scanned
        Ref v(PyLong_FromLong(bin));
        if (!v || PyList_Append(list.get(), v.get()) < 0)
            return nullptr;
    }
    return list.release();
}

// Looks up `class_name`, then its attribute `member` (and, when `value_name` is given, that
// member's `value`): the end marker an array entry is compared with. New reference or null.
PyObject *end_marker(PyObject *class_name, PyObject *member, PyObject *value_name) {
    Ref cls(lookup_global(class_name));
    if (!cls)
        return nullptr;
    Ref end(PyObject_GetAttr(cls.get(), member));
    if (!end || value_name == nullptr)
        return end.release();
    return PyObject_GetAttr(end.get(), value_name);
}

PyObject *decode_marked_array(const char *p, size_t count, FieldKind kind) {
    const bool formats = kind == FieldKind::VideoFormats;
    PyObject *class_name = formats ? g_names.img_type : g_names.camera_mode;
    PyObject *member = formats ? g_names.img_end : g_names.mode_end;
    PyObject *value_name = formats ? nullptr : g_names.value;
    Ref list(PyList_New(0));
    if (!list)
        return nullptr;
    for (size_t i = 0; i < count; ++i) {
        Ref entry(PyLong_FromLong(load<int32_t>(p + i * sizeof(int32_t))));
        if (!entry)
            return nullptr;
        // The marker is looked up again for every entry: a rebinding takes effect at once, and an
        // end marker does not end the scan.
        Ref end(end_marker(class_name, member, value_name));
        if (!end)
            return nullptr;
        const int differs = PyObject_RichCompareBool(entry.get(), end.get(), Py_NE);
        if (differs < 0)
            return nullptr;
        if (!differs)
            continue;
        if (formats) {
            Ref cls(lookup_global(class_name));
            if (!cls)
                return nullptr;
            entry = Ref(PyObject_CallOneArg(cls.get(), entry.get()));
            if (!entry)
                return nullptr;
        }
        if (PyList_Append(list.get(), entry.get()) < 0)
            return nullptr;
    }
    return list.release();
}

PyObject *decode_field(const FieldSpec &f, const char *p) {
    switch (f.kind) {
    case FieldKind::Text:
        return decode_text(p, f.count);
    case FieldKind::Int32:
        return PyLong_FromLong(load<int32_t>(p));
    case FieldKind::Long:
        return PyLong_FromLong(load<long>(p));
    case FieldKind::Bool:
        return PyBool_FromLong(load<int32_t>(p) != 0);
    case FieldKind::Double:
        return PyFloat_FromDouble(load<double>(p));
    case FieldKind::Float:
        return PyFloat_FromDouble(static_cast<double>(load<float>(p)));
    case FieldKind::Enum:
        return enum_result(g_names.*f.enum_class, load<int32_t>(p));
    case FieldKind::Bins:
        return decode_bins(p, f.count);
    case FieldKind::VideoFormats:
    case FieldKind::CameraModes:
        return decode_marked_array(p, f.count, f.kind);
    }
    PyErr_SetString(PyExc_SystemError, "unknown record field kind");
    return nullptr;
}

PyObject *get_field(PyObject *self, void *closure) {
    const auto &f = *static_cast<const FieldSpec *>(closure);
    PyObject *result = decode_field(f, reinterpret_cast<const char *>(self) + f.offset);
    if (result == nullptr)
        add_traceback_entry(f.get_entry);
    return result;
}

int set_field(PyObject *self, PyObject *value, void *closure) {
    const auto &f = *static_cast<const FieldSpec *>(closure);
    if (value == nullptr) {
        PyErr_SetString(PyExc_NotImplementedError, "__del__");
        add_traceback_entry(f.del_entry);
        return -1;
    }
    Ref encoded(PyObject_CallMethodOneArg(value, g_names.encode, g_names.utf_8));
    // Collected first and copied in one step, so a failure leaves the record unchanged.
    unsigned char staged[64];
    if (!encoded ||
        !assign_fixed_byte_array(encoded.get(), static_cast<Py_ssize_t>(f.count), f.bytes, staged)) {
        add_traceback_entry(f.set_entry);
        return -1;
    }
    std::memcpy(reinterpret_cast<char *>(self) + f.offset, staged, f.count);
    return 0;
}

// One row per record type, in the order the exec step binds them.
struct TypeRow {
    const char *qualname; // the type's tp_name
    const char *name;     // the name bound in the namespace
    const char *pickle_message;
    const char *init_entry, *reduce_entry, *setstate_entry;
    std::span<const FieldSpec> fields;
    reprfunc repr;
};

PyObject *camera_info_repr(PyObject *self);

#define ORVIK_ROW(T, member, fields, repr)                                                                   \
    TypeRow {                                                                                                \
        "velmora.brinmoor.orvik." #T, #T,                                                                    \
            "Pickling of struct members such as self." member                                                \
            " must be explicitly requested with @auto_pickle(True)",                                         \
            "velmora.brinmoor.orvik." #T ".__init__", "velmora.brinmoor.orvik." #T ".__reduce__",            \
            "velmora.brinmoor.orvik." #T ".__setstate__", fields, repr                                       \
    }

const TypeRow kRows[] = {
    ORVIK_ROW(ControlCaps, "control_caps", kControlCapsFields, nullptr),
    ORVIK_ROW(Id, "c_id", kIdFields, nullptr),
    ORVIK_ROW(SupportedMode, "c_supported_mode", kSupportedModeFields, nullptr),
    ORVIK_ROW(GpsData, "c_gps_data", kGpsDataFields, nullptr),
    ORVIK_ROW(CameraInfo, "c_info", kCameraInfoFields, camera_info_repr),
};
#undef ORVIK_ROW

// The SDK record of each row, in row order (the order of RecordKind).
using RowRecords = std::tuple<ASI_CONTROL_CAPS, ASI_ID, ASI_SUPPORTED_MODE, ASI_GPS_DATA, ASI_CAMERA_INFO>;
template <size_t Row> using RecordAt = std::tuple_element_t<Row, RowRecords>;

constexpr size_t kTypeCount = static_cast<size_t>(RecordKind::Count);
static_assert(std::size(kRows) == kTypeCount && std::tuple_size_v<RowRecords> == kTypeCount);

PyTypeObject g_types[kTypeCount];
// Property tables: the largest type has 17 properties, plus the terminator.
PyGetSetDef g_getsets[kTypeCount][18];

// __init__() takes no arguments and zeroes the record again.
template <size_t Row> int record_init(PyObject *self, PyObject *args, PyObject *kwds) {
    if (!check_no_arguments("__init__", PyTuple_GET_SIZE(args), kwds)) {
        add_traceback_entry(kRows[Row].init_entry);
        return -1;
    }
    std::memset(record_of<RecordAt<Row>>(self), 0, sizeof(RecordAt<Row>));
    return 0;
}

// Text of one repr part: a str as is, an exact int or float by its decimal text, anything else
// by format(value, "").
PyObject *repr_part(PyObject *v) {
    if (PyUnicode_CheckExact(v))
        return Py_NewRef(v);
    if (PyLong_CheckExact(v))
        return PyLong_Type.tp_repr(v);
    if (PyFloat_CheckExact(v))
        return PyFloat_Type.tp_repr(v);
    return PyObject_Format(v, nullptr);
}

// Reads the four attributes by ordinary lookup, so a subclass's properties take part.
PyObject *camera_info_repr_text(PyObject *self) {
    PyObject *const names[4] = {g_names.name, g_names.camera_id, g_names.max_height, g_names.max_width};
    Ref parts[4];
    for (int i = 0; i < 4; ++i) {
        Ref v(PyObject_GetAttr(self, names[i]));
        if (!v)
            return nullptr;
        parts[i] = Ref(repr_part(v.get()));
        if (!parts[i])
            return nullptr;
    }
    return PyUnicode_FromFormat("CameraInfo(Name=%U, CameraID=%U, MaxHeight=%U, MaxWidth=%U)", parts[0].get(),
                                parts[1].get(), parts[2].get(), parts[3].get());
}

PyObject *camera_info_repr(PyObject *self) {
    PyObject *r = camera_info_repr_text(self);
    if (r == nullptr)
        add_traceback_entry("velmora.brinmoor.orvik.CameraInfo.__repr__");
    return r;
}

// __reduce__() and __setstate__(state) refuse pickling for every record type.
template <size_t Row>
PyObject *record_reduce(PyObject *, PyObject *const *, Py_ssize_t nargs, PyObject *kwnames) {
    if (check_no_arguments("__reduce__", nargs, kwnames))
        PyErr_SetString(PyExc_TypeError, kRows[Row].pickle_message);
    add_traceback_entry(kRows[Row].reduce_entry);
    return nullptr;
}

// __setstate__(state) binds its argument like a module function with that one parameter: the
// binder's checks and messages, and the argument itself is never examined.
const FunctionSpec kSetstateSpec = {
    "__setstate__", {{"state", ParamKind::Any, ""}}, "None", nullptr, nullptr};

template <size_t Row>
PyObject *record_setstate(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    BoundArgs bound;
    if (bind_arguments(kSetstateSpec, &g_names.state, args, static_cast<size_t>(nargs), kwnames, bound))
        PyErr_SetString(PyExc_TypeError, kRows[Row].pickle_message);
    add_traceback_entry(kRows[Row].setstate_entry);
    return nullptr;
}

template <class F> PyCFunction as_cfunction(F *f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// Per-row functions, instantiated once per record type.
struct RowFunctions {
    initproc init;
    PyMethodDef pickling[2];
};

template <size_t Row> RowFunctions row_functions() {
    return {record_init<Row>,
            {{"__reduce__", as_cfunction(record_reduce<Row>), METH_FASTCALL | METH_KEYWORDS, nullptr},
             {"__setstate__", as_cfunction(record_setstate<Row>), METH_FASTCALL | METH_KEYWORDS, nullptr}}};
}

template <size_t... Rows>
std::array<RowFunctions, sizeof...(Rows)> all_row_functions(std::index_sequence<Rows...>) {
    return {row_functions<Rows>()...};
}

// Method definitions must outlive the descriptors made from them: static storage.
std::array<RowFunctions, kTypeCount> g_row_functions =
    all_row_functions(std::make_index_sequence<kTypeCount>{});

template <size_t... Rows> Py_ssize_t basicsize_of(size_t row, std::index_sequence<Rows...>) {
    constexpr Py_ssize_t sizes[] = {static_cast<Py_ssize_t>(sizeof(RecordObject<RecordAt<Rows>>))...};
    return sizes[row];
}
Py_ssize_t basicsize_of(size_t row) {
    return basicsize_of(row, std::make_index_sequence<kTypeCount>{});
}

// Fills the static type object of `row` once; PyType_Ready makes it ready.
int ready_type(size_t row) {
    PyTypeObject &t = g_types[row];
    if (PyType_HasFeature(&t, Py_TPFLAGS_READY))
        return 0;
    const TypeRow &r = kRows[row];
    PyGetSetDef *gs = g_getsets[row];
    size_t i = 0;
    for (const FieldSpec &f : r.fields) {
        gs[i++] = PyGetSetDef{f.name, get_field, f.writable ? set_field : nullptr, nullptr,
                              const_cast<FieldSpec *>(&f)};
    }
    gs[i] = PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr};

    Py_SET_TYPE(&t, &PyType_Type);
    Py_SET_REFCNT(&t, 1);
    t.tp_name = r.qualname;
    t.tp_basicsize = basicsize_of(row);
    t.tp_itemsize = 0;
    // No instance dict, no weak references, no GC tracking; subclassable.
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    t.tp_doc = nullptr;
    t.tp_getset = gs;
    t.tp_init = g_row_functions[row].init;
    t.tp_new = PyType_GenericNew;
    t.tp_repr = r.repr;
    return PyType_Ready(&t);
}

} // namespace

PyTypeObject *record_type(RecordKind kind) {
    return &g_types[static_cast<size_t>(kind)];
}

PyObject *new_record(RecordKind kind) {
    // The stored types are static and immutable, so allocating directly is what calling them
    // with no arguments does: a zeroed record (tp_alloc zero-fills) and nothing else.
    PyTypeObject *t = record_type(kind);
    return t->tp_alloc(t, 0);
}

void forget_record_types() {
    for (PyTypeObject &t : g_types)
        t = PyTypeObject{};
}

int bind_record_types(PyObject *ns) {
    for (size_t row = 0; row < kTypeCount; ++row) {
        if (ready_type(row) < 0)
            return -1;
        if (PyDict_SetItemString(ns, kRows[row].name, reinterpret_cast<PyObject *>(&g_types[row])) < 0)
            return -1;
    }
    return 0;
}

int bind_record_pickling(PyObject *) {
    for (size_t row = 0; row < kTypeCount; ++row) {
        PyTypeObject *t = &g_types[row];
        for (int m = 0; m < 2; ++m) {
            // The methods replace the inherited object.__reduce__ / __setstate__ in the type's own
            // dict; the type is immutable from Python, so this is the only way to install them late.
            PyMethodDef *def = &g_row_functions[row].pickling[m];
            Ref descr(PyDescr_NewMethod(t, def));
            Ref dict(descr ? PyType_GetDict(t) : nullptr);
            if (!dict || PyDict_SetItemString(dict.get(), def->ml_name, descr.get()) < 0)
                return -1;
        }
        PyType_Modified(t);
    }
    return 0;
}

} // namespace orvik
