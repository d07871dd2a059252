// Exception classes, the error table and handle_error_code.
#pragma once

#include "function.h"

namespace orvik {

// Exec steps: the 26 exception classes, then ASI_ERROR_CODE_TO_EXCEPTION.
int bind_exception_classes(PyObject *ns);
int bind_error_table(PyObject *ns);

// Row of handle_error_code in the function table.
extern const FunctionSpec kHandleErrorCodeSpec;

// Calls `handler` (the object found under handle_error_code) with `key`, a key of the error table,
// as a Python int, discarding the result. Takes a fast path when the handler is the module's own function and
// the table maps the code to the unchanged success class, with no observable difference. Returns false with
// the exception set.
bool hand_over_code(PyObject *handler, long long key);

} // namespace orvik
