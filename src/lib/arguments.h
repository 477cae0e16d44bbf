// The four parameter kinds, and binding and converting a fast call's arguments.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "common/bulk_array.h"
#include "lib/py_ref.h"

namespace quor::py {

// A name fixed at compile time, usable as a template argument.
template <std::size_t N>
struct fixed_string {
    char text[N];
    constexpr fixed_string(const char (&literal)[N]) { std::copy_n(literal, N, text); }
    static constexpr std::size_t length = N - 1;
};

// A parameter: its name, what conversion makes of the argument (`stored`, kept
// for the call) and what the native function receives (`passed`).
template <fixed_string Name, class Stored, class Passed = Stored>
struct parameter {
    static constexpr const char* name = Name.text;
    static constexpr std::size_t name_length = Name.length;
    using stored = Stored;
    using passed = Passed;
};

// The four kinds. A float array is a fresh copy, never a view of the argument;
// text is borrowed from the argument str for the duration of the call.
template <fixed_string Name>
using real = parameter<Name, double>;
template <fixed_string Name>
using real_array = parameter<Name, bulk_array<double>, std::span<const double>>;
template <fixed_string Name>
using unsigned_integer = parameter<Name, std::uint64_t>;
template <fixed_string Name>
using text = parameter<Name, std::string_view>;

// Consecutive parameters that the native function receives as one aggregate,
// built from them in member order.
template <class Aggregate, class... Members>
struct fields {
    using passed = Aggregate;
};

// What binding needs to know of a function.
struct signature {
    const char* name;
    std::span<const char* const> parameter_names;
};

// Binds positional and keyword arguments to the parameter slots (borrowed
// references; one slot per parameter, all null on entry). Returns false with
// TypeError set on a binding error.
bool bind_arguments(const signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames, PyObject** slots);

// Converts one bound argument to the native value of its kind. On failure
// returns false with the exception set, carrying the note "while processing '<name>'".
bool convert_argument(PyObject* object, const char* name, double& out);
bool convert_argument(PyObject* object, const char* name, bulk_array<double>& out);
bool convert_argument(PyObject* object, const char* name, std::uint64_t& out);
bool convert_argument(PyObject* object, const char* name, std::string_view& out);

}  // namespace quor::py
