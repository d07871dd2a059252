// The shared steps of every operation: handler lookup, the enumeration shortcut, late-bound
// enumeration results and the one-allocation image objects.
#include "operation.h"

#include <cstddef>
#include <cstring>
#include <iterator>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace orvik {

namespace {
// Dict version tags: every change to a dict gives it a new, never reused tag, so an unchanged
// tag proves an earlier lookup in that dict would find the same value (still held by the dict).
uint64_t dict_version(PyObject *dict) {
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
}
} // namespace

bool Operation::begin() {
    handler_ = Ref(lookup_global(g_names.handle_error_code));
    return static_cast<bool>(handler_);
}

// The SDK numbers its failures from 1 (invalid index) to 23 (end); the error table lists the same
// conditions in the same order under the keys 7 to 29, after a shorter listing under 1 to 6. A
// failure code therefore goes to the table 6 higher, and a code the SDK does not define (24 and
// up) lands past the table's end, where handle_error_code raises ASIUnknownErrorCode. Success and
// negative codes go as they are. Computed in 64 bits: no SDK code can overflow it.
bool Operation::finish(int code) {
    constexpr long long kTableOffset = 6;
    return hand_over_code(handler_.get(), code > 0 ? code + kTableOffset : code);
}

// ---------------------------------------------------------------------------------------------
// Enumeration shortcut.
//
// `member.value` on an Enum member runs enum.property.__get__ and Enum.value, two Python-level
// calls that cost several times the rest of an operation. For a member whose class resolves
// `value` to Enum's own, untouched property, that code returns `member._value_` read by generic
// attribute lookup; the shortcut reads the same attribute directly. It is taken only while
// everything the Python code depends on is unchanged:
//   - the member's type uses generic attribute lookup and has no `_value_` of its own in its MRO,
//     and finds Enum's `value` descriptor (checked once per type version);
//   - the descriptor's class is still enum.property, unmodified (its version tag) and with the
//     original code in its __get__, and the descriptor's `fget` is still Enum.value with its
//     original code.
// Anything else, and any failure on the way, takes the ordinary path.
namespace {

struct EnumShortcut {
    bool tried = false;
    bool usable = false;
    PyObject *descr = nullptr;       // enum.Enum.__dict__["value"]
    PyObject *descr_dict = nullptr;  // its instance dict
    uint64_t descr_dict_version = 0; // version at which its fget was last seen unchanged
    PyObject *fget = nullptr;        // Enum.value (the function)
    PyObject *fget_code = nullptr;   // its code object
    PyTypeObject *descr_type = nullptr;
    unsigned int descr_type_version = 0;
    PyObject *get = nullptr;      // the descriptor class's __get__ (a function)
    PyObject *get_code = nullptr; // its code object
    // The last member type that passed the per-type checks, with its version tag.
    PyTypeObject *type = nullptr;
    unsigned int type_version = 0;
};

EnumShortcut g_enum;

bool version_valid(PyTypeObject *t) {
    return PyType_HasFeature(t, Py_TPFLAGS_VALID_VERSION_TAG);
}

void init_enum_shortcut() {
    g_enum.tried = true;
    Ref enum_module(PyImport_ImportModule("enum"));
    Ref enum_class(enum_module ? PyObject_GetAttrString(enum_module.get(), "Enum") : nullptr);
    if (!enum_class || !PyType_Check(enum_class.get())) {
        PyErr_Clear();
        return;
    }
    PyObject *descr = _PyType_Lookup(reinterpret_cast<PyTypeObject *>(enum_class.get()), g_names.value);
    if (descr == nullptr)
        return;
    PyObject **dictptr = _PyObject_GetDictPtr(descr);
    PyObject *dict = dictptr ? *dictptr : nullptr;
    PyObject *fget = dict ? PyDict_GetItemWithError(dict, g_names.fget) : nullptr;
    if (fget == nullptr || !PyFunction_Check(fget)) {
        PyErr_Clear();
        return;
    }
    PyTypeObject *descr_type = Py_TYPE(descr);
    PyObject *get = _PyType_Lookup(descr_type, g_names.dunder_get); // also gives the type a version tag
    if (get == nullptr || !PyFunction_Check(get) || !version_valid(descr_type))
        return;
    g_enum.descr = Py_NewRef(descr);
    g_enum.descr_dict = Py_NewRef(dict);
    g_enum.descr_dict_version = dict_version(dict);
    g_enum.fget = Py_NewRef(fget);
    g_enum.fget_code = Py_NewRef(PyFunction_GET_CODE(fget));
    g_enum.descr_type = descr_type;
    g_enum.descr_type_version = descr_type->tp_version_tag;
    g_enum.get = Py_NewRef(get);
    g_enum.get_code = Py_NewRef(PyFunction_GET_CODE(get));
    g_enum.usable = true;
}

bool descriptor_unchanged() {
    // Its class (which __class__ assignment can change) and that class's contents.
    if (Py_TYPE(g_enum.descr) != g_enum.descr_type || !version_valid(g_enum.descr_type) ||
        g_enum.descr_type->tp_version_tag != g_enum.descr_type_version)
        return false;
    if (dict_version(g_enum.descr_dict) != g_enum.descr_dict_version) {
        PyObject *fget = PyDict_GetItemWithError(g_enum.descr_dict, g_names.fget);
        if (fget != g_enum.fget) {
            PyErr_Clear();
            return false;
        }
        g_enum.descr_dict_version = dict_version(g_enum.descr_dict);
    }
    return PyFunction_GET_CODE(g_enum.fget) == g_enum.fget_code && PyFunction_GET_CODE(g_enum.get) == g_enum.get_code;
}

bool type_qualifies(PyTypeObject *t) {
    if (t == g_enum.type && version_valid(t) && t->tp_version_tag == g_enum.type_version)
        return true;
    if (t->tp_getattro != PyObject_GenericGetAttr)
        return false;
    if (_PyType_Lookup(t, g_names.value) != g_enum.descr || _PyType_Lookup(t, g_names.raw_value) != nullptr)
        return false;
    if (!version_valid(t))
        return false;
    g_enum.type = t;
    g_enum.type_version = t->tp_version_tag;
    return true;
}

// Converted `_value_`s of recently used members. An entry holds while the member's instance dict
// is the same dict in the same state: version tags are never reused, so a matching (dict,
// version) pair also proves the dict, and with it the member, is the one remembered.
struct MemberEntry {
    PyObject *member = nullptr; // borrowed, compared by identity only
    PyObject *dict = nullptr;
    uint64_t version = 0;
    int32_t value = 0;
};
MemberEntry g_members[16];

enum class Shortcut { Taken, NotTaken, Failed };

// The member's `_value_` converted to 32 bits, read the way Enum's `value` property reads it.
// NotTaken leaves no error set, so the ordinary path runs and raises exactly what it raises.
Shortcut shortcut_int32(PyObject *arg, int32_t *out) {
    if (!g_enum.tried)
        init_enum_shortcut();
    if (!g_enum.usable || !type_qualifies(Py_TYPE(arg)) || !descriptor_unchanged())
        return Shortcut::NotTaken;
    // With no `_value_` anywhere in the type's MRO, generic lookup reads the instance dict.
    PyObject **dictptr = _PyObject_GetDictPtr(arg);
    PyObject *dict = dictptr ? *dictptr : nullptr;
    if (dict == nullptr || !PyDict_CheckExact(dict))
        return Shortcut::NotTaken;
    MemberEntry &entry = g_members[(reinterpret_cast<uintptr_t>(arg) >> 4) % std::size(g_members)];
    const uint64_t version = dict_version(dict);
    if (entry.member == arg && entry.dict == dict && entry.version == version) {
        *out = entry.value;
        return Shortcut::Taken;
    }
    PyObject *raw = PyDict_GetItemWithError(dict, g_names.raw_value);
    if (raw == nullptr || !PyLong_CheckExact(raw)) {
        PyErr_Clear();
        return Shortcut::NotTaken;
    }
    Ref keep(Py_NewRef(raw));
    if (!to_int32(raw, out))
        return Shortcut::Failed;
    entry = {arg, dict, dict_version(dict), *out};
    return Shortcut::Taken;
}

} // namespace

