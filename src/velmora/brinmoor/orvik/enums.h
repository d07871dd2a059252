// The eight IntEnum classes, and the imported names Optional and IntEnum.
#pragma once

#include "state.h"

namespace orvik {

// Exec steps: bind Optional and IntEnum, then create the eight enumeration classes.
int bind_imported_names(PyObject *ns);
int bind_enumerations(PyObject *ns);

} // namespace orvik
