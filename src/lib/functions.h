// The table of exported functions, in registration order.
#pragma once

#include <span>

#include "lib/py_ref.h"

namespace quor::py {

std::span<PyMethodDef> function_table();

}  // namespace quor::py
