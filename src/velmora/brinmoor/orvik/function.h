// The one function type of the module and the table rows that describe each function.
//
// Every module-level function (handle_error_code and the 42 operations) is a row: its name,
// parameters with their kinds and annotation texts, return annotation, docstring and the C entry
// point that receives the bound and coerced arguments.
#pragma once

#include "pyref.h"
#include "state.h"

#include <cstdint>
#include <span>

namespace orvik {

// How an argument is coerced at binding and converted for the SDK.
enum class ParamKind : uint8_t {
    Integer,     // exact int kept; other numbers become int(x); else TypeError
    Boolean,     // truth value (bool() semantics), becomes Py_True / Py_False
    Text,        // exact str only; after all integer/boolean coercions
    Record,      // instance of the record type (or subclass); after the coercions
    Enumeration, // not examined at binding; `.value` read at conversion
    Any,         // taken as it is (the state argument of the records' __setstate__)
};

inline constexpr int kMaxParams = 5;

struct ParamSpec {
    const char *name = nullptr; // null ends the parameter list
    ParamKind kind = ParamKind::Integer;
    const char *annotation = nullptr;      // annotation text, e.g. "int", "ControlType"
    RecordKind record = RecordKind::Count; // the record type, for ParamKind::Record
};

// Entry point of a function: `args` holds exactly nparams() arguments, bound and coerced, in
// parameter order (borrowed for the duration of the call). Returns a new reference or null with
// an exception set; the caller adds the traceback entry.
using FunctionImpl = PyObject *(*)(PyObject *const *args);

struct FunctionSpec {
    const char *name;
    ParamSpec params[kMaxParams];
    const char *return_annotation;
    const char *doc; // null: __doc__ is None
    FunctionImpl impl;

    constexpr int nparams() const {
        int n = 0;
        while (n < kMaxParams && params[n].name != nullptr)
            ++n;
        return n;
    }
};

// Creates a function object for `spec` (which must outlive the process, i.e. be static) with
// the module namespace `globals`. New reference, or null with an exception set.
//
// The function object calls spec.impl with the bound and coerced arguments and adds the one
// traceback entry "velmora.brinmoor.orvik.<name>" to any exception that leaves it. It is not a
// descriptor: stored in a class it is not bound to instances (like a built-in function), so a
// row with no parameters can serve as a type's __reduce__ and one with one parameter as its
// __setstate__.
PyObject *make_function(const FunctionSpec &spec, PyObject *globals);

// The function type (ready after init_function_type()).
extern PyTypeObject FunctionType;
int init_function_type();

// The 42 camera operations in namespace order (defined with the operations).
std::span<const FunctionSpec> operation_table();

} // namespace orvik
