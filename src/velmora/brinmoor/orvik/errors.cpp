// The exception hierarchy, the code-to-exception table and handle_error_code.
#include "errors.h"

#include "enums.h"

#include <array>
#include <utility>

namespace orvik {

namespace {

struct ErrorClass {
    const char *name;
    const char *doc;
};

constexpr const char kEndDoc[] = "End of ASI error codes.";

// ASIError first (base Exception), then its subclasses in definition order.
constexpr ErrorClass kErrorClasses[] = {
    {"ASIError", "Base exception class for all ASI errors."},
    {"ASISuccess", "ASI operation completed successfully."},
    {"ASIInvalidIndex", "Invalid index: No camera connected or index value out of boundary."},
    {"ASIInvalidID", "Invalid camera ID provided."},
    {"ASICameraClosed", "Failed to open camera: Camera is closed."},
    {"ASICameraRemoved", "Camera removed: Failed to find the camera, it might have been disconnected."},
    {"ASITimeout", "Operation timed out."},
    {"ASIGeneralError", "General error: Value is out of valid range."},
    {"ASIInvalidControlType", "Invalid control type provided."},
    {"ASIInvalidPath", "Invalid file path provided."},
    {"ASIInvalidFileFormat", "Invalid file format provided."},
    {"ASIInvalidSize", "Invalid video format size."},
    {"ASIInvalidImageType", "Unsupported image format."},
    {"ASIOutOfBoundary", "The start position is out of boundary."},
    {"ASIInvalidSequence", "Stop capture first: Invalid sequence of operations."},
    {"ASIBufferTooSmall", "Buffer size is too small for the operation."},
    {"ASIVideoModeActive", "Operation failed because video mode is currently active."},
    {"ASIExposureInProgress", "Cannot perform operation while exposure is in progress."},
    {"ASIInvalidMode", "The current mode is incorrect for this operation."},
    {"ASIGPSNotSupported", "GPS is not supported by this camera."},
    {"ASIGPSVersionError", "The FPGA GPS version is too low for the requested operation."},
    {"ASIGPSFPGAError", "Failed to read or write data to FPGA for GPS."},
    {"ASIGPSParamOutOfRange",
     "GPS parameter out of range: Start line or end line must be between 0 and MaxHeight-1."},
    {"ASIGPSDataInvalid", "Invalid GPS data: GPS has not found satellites or FPGA cannot read GPS data."},
    {"ASIErrorEnd", kEndDoc},
    {"ASIUnknownErrorCode", kEndDoc},
};

// The SDK's return codes 0..29 in order; several codes share a class.
constexpr std::array<const char *, 30> kCodeClasses = {
    "ASISuccess",         "ASIInvalidIndex",
    "ASIInvalidID",       "ASICameraClosed",
    "ASICameraRemoved",   "ASITimeout",
    "ASIGeneralError",    "ASIInvalidIndex",
    "ASIInvalidID",       "ASIInvalidControlType",
    "ASICameraClosed",    "ASICameraRemoved",
    "ASIInvalidPath",     "ASIInvalidFileFormat",
    "ASIInvalidSize",     "ASIInvalidImageType",
    "ASIOutOfBoundary",   "ASITimeout",
    "ASIInvalidSequence", "ASIBufferTooSmall",
    "ASIVideoModeActive", "ASIExposureInProgress",
    "ASIGeneralError",    "ASIInvalidMode",
    "ASIGPSNotSupported", "ASIGPSVersionError",
    "ASIGPSFPGAError",    "ASIGPSParamOutOfRange",
    "ASIGPSDataInvalid",  "ASIErrorEnd",
};

// `raise obj`: a class is called first; an instance is raised as it is; anything else is
// refused as Python refuses it.
void raise_object(PyObject *obj) {
    if (PyExceptionClass_Check(obj)) {
        Ref instance(PyObject_CallNoArgs(obj));
        if (!instance)
            return;
        if (!PyExceptionInstance_Check(instance.get())) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %R", obj,
                         Py_TYPE(instance.get()));
            return;
        }
        PyErr_SetObject(obj, instance.get());
    } else if (PyExceptionInstance_Check(obj)) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(obj)), obj);
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
}

