// The shared steps of every operation: handler lookup, the enumeration shortcut, late-bound
// enumeration results, the zero-filled image objects and the thread-exit guard of SDK calls.
#include "operation.h"

#include <chrono>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <thread>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace orvik {

// Retaking the interpreter lock while the interpreter is being finalized ends the thread: on
// glibc, pthread_exit, which unwinds the C++ stack like an exception. That unwinding would run
// the destructors of everything the operation holds (references, argument copies) and free
// Python objects after the runtime that owns them is gone. The forced unwind is caught here,
// below every frame that owns anything, and the thread parks for good instead: it holds no lock
// (the interpreter has dropped its lock before ending the thread) and its process is exiting,
// so nothing waits for it. The catch handler never finishes, so the unwinding is never resumed
// or abandoned; the process's exit ends the thread.
//
// PyEval_RestoreThread is C and throws nothing, so whatever unwinds through it is that thread
// exit (abi::__forced_unwind, which has no object to bind a reference to: hence `...`).
void Operation::restore_thread(PyThreadState *saved) {
    try {
        PyEval_RestoreThread(saved);
    } catch (...) {
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(1));
    }
}

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
//   - the member's type uses generic attribute lookup, has no `_value_` of its own in its MRO
//     (so the read finds the member's instance attribute and runs no code), and finds Enum's
//     `value` descriptor (checked once per type and epoch; the type is watched);
//   - the descriptor's class is still enum.property (watched: any change to it or its bases
//     ends the epoch) with the original code in its __get__, and the descriptor's own `fget`
//     is still Enum.value with its original code.
// Anything else, and any failure on the way, takes the ordinary path.
namespace {

struct EnumShortcut {
    bool tried = false;
    bool usable = false;
    PyObject *descr = nullptr;     // enum.Enum.__dict__["value"]
    PyObject *fget = nullptr;      // Enum.value (the function)
    PyObject *fget_code = nullptr; // its code object
    PyTypeObject *descr_type = nullptr;
    PyObject *get = nullptr;       // the descriptor class's __get__ (a function)
    PyObject *get_code = nullptr;  // its code object
    unsigned long descr_epoch = 0; // the epoch in which the above was last found unchanged
    // Member types (strong) that passed the per-type checks in `types_epoch`.
    PyTypeObject *types[4] = {};
    unsigned long types_epoch = 0;
    unsigned int next_type = 0;
};

EnumShortcut g_enum;

// What looking `name` up on `type` finds (the first class dict in the MRO that holds it), as a
// new reference; null with no error set when no class has it, null with an error on failure.
PyObject *find_in_mro(PyTypeObject *type, PyObject *name) {
    Ref mro(PyObject_GetAttrString(reinterpret_cast<PyObject *>(type), "__mro__"));
    if (!mro || !PyTuple_Check(mro.get())) {
        if (mro)
            PyErr_SetString(PyExc_TypeError, "__mro__ is not a tuple");
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
        PyObject *base = PyTuple_GET_ITEM(mro.get(), i);
        if (!PyType_Check(base))
            continue;
        Ref dict(PyType_GetDict(reinterpret_cast<PyTypeObject *>(base)));
        PyObject *found = dict ? PyDict_GetItemWithError(dict.get(), name) : nullptr;
        if (found != nullptr)
            return Py_NewRef(found);
        if (PyErr_Occurred())
            return nullptr;
    }
    return nullptr;
}

void init_enum_shortcut() {
    g_enum.tried = true;
    Ref enum_module(PyImport_ImportModule("enum"));
    Ref enum_class(enum_module ? PyObject_GetAttrString(enum_module.get(), "Enum") : nullptr);
    Ref descr(enum_class && PyType_Check(enum_class.get())
                  ? find_in_mro(reinterpret_cast<PyTypeObject *>(enum_class.get()), g_names.value)
                  : nullptr);
    Ref dict(descr ? PyObject_GenericGetDict(descr.get(), nullptr) : nullptr);
    Ref fget(dict && PyDict_Check(dict.get()) ? Py_XNewRef(PyDict_GetItemWithError(dict.get(), g_names.fget))
                                              : nullptr);
    PyTypeObject *descr_type = descr ? Py_TYPE(descr.get()) : nullptr;
    Ref get(fget && PyFunction_Check(fget.get()) ? find_in_mro(descr_type, g_names.dunder_get) : nullptr);
    if (!get || !PyFunction_Check(get.get())) {
        PyErr_Clear();
        return;
    }
    g_enum.descr = descr.release();
    g_enum.fget_code = Py_NewRef(PyFunction_GetCode(fget.get()));
    g_enum.fget = fget.release();
    g_enum.descr_type = reinterpret_cast<PyTypeObject *>(Py_NewRef(descr_type));
    g_enum.get_code = Py_NewRef(PyFunction_GetCode(get.get()));
    g_enum.get = get.release();
    g_enum.usable = true;
}

// The check of the descriptor's class that holds for a whole epoch: watched, and still finding
// the remembered __get__.
bool descriptor_class_unchanged() {
    const unsigned long epoch = g_hot.epoch;
    if (!watch_type(g_enum.descr_type))
        return false;
    Ref get(find_in_mro(g_enum.descr_type, g_names.dunder_get));
    if (get.get() != g_enum.get || g_hot.epoch != epoch) {
        PyErr_Clear();
        return false;
    }
    g_enum.descr_epoch = epoch;
    return true;
}

bool descriptor_unchanged() {
    // Its class (which __class__ assignment can change) and its fget are checked at each call,
    // as are the functions' code objects: instance attributes can change without any watcher
    // being told.
    if (Py_TYPE(g_enum.descr) != g_enum.descr_type)
        return false;
    if (g_enum.descr_epoch != g_hot.epoch && !descriptor_class_unchanged())
        return false;
    Ref dict(PyObject_GenericGetDict(g_enum.descr, nullptr));
    PyObject *fget =
        dict && PyDict_CheckExact(dict.get()) ? PyDict_GetItemWithError(dict.get(), g_names.fget) : nullptr;
    if (fget != g_enum.fget) {
        PyErr_Clear();
        return false;
    }
    return PyFunction_GetCode(g_enum.fget) == g_enum.fget_code &&
           PyFunction_GetCode(g_enum.get) == g_enum.get_code;
}

bool type_qualifies(PyTypeObject *t) {
    if (g_enum.types_epoch == g_hot.epoch) {
        for (PyTypeObject *known : g_enum.types) {
            if (known == t)
                return true;
        }
    }
    if (t->tp_getattro != PyObject_GenericGetAttr)
        return false;
    const unsigned long epoch = g_hot.epoch;
    if (!watch_type(t))
        return false;
    Ref value(find_in_mro(t, g_names.value));
    Ref raw_value(value ? find_in_mro(t, g_names.raw_value) : nullptr);
    if (value.get() != g_enum.descr || raw_value || PyErr_Occurred() || g_hot.epoch != epoch) {
        PyErr_Clear();
        return false;
    }
    if (g_enum.types_epoch != epoch) {
        for (PyTypeObject *&known : g_enum.types)
            Py_XDECREF(std::exchange(known, nullptr));
        g_enum.types_epoch = epoch;
    }
    // Held, so that a remembered address cannot come to name another type.
    PyTypeObject *&slot = g_enum.types[g_enum.next_type++ % std::size(g_enum.types)];
    Py_XDECREF(std::exchange(slot, reinterpret_cast<PyTypeObject *>(Py_NewRef(t))));
    return true;
}

enum class Shortcut { Taken, NotTaken, Failed };

// The member's `_value_` converted to 32 bits, read the way Enum's `value` property reads it.
// NotTaken leaves no error set, so the ordinary path runs and raises exactly what it raises.
Shortcut shortcut_int32(PyObject *arg, int32_t *out) {
    if (!g_enum.tried)
        init_enum_shortcut();
    if (!g_enum.usable || !type_qualifies(Py_TYPE(arg)) || !descriptor_unchanged())
        return Shortcut::NotTaken;
    // With no `_value_` anywhere in the type's MRO, generic lookup reads the instance dict. It
    // is read at each call: instance attributes may be stored without the dict watchers being
    // told (3.13 keeps them in the object itself and its dict only refers to them).
    Ref dict(PyObject_GenericGetDict(arg, nullptr));
    PyObject *raw = dict && PyDict_CheckExact(dict.get())
                        ? PyDict_GetItemWithError(dict.get(), g_names.raw_value)
                        : nullptr;
    if (raw == nullptr || !PyLong_CheckExact(raw)) {
        PyErr_Clear();
        return Shortcut::NotTaken;
    }
    // Converting an exact int runs no code, so the dict (held) keeps `raw` alive throughout.
    return to_int32(raw, out) ? Shortcut::Taken : Shortcut::Failed;
}

} // namespace

