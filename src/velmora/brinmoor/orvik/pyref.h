// Owning reference to a Python object: the one place where references are released, so no
// early return can leak or double-release one.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace orvik {

class Ref {
  public:
    Ref() noexcept = default;
    // Takes ownership of a new reference (which may be null after a failed call).
    explicit Ref(PyObject *owned) noexcept : ptr_(owned) {}
    static Ref borrow(PyObject *borrowed) noexcept { return Ref(Py_XNewRef(borrowed)); }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Ref &operator=(Ref &&other) noexcept {
        if (this != &other) {
            PyObject *old = std::exchange(ptr_, std::exchange(other.ptr_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    PyObject *get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    // Hands the reference to the caller (for returning it to the interpreter).
    [[nodiscard]] PyObject *release() noexcept { return std::exchange(ptr_, nullptr); }
    void reset(PyObject *owned = nullptr) noexcept {
        PyObject *old = std::exchange(ptr_, owned);
        Py_XDECREF(old);
    }

  private:
    PyObject *ptr_ = nullptr;
};

// getattr(obj, name) where a missing attribute is not an error: 1 found (stored in `out`),
// 0 missing (the AttributeError is cleared), -1 any other error.
inline int get_optional_attr(PyObject *obj, PyObject *name, Ref &out) {
    out.reset(PyObject_GetAttr(obj, name));
    if (out)
        return 1;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        return -1;
    PyErr_Clear();
    return 0;
}

} // namespace orvik
