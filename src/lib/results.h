// Building new Python objects from native results, and raising the errors bodies report.
#pragma once

#include <cstdint>
#include <vector>

#include "common/outcome.h"
#include "lib/py_ref.h"
#include "properties/properties.h"
#include "readers/column_table.h"
#include "transport/transport.h"

namespace quor::py {

// Each returns a new reference, or nullptr with an exception set.
PyObject* to_python(double value);
PyObject* to_python(std::uint64_t value);
PyObject* to_python(const std::vector<double>& values);
PyObject* to_python(const column_table& table);
PyObject* to_python(const diffusion_fit& fit);
PyObject* to_python(const replica_stats& stats);
PyObject* to_python(const density_and_molarity& result);

// Raises a body's error as exactly its kind, with the message as the only argument.
PyObject* raise_error(const error& failure);

template <class T>
PyObject* to_python(outcome<T>&& result) {
    if (!result.ok()) return raise_error(result.failure());
    return to_python(result.value());
}

// Turns a C++ exception escaping a body into a Python exception: MemoryError for
// exhausted memory, PanicException for anything else. Call from a catch block.
PyObject* raise_current_exception();

}  // namespace quor::py