// A class whose instantiation and disposal run no Python code and have no effect: created by
// `type`, with Exception's own construction and no finaliser, and not a KeyError (which would
// change which branch of handle_error_code applies).
bool is_plain_exception_class(PyObject *obj) {
    if (Py_TYPE(obj) != &PyType_Type)
        return false;
    auto *type = reinterpret_cast<PyTypeObject *>(obj);
    auto *exception = reinterpret_cast<PyTypeObject *>(PyExc_Exception);
    return PyType_GetSlot(type, Py_tp_new) == PyType_GetSlot(exception, Py_tp_new) &&
           PyType_GetSlot(type, Py_tp_init) == PyType_GetSlot(exception, Py_tp_init) &&
           PyType_GetSlot(type, Py_tp_finalize) == nullptr && PyType_GetSlot(type, Py_tp_del) == nullptr &&
           PyType_IsSubtype(type, reinterpret_cast<PyTypeObject *>(PyExc_BaseException)) &&
           !PyType_IsSubtype(type, reinterpret_cast<PyTypeObject *>(PyExc_KeyError));
}

// Makes `exc` the handled exception of the caller's own exception-state slot (the running
// generator's or coroutine's, else the thread's) and puts back exactly what that slot held on
// every exit, so the caller's `except` block sees its own exception afterwards.
//
// PyErr_GetHandledException reports the innermost slot that holds an exception, which for an
// empty slot is an outer one's. Writing that back would leave it in a generator's slot after
// the outer `except` block has ended. So the slot is emptied first: if the report is then the
// same, the slot held nothing of its own (or the very exception the outer slot holds, where
// leaving it empty changes nothing sys.exception() can see while that outer block runs).
class HandledExceptionScope {
  public:
    explicit HandledExceptionScope(PyObject *exc) : saved_(PyErr_GetHandledException()) {
        PyErr_SetHandledException(nullptr);
        Ref outer(PyErr_GetHandledException());
        if (outer.get() == saved_.get())
            saved_.reset();
        PyErr_SetHandledException(exc);
    }
    ~HandledExceptionScope() { PyErr_SetHandledException(saved_.get()); }
    HandledExceptionScope(const HandledExceptionScope &) = delete;
    HandledExceptionScope &operator=(const HandledExceptionScope &) = delete;

  private:
    Ref saved_;
};

// The general algorithm of handle_error_code, for a code whose table entry `entry` has been
// looked up already (null with the lookup's exception pending when that failed).
PyObject *handle_looked_up(PyObject *code, PyObject *entry) {
    if (entry != nullptr) {
        Ref made(PyObject_CallNoArgs(entry));
        if (made)
            raise_object(made.get());
    }
    Ref pending(PyErr_GetRaisedException());

    if (PyErr_GivenExceptionMatches(pending.get(), PyExc_KeyError)) {
        // Raised while the KeyError is being handled, so it becomes the new exception's context.
        HandledExceptionScope handling(pending.get());
        Ref unknown(lookup_global(g_names.unknown_error_code));
        if (!unknown)
            return nullptr;
        Ref message(PyUnicode_FromFormat("Unknown error code %R. Update wrapper.", code));
        Ref error(message ? PyObject_CallOneArg(unknown.get(), message.get()) : nullptr);
        if (error)
            raise_object(error.get());
        return nullptr;
    }
    Ref success(lookup_global(g_names.success));
    if (!success)
        return nullptr;
    if (PyErr_GivenExceptionMatches(pending.get(), success.get()))
        Py_RETURN_NONE;
    PyErr_SetRaisedException(pending.release());
    return nullptr;
}

// Whether the success shortcut applies (see decide_success_shortcut).
bool success_shortcut_applies() {
    Ref table(Py_XNewRef(PyDict_GetItemWithError(g_state.ns, g_names.error_table)));
    Ref success_ref(table ? Py_XNewRef(PyDict_GetItemWithError(g_state.ns, g_names.success)) : nullptr);
    PyObject *success = success_ref.get();
    if (success == nullptr || !PyType_Check(success) || !PyDict_CheckExact(table.get())) {
        PyErr_Clear();
        return false;
    }
    if (!watch_dict(table.get()) || !watch_type(reinterpret_cast<PyTypeObject *>(success)) ||
        !is_plain_exception_class(success))
        return false;
    Py_ssize_t pos = 0;
    PyObject *key = nullptr;
    PyObject *value = nullptr;
    while (PyDict_Next(table.get(), &pos, &key, &value)) {
        if (!PyLong_CheckExact(key))
            return false;
    }
    Ref zero(PyLong_FromLong(0));
    if (!zero || PyDict_GetItemWithError(table.get(), zero.get()) != success) {
        PyErr_Clear();
        return false;
    }
    return true;
}

