// IntEnum classes mirroring the SDK's enumerations, made as class statements make them.
#include "enums.h"

#include <vector>

namespace orvik {

namespace {

struct Member {
    const char *name;
    int value;
};

struct EnumDef {
    const char *name;
    std::span<const Member> members;
};

constexpr Member kBayerPattern[] = {{"BAYER_RG", 0}, {"BAYER_BG", 1}, {"BAYER_GR", 2}, {"BAYER_GB", 3}};
constexpr Member kImgType[] = {
    {"IMG_RAW8", 0}, {"IMG_RGB24", 1}, {"IMG_RAW16", 2}, {"IMG_Y8", 3}, {"IMG_END", -1},
};
constexpr Member kControlType[] = {
    {"ASI_GAIN", 0},
    {"ASI_EXPOSURE", 1},
    {"ASI_GAMMA", 2},
    {"ASI_WB_R", 3},
    {"ASI_WB_B", 4},
    {"ASI_OFFSET", 5},
    {"ASI_BANDWIDTHOVERLOAD", 6},
    {"ASI_OVERCLOCK", 7},
    {"ASI_TEMPERATURE", 8},
    {"ASI_FLIP", 9},
    {"ASI_AUTO_MAX_GAIN", 10},
    {"ASI_AUTO_MAX_EXP", 11},
    {"ASI_AUTO_TARGET_BRIGHTNESS", 12},
    {"ASI_HARDWARE_BIN", 13},
    {"ASI_HIGH_SPEED_MODE", 14},
    {"ASI_COOLER_POWER_PERC", 15},
    {"ASI_TARGET_TEMP", 16},
    {"ASI_COOLER_ON", 17},
    {"ASI_MONO_BIN", 18},
    {"ASI_FAN_ON", 19},
    {"ASI_PATTERN_ADJUST", 20},
    {"ASI_ANTI_DEW_HEATER", 21},
    {"ASI_FAN_ADJUST", 22},
    {"ASI_PWRLED_BRIGNT", 23},
    {"ASI_USBHUB_RESET", 24},
    {"ASI_GPS_SUPPORT", 25},
    {"ASI_GPS_START_LINE", 26},
    {"ASI_GPS_END_LINE", 27},
    {"ASI_ROLLING_INTERVAL", 28},
};
constexpr Member kCameraMode[] = {
    {"ASI_MODE_NORMAL", 0},          {"ASI_MODE_TRIG_SOFT_EDGE", 1},
    {"ASI_MODE_TRIG_RISE_EDGE", 2},  {"ASI_MODE_TRIG_FALL_EDGE", 3},
    {"ASI_MODE_TRIG_SOFT_LEVEL", 4}, {"ASI_MODE_TRIG_HIGH_LEVEL", 5},
    {"ASI_MODE_TRIG_LOW_LEVEL", 6},  {"ASI_MODE_END", -1},
};
constexpr Member kGuideDirection[] = {
    {"ASI_GUIDE_NORTH", 0},
    {"ASI_GUIDE_SOUTH", 1},
    {"ASI_GUIDE_EAST", 2},
    {"ASI_GUIDE_WEST", 3},
};
constexpr Member kFlipStatus[] = {
    {"ASI_FLIP_NONE", 0},
    {"ASI_FLIP_HORIZ", 1},
    {"ASI_FLIP_VERT", 2},
    {"ASI_FLIP_BOTH", 3},
};
constexpr Member kTrigOutput[] = {
    {"ASI_TRIG_OUTPUT_PINA", 0},
    {"ASI_TRIG_OUTPUT_PINB", 1},
    {"ASI_TRIG_OUTPUT_NONE", -1},
};
constexpr Member kExposureStatus[] = {
    {"ASI_EXP_IDLE", 0},
    {"ASI_EXP_WORKING", 1},
    {"ASI_EXP_SUCCESS", 2},
    {"ASI_EXP_FAILED", 3},
};

const EnumDef kEnums[] = {
    {"BayerPattern", kBayerPattern},     {"ImgType", kImgType},
    {"ControlType", kControlType},       {"CameraMode", kCameraMode},
    {"GuideDirection", kGuideDirection}, {"FlipStatus", kFlipStatus},
    {"TrigOutput", kTrigOutput},         {"ExposureStatus", kExposureStatus},
};

// The bases after __mro_entries__, as the class statement resolves them. New reference.
PyObject *resolve_bases(PyObject *bases) {
    const Py_ssize_t count = PyTuple_GET_SIZE(bases);
    Ref resolved; // a list, made only when some base resolves to something else
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *base = PyTuple_GET_ITEM(bases, i);
        if (PyType_Check(base)) {
            if (resolved && PyList_Append(resolved.get(), base) < 0)
                return nullptr;
            continue;
        }
        Ref method;
        if (get_optional_attr(base, g_names.mro_entries, method) < 0)
            return nullptr;
        if (!method) {
            if (resolved && PyList_Append(resolved.get(), base) < 0)
                return nullptr;
            continue;
        }
        Ref entries(PyObject_CallOneArg(method.get(), bases));
        if (!entries)
            return nullptr;
        if (!PyTuple_Check(entries.get())) {
            PyErr_SetString(PyExc_TypeError, "__mro_entries__ must return a tuple");
            return nullptr;
        }
        if (!resolved) {
            resolved.reset(PyTuple_GetSlice(bases, 0, i));
            Ref as_list(resolved ? PySequence_List(resolved.get()) : nullptr);
            resolved = std::move(as_list);
            if (!resolved)
                return nullptr;
        }
        Py_ssize_t end = PyList_GET_SIZE(resolved.get());
        if (PyList_SetSlice(resolved.get(), end, end, entries.get()) < 0)
            return nullptr;
    }
    if (!resolved)
        return Py_NewRef(bases);
    return PyList_AsTuple(resolved.get());
}

// The most derived metaclass among the bases' types.
PyTypeObject *calculate_metaclass(PyObject *bases) {
    PyTypeObject *winner = PyTuple_GET_SIZE(bases) > 0 ? Py_TYPE(PyTuple_GET_ITEM(bases, 0)) : &PyType_Type;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyTypeObject *candidate = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(winner, candidate))
            continue;
        if (PyType_IsSubtype(candidate, winner)) {
            winner = candidate;
            continue;
        }
        PyErr_SetString(PyExc_TypeError, "metaclass conflict: the metaclass of a derived class must be a "
                                         "(non-strict) subclass of the metaclasses of all its bases");
        return nullptr;
    }
    return winner;
}

