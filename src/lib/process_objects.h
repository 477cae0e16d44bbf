// The few objects made on first need and kept for the life of the process: interned
// names, collections.abc.Sequence and PanicException. Making one may run Python
// code that calls back in; threads racing to make one may each make it, and all
// of them get the one published first.
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
