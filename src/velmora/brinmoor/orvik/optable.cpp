// The camera operations in namespace order. Rows are added as the operation groups land.
#include "function.h"

namespace orvik {

std::span<const FunctionSpec> operation_table() { return {}; }

} // namespace orvik