int set_class_item(PyObject *ns, const char *key, PyObject *value) {
    if (PyDict_CheckExact(ns))
        return PyDict_SetItemString(ns, key, value);
    Ref name(PyUnicode_FromString(key));
    return name ? PyObject_SetItem(ns, name.get(), value) : -1;
}

// `from <module> import <name>`, bound under the same name.
int bind_imported(PyObject *ns, const char *module_name, const char *name) {
    Ref module(PyImport_ImportModule(module_name));
    if (!module)
        return -1;
    Ref attr_name(PyUnicode_FromString(name));
    Ref value;
    if (!attr_name || get_optional_attr(module.get(), attr_name.get(), value) < 0)
        return -1;
    if (!value) {
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module_name);
        return -1;
    }
    return PyDict_SetItemString(ns, name, value.get());
}

} // namespace

PyObject *make_class(const char *name, PyObject *base, std::span<ClassItem> body) {
    Ref orig_bases(PyTuple_Pack(1, base));
    if (!orig_bases)
        return nullptr;
    Ref bases(resolve_bases(orig_bases.get()));
    if (!bases)
        return nullptr;
    PyTypeObject *meta = calculate_metaclass(bases.get());
    if (meta == nullptr)
        return nullptr;
    Ref class_name(PyUnicode_FromString(name));
    if (!class_name)
        return nullptr;

    Ref ns;
    Ref prepare;
    if (get_optional_attr(reinterpret_cast<PyObject *>(meta), g_names.prepare, prepare) < 0)
        return nullptr;
    if (prepare) {
        ns.reset(PyObject_CallFunctionObjArgs(prepare.get(), class_name.get(), bases.get(), nullptr));
        if (ns && !PyMapping_Check(ns.get())) {
            PyErr_Format(PyExc_TypeError, "%.200s.__prepare__() must return a mapping, not %.200s",
                         meta->tp_name, Py_TYPE(ns.get())->tp_name);
            return nullptr;
        }
    } else {
        ns.reset(PyDict_New());
    }
    if (!ns)
        return nullptr;

    Ref module_name(PyUnicode_FromString(kModuleName));
    if (!module_name || set_class_item(ns.get(), "__module__", module_name.get()) < 0 ||
        set_class_item(ns.get(), "__qualname__", class_name.get()) < 0)
        return nullptr;
    for (ClassItem &item : body) {
        if (set_class_item(ns.get(), item.key, item.value.get()) < 0)
            return nullptr;
    }
    if (bases.get() != orig_bases.get() && set_class_item(ns.get(), "__orig_bases__", orig_bases.get()) < 0)
        return nullptr;
    return PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject *>(meta), class_name.get(), bases.get(),
                                        ns.get(), nullptr);
}

PyObject *enum_result(PyObject *class_name, long value) {
    Ref cls(lookup_global(class_name));
    if (!cls)
        return nullptr;
    Ref v(PyLong_FromLong(value));
    if (!v)
        return nullptr;
    return PyObject_CallOneArg(cls.get(), v.get());
}

int bind_imported_names(PyObject *ns) {
    if (bind_imported(ns, "typing", "Optional") < 0)
        return -1;
    return bind_imported(ns, "enum", "IntEnum");
}

int bind_enumerations(PyObject *ns) {
    for (const EnumDef &def : kEnums) {
        Ref base(lookup_global(g_names.int_enum));
        if (!base)
            return -1;
        std::vector<ClassItem> body;
        body.reserve(def.members.size());
        for (const Member &member : def.members) {
            Ref value(PyLong_FromLong(member.value));
            if (!value)
                return -1;
            body.push_back({member.name, std::move(value)});
        }
        Ref cls(make_class(def.name, base.get(), body));
        if (!cls || PyDict_SetItemString(ns, def.name, cls.get()) < 0)
            return -1;
    }
    return 0;
}

} // namespace orvik
