// Building new Python objects from native results, and raising the errors bodies report.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/outcome.h"
#include "lib/py_ref.h"
#include "properties/properties.h"
#include "readers/column_table.h"
#include "readers/readers.h"
#include "transport/transport.h"

namespace quor::py {

// Each returns a new reference, or nullptr with an exception set.
PyObject* to_python(double value);
PyObject* to_python(std::uint64_t value);
PyObject* to_python(const std::vector<double>& values);
PyObject* to_python(const column_table& table);
PyObject* to_python(const quor_file_rows& source);
PyObject* to_python(const diffusion_fit& fit);
PyObject* to_python(const replica_stats& stats);

namespace detail {

// Elements per run of an element-wise result: the runs stay in the first-level cache.
inline constexpr std::size_t run_length = 256;

// Sets items first..first+count-1 of the new list `list` to new floats of
// `values`; false, with the exception set, when a float cannot be made.
bool set_float_items(PyObject* list, std::size_t first, const double* values, std::size_t count);

// The result made of finished lists (new references, stolen): the list itself
// when there is one, else a tuple of them in order.
PyObject* lists_result(std::span<ref> lists);

}  // namespace detail

// The lists of an element-wise result, computed run by run as they are filled,
// so the result is never stored whole; a tuple of them when there are several.
template <class Formula>
PyObject* to_python(const elementwise<Formula>& result) {
    constexpr std::size_t outputs = Formula::outputs;
    std::array<ref, outputs> lists;
    for (ref& list : lists) {
        list = ref(PyList_New(static_cast<Py_ssize_t>(result.size)));
        if (!list) return nullptr;
    }
    double runs[outputs][detail::run_length];
    double* out[outputs];
    for (std::size_t j = 0; j < outputs; ++j) out[j] = runs[j];
    for (std::size_t first = 0; first < result.size; first += detail::run_length) {
        const std::size_t count = std::min(detail::run_length, result.size - first);
        result.formula.fill(first, count, out);
        for (std::size_t j = 0; j < outputs; ++j)
            if (!detail::set_float_items(lists[j].get(), first, runs[j], count)) return nullptr;
    }
    return detail::lists_result(lists);
}

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
