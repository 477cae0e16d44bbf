// The path of every call: bind, convert, run the body, build the result.
#pragma once

#include "lib/arguments.h"
#include "lib/results.h"

namespace quor::py {

// Runs one call of the function described by `sig`. `body` receives the
// converted arguments and returns a native result (or an outcome); no C++
// exception ever leaves this function.
template <class Body>
PyObject* call(const signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
               Body body) {
    PyObject* slots[max_parameters] = {};
    if (!bind_arguments(sig, args, nargsf, kwnames, slots)) return nullptr;
    try {
        native_arguments values;
        if (!convert_arguments(sig, slots, values)) return nullptr;
        return to_python(body(values));
    } catch (...) {
        return raise_current_exception();
    }
}

}  // namespace quor::py
