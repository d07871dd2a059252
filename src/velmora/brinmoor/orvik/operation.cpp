// The shared steps of every operation: handler lookup, the enumeration shortcut, late-bound
// enumeration results, the image buffers of reads and the thread-exit guard of SDK calls.
#include "operation.h"

#include <chrono>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <thread>
#include <utility>

#include <sys/mman.h>

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
// Image buffers.
//
// Each read makes its memory anew and nothing of it outlives the call. A small image is a
// bytes object cleared and handed to the SDK to fill in place: it is the result as it stands.
// A large one (kScratchFrom and up) is filled by the SDK in a fresh anonymous mapping, which the
// kernel backs with zero pages only where something is written: nothing is cleared up front, so
// a read that fails without data (a video wait that timed out) costs a mapping and its removal,
// not a frame's worth of clearing. On success the mapping is copied once into the result, a
// bytes object made (not touched) before the SDK call, so that every allocation failure comes
// before the SDK is asked for an image.
namespace {
unsigned char g_empty_storage[1];

// From this size the SDK fills a scratch mapping, and the copy into the result runs with the
// interpreter lock released (at memory speed, some 100 us and more, while the result is still
// private to this call). Below it, clearing in place costs less than a mapping.
constexpr size_t kScratchFrom = size_t{1} << 20;

// A block that nothing has touched yet is zero pages: the first write to each 4 KiB page traps
// into the kernel thousands of times per frame. Asking for transparent huge pages on the block's
// 2 MiB-aligned interior first makes those a few dozen faults. Only the paging policy of memory
// this read owns changes, never its contents; a block already resident is left alone.
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

void ImageBuffer::Scratch::release() noexcept {
    if (data != nullptr)
        (void)munmap(data, size);
    data = nullptr;
    size = 0;
}

bool ImageBuffer::allocate(PyObject *size) {
    // The checks and errors of bytearray(size).
    const Py_ssize_t n = PyNumber_AsSsize_t(size, PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred())
        return false;
    if (n < 0) {
        PyErr_SetString(PyExc_ValueError, "negative count");
        return false;
    }
    if (static_cast<size_t>(n) > static_cast<size_t>(PY_SSIZE_T_MAX) - sizeof(PyBytesObject)) {
        PyErr_NoMemory(); // as bytearray says it; bytes would say OverflowError
        return false;
    }
    bytes_.reset(PyBytes_FromStringAndSize(nullptr, n));
    if (!bytes_)
        return false;
    const auto count = static_cast<size_t>(n);
    if (count < kScratchFrom) {
        std::memset(PyBytes_AS_STRING(bytes_.get()), 0, count);
        return true;
    }
    void *data = mmap(nullptr, count, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (data == MAP_FAILED) {
        bytes_.reset();
        PyErr_NoMemory();
        return false;
    }
    scratch_.data = data;
    scratch_.size = count;
    advise_large_pages(data, count);
    return true;
}

unsigned char *ImageBuffer::storage() const {
    if (scratch_.data != nullptr)
        return static_cast<unsigned char *>(scratch_.data);
    // The shared empty bytes object is never written: a zero-size read gets a private byte.
    if (PyBytes_GET_SIZE(bytes_.get()) == 0)
        return g_empty_storage;
    return reinterpret_cast<unsigned char *>(PyBytes_AS_STRING(bytes_.get()));
}

PyObject *ImageBuffer::take() {
    if (scratch_.data != nullptr) {
        char *result = PyBytes_AS_STRING(bytes_.get());
        PyThreadState *saved = PyEval_SaveThread();
        advise_large_pages(result, scratch_.size);
        std::memcpy(result, scratch_.data, scratch_.size);
        scratch_.release();
        Operation::restore_thread(saved);
    }
    return bytes_.release();
}

} // namespace orvik