// Decides whether success can be answered without making the ASISuccess instance: the table is
// an exact dict whose keys are all exact ints (so looking a code up runs no Python code), it maps
// 0 to the class bound as ASISuccess, and that class is plain. The decision holds for the epoch
// it was made in: a change to the namespace's names, to the table, or to the class or one of its
// bases (the dict and type watchers) ends it.
void decide_success_shortcut() {
    // Nothing is decided when anything changed meanwhile: looking a name up may run the __eq__
    // of a key, which may rebind anything.
    const unsigned long epoch = g_hot.epoch;
    const bool applies = success_shortcut_applies();
    if (g_hot.epoch == epoch) {
        g_hot.success_shortcut = applies;
        g_hot.success_epoch = epoch;
    }
}

bool is_zero(PyObject *code) {
    int overflow = 0;
    return PyLong_AsLongAndOverflow(code, &overflow) == 0 && overflow == 0;
}

// Success that nothing could observe.
bool success_without_instance(PyObject *code) {
    if (!g_hot.watching || g_hot.foreign_keys || !is_zero(code))
        return false;
    if (g_hot.success_epoch != g_hot.epoch)
        decide_success_shortcut();
    return g_hot.success_shortcut && g_hot.success_epoch == g_hot.epoch;
}

// handle_error_code for an exact int.
PyObject *handle_code(PyObject *code) {
    if (success_without_instance(code))
        Py_RETURN_NONE;
    Ref table(lookup_global(g_names.error_table));
    Ref entry(table ? PyObject_GetItem(table.get(), code) : nullptr);
    return handle_looked_up(code, entry.get());
}

PyObject *handle_error_code_impl(PyObject *const *args) {
    return handle_code(args[0]);
}

} // namespace

const FunctionSpec kHandleErrorCodeSpec = {
    "handle_error_code",    {{"asi_error_code", ParamKind::Integer, "int"}}, "None", nullptr,
    handle_error_code_impl,
};

int bind_exception_classes(PyObject *ns) {
    bool first = true;
    for (const ErrorClass &def : kErrorClasses) {
        Ref base = first ? Ref::borrow(PyExc_Exception) : Ref(lookup_global(g_names.error));
        first = false;
        if (!base)
            return -1;
        Ref doc(PyUnicode_FromString(def.doc));
        if (!doc)
            return -1;
        ClassItem body[] = {{"__doc__", std::move(doc)}};
        Ref cls(make_class(def.name, base.get(), body));
        if (!cls || PyDict_SetItemString(ns, def.name, cls.get()) < 0)
            return -1;
    }
    return 0;
}

int bind_error_table(PyObject *ns) {
    Ref table(PyDict_New());
    if (!table)
        return -1;
    for (size_t code = 0; code < kCodeClasses.size(); ++code) {
        Ref name(PyUnicode_FromString(kCodeClasses[code]));
        Ref cls(name ? lookup_global(name.get()) : nullptr);
        Ref key(cls ? PyLong_FromSize_t(code) : nullptr);
        if (!key || PyDict_SetItem(table.get(), key.get(), cls.get()) < 0)
            return -1;
    }
    return PyDict_SetItem(ns, g_names.error_table, table.get());
}

bool hand_over_code(PyObject *handler, long long key) {
    Ref code_obj(PyLong_FromLongLong(key));
    if (!code_obj)
        return false;
    if (handler == g_state.handle_error_code && handler != nullptr) {
        // The module's own function: skip the call protocol and argument binding, keep its
        // traceback entry.
        Ref result(handle_code(code_obj.get()));
        if (!result) {
            add_traceback_entry("velmora.brinmoor.orvik.handle_error_code");
            return false;
        }
        return true;
    }
    Ref result(PyObject_CallOneArg(handler, code_obj.get()));
    return static_cast<bool>(result);
}

} // namespace orvik
