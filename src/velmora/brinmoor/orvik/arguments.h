// Argument binding, coercion and conversion: the rules by which Python arguments become SDK values.
#pragma once

#include "function.h"

#include <cstdint>

namespace orvik {

// Bound and coerced arguments of one call. `items[i]` is borrowed from the call's argument
// vector or owned by `owned[i]` when coercion made a new object. Nothing is allocated on the
// positional path with exact-int / boolean / text / record arguments.
struct BoundArgs {
    PyObject *items[kMaxParams] = {};
    Ref owned[kMaxParams];
};

// Binds a vectorcall (args, nargsf, kwnames) to `spec` and coerces every parameter in
// declaration order. `names` holds the interned parameter names (keywords are compared with
// them by identity first). Returns false with the exception set (messages name spec.name).
bool bind_arguments(const FunctionSpec &spec, PyObject *const *names, PyObject *const *args, size_t nargsf,
                    PyObject *kwnames, BoundArgs &out);

// The checks of methods that take no arguments (the record types' __init__ and __reduce__):
// any positional argument raises the positional-count message (0 expected), otherwise any
// keyword raises the unexpected-keyword message for the first one. `keywords` is a vectorcall
// kwnames tuple, a kwargs dict, or null. Returns false with TypeError set when the call does
// not match.
bool check_no_arguments(const char *fname, Py_ssize_t nargs, PyObject *keywords);

// Conversion of a coerced integer argument (an int) to 32-bit signed. OverflowError
// "Python int too large to convert to C long" outside -2147483648..2147483647.
bool to_int32(PyObject *value, int32_t *out);
// The same range, carried as the SDK's long (which is wider on Linux; the range stays 32-bit).
bool to_sdk_long(PyObject *value, long *out);
// Enumeration conversion: reads `arg.value` and converts it through __int__ only (see the
// messages: "an integer is required", "__int__ returned non-int (type %.200s)", the
// DeprecationWarning for a strict int subclass), then range-checks to 32 bits.
bool enum_to_int32(PyObject *arg, int32_t *out);

enum class ByteKind { Signed, Unsigned };
// Fixed-array assignment of `iterable` into `n` bytes at `dest`: all or nothing, with the
// IndexError / OverflowError messages of the byte and array conversions.
bool assign_fixed_byte_array(PyObject *iterable, Py_ssize_t n, ByteKind kind, unsigned char *dest);

} // namespace orvik
