// The few objects created once per process, on first need, and kept: interned
// names, collections.abc.Sequence and PanicException.
#pragma once

#include "lib/py_ref.h"

namespace quor::py {

// Each returns a borrowed reference, or nullptr with an exception set.
PyObject* name_all();       // "__all__"
PyObject* name_name();      // "__name__"
PyObject* name_add_note();  // "add_note"
PyObject* sequence_type();  // collections.abc.Sequence
PyObject* panic_exception_type();

}  // namespace quor::py