bool enum_arg_to_int32(PyObject *arg, int32_t *out) {
    switch (shortcut_int32(arg, out)) {
    case Shortcut::Taken:
        return true;
    case Shortcut::Failed:
        return false;
    case Shortcut::NotTaken:
        break;
    }
    return enum_to_int32(arg, out);
}

// ---------------------------------------------------------------------------------------------
// Image objects.
//
// The image is a bytes object allocated zero-filled in one step (calloc: large blocks come as
// fresh zero pages without a separate memset) and handed to the SDK to fill in place; it is the
// result as it stands, so a read holds one frame's worth of memory and copies nothing.
namespace {
constexpr size_t kBytesHeader = offsetof(PyBytesObject, ob_sval) + 1; // header + trailing zero
unsigned char g_empty_storage[1];

// A frame-sized block fresh from the allocator is untouched zero pages: the SDK's first write to
// each 4 KiB page would trap into the kernel thousands of times per frame. Asking for
// transparent huge pages on the block's 2 MiB-aligned interior first makes those a few dozen
// faults. Only the paging policy of memory this read owns changes, never its contents; a block
// the allocator reused (already resident, zeroed by calloc) is left alone.
void advise_large_pages(void *block, size_t size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr uintptr_t kHuge = uintptr_t{2} << 20;
    if (size < 2 * kHuge)
        return;
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(block) + kHuge - 1) & ~(kHuge - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(block) + size) & ~(kHuge - 1);
    unsigned char resident = 0;
    if (end <= begin || mincore(reinterpret_cast<void *>(begin), 1, &resident) != 0 || (resident & 1) != 0)
        return;
    (void)madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE); // advice only
#else
    (void)block;
    (void)size;
#endif
}
} // namespace

PyObject *new_image_bytes(PyObject *size) {
    // The checks and errors of bytearray(size).
    const Py_ssize_t n = PyNumber_AsSsize_t(size, PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred())
        return nullptr;
    if (n < 0) {
        PyErr_SetString(PyExc_ValueError, "negative count");
        return nullptr;
    }
    if (n == 0)
        return PyBytes_FromStringAndSize(nullptr, 0);
    if (static_cast<size_t>(n) > static_cast<size_t>(PY_SSIZE_T_MAX) - kBytesHeader)
        return PyErr_NoMemory();
    auto *obj = static_cast<PyBytesObject *>(PyObject_Calloc(1, kBytesHeader + static_cast<size_t>(n)));
    if (obj == nullptr)
        return PyErr_NoMemory();
    advise_large_pages(obj, kBytesHeader + static_cast<size_t>(n));
    PyObject_InitVar(reinterpret_cast<PyVarObject *>(obj), &PyBytes_Type, n);
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    obj->ob_shash = -1; // hash not computed yet
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
    return reinterpret_cast<PyObject *>(obj);
}

unsigned char *image_storage(PyObject *image_bytes) {
    // The shared empty bytes object is never written: a zero-size read gets a private byte.
    if (PyBytes_GET_SIZE(image_bytes) == 0)
        return g_empty_storage;
    return reinterpret_cast<unsigned char *>(PyBytes_AS_STRING(image_bytes));
}

} // namespace orvik