void forget_enum_shortcut() {
    g_enum = EnumShortcut{};
}

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
// The image is a bytes object, zero-filled and handed to the SDK to fill in place; it is the
// result as it stands, so a read holds one frame's worth of memory and copies nothing. Filling
// it with zeros first means a read the SDK fills only in part never shows stale heap memory.
namespace {
unsigned char g_empty_storage[1];

// A frame-sized block fresh from the allocator is untouched zero pages: the first write to each
// 4 KiB page traps into the kernel thousands of times per frame. Asking for transparent huge
// pages on the block's 2 MiB-aligned interior first makes those a few dozen faults. Only the
// paging policy of memory this read owns changes, never its contents; a block the allocator
// reused (already resident) is left alone.
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

namespace {
// Clearing (and advising) a buffer at least this large runs with the interpreter lock released:
// at memory speed that is some 100 us and more, long enough for other threads to want the lock,
// while the object is still private to this call (no other thread can reach it). Below it, the
// lock's round trip would cost more than the clearing.
constexpr size_t kClearUnlockedFrom = size_t{1} << 20;
// The largest image a failed read keeps for the next read of the same size.
constexpr size_t kSpareLimit = size_t{32} << 20;

// One image object from a read that failed with its bytes still all zero, most often a video
// wait that timed out: the next read of the same size takes it instead of allocating and
// clearing a new one, so a stream that waits in short steps clears a buffer only per frame. Only
// this file touches it, always holding the interpreter lock; the object has never been returned
// to Python (its only reference is this one).
PyObject *g_spare_image = nullptr;

void clear_image(char *data, size_t size) {
    advise_large_pages(data, size);
    std::memset(data, 0, size);
}

// One pass over the bytes, 64 at a time (the compiler makes vector loads of the words), stopping
// at the first block that holds anything.
bool all_zero(const unsigned char *data, size_t size) {
    size_t i = 0;
    for (; i + 64 <= size; i += 64) {
        uint64_t words[8];
        std::memcpy(words, data + i, sizeof words);
        uint64_t any = 0;
        for (const uint64_t word : words)
            any |= word;
        if (any != 0)
            return false;
    }
    for (; i < size; ++i)
        if (data[i] != 0)
            return false;
    return true;
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
    if (static_cast<size_t>(n) > static_cast<size_t>(PY_SSIZE_T_MAX) - sizeof(PyBytesObject))
        return PyErr_NoMemory(); // as bytearray says it; bytes would say OverflowError
    if (g_spare_image != nullptr && PyBytes_GET_SIZE(g_spare_image) == n) {
        PyObject *spare = g_spare_image; // already all zero
        g_spare_image = nullptr;
        return spare;
    }
    PyObject *obj = PyBytes_FromStringAndSize(nullptr, n);
    if (obj == nullptr || n == 0)
        return obj;
    char *data = PyBytes_AS_STRING(obj);
    const auto bytes = static_cast<size_t>(n);
    if (bytes >= kClearUnlockedFrom) {
        PyThreadState *saved = PyEval_SaveThread();
        clear_image(data, bytes);
        Operation::restore_thread(saved);
    } else {
        clear_image(data, bytes);
    }
    return obj;
}

void release_image(PyObject *image) {
    if (image == nullptr)
        return;
    const auto size = static_cast<size_t>(PyBytes_GET_SIZE(image));
    if (size == 0 || size > kSpareLimit || Py_REFCNT(image) != 1) {
        Py_DECREF(image);
        return;
    }
    const auto *data = reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(image));
    bool clean;
    if (size >= kClearUnlockedFrom) {
        PyThreadState *saved = PyEval_SaveThread();
        clean = all_zero(data, size);
        Operation::restore_thread(saved);
    } else {
        clean = all_zero(data, size);
    }
    if (!clean) {
        Py_DECREF(image);
        return;
    }
    PyObject *old = g_spare_image;
    g_spare_image = image;
    Py_XDECREF(old);
}

void forget_spare_image() {
    g_spare_image = nullptr; // the runtime that owned it is gone
}

unsigned char *image_storage(PyObject *image_bytes) {
    // The shared empty bytes object is never written: a zero-size read gets a private byte.
    if (PyBytes_GET_SIZE(image_bytes) == 0)
        return g_empty_storage;
    return reinterpret_cast<unsigned char *>(PyBytes_AS_STRING(image_bytes));
}

} // namespace orvik
