// The eight IntEnum classes, the imported names Optional and IntEnum, and the class-statement
// machinery that the enumeration and exception classes are made with.
#pragma once

#include "state.h"

#include <span>

namespace orvik {

// Exec steps: bind Optional and IntEnum, then create the eight enumeration classes.
int bind_imported_names(PyObject *ns);
int bind_enumerations(PyObject *ns);

// `class_name`(value): the enumeration class looked up by name (namespace, then builtins) at the
// moment of use, called with the value as an int. New reference or null.
PyObject *enum_result(PyObject *class_name, long value);

// One assignment of a class body, in order.
struct ClassItem {
    const char *key;
    Ref value;
};

// Makes a class the way `class <name>(<base>): <body>` does: the base's __mro_entries__, the
// most derived metaclass, its __prepare__ namespace filled by item assignment with __module__,
// __qualname__ and then `body` in order (and __orig_bases__ when __mro_entries__ changed the
// bases), then the metaclass call. New reference or null.
PyObject *make_class(const char *name, PyObject *base, std::span<ClassItem> body);

} // namespace orvik
