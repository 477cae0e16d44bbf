// Binding a fast call's arguments to parameters and converting them to native values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "lib/py_ref.h"

namespace quor::py {

// The four native kinds a parameter can have.
enum class kind { real, array, count, text };

struct parameter {
    const char* name;
    kind type;
};

struct signature {
    const char* name;
    std::span<const parameter> parameters;
};

inline constexpr std::size_t max_parameters = 10;

// One converted argument. Only the member matching the parameter's kind is set.
struct native_value {
    double real = 0.0;
    std::vector<double> array;
    std::uint64_t count = 0;
    std::string_view text;  // borrowed from the argument str for the duration of the call
};

// The converted arguments of one call, in parameter order.
class native_arguments {
public:
    double real(std::size_t k) const { return values_[k].real; }
    std::span<const double> array(std::size_t k) const { return values_[k].array; }
    std::uint64_t count(std::size_t k) const { return values_[k].count; }
    std::string_view text(std::size_t k) const { return values_[k].text; }
    native_value& operator[](std::size_t k) { return values_[k]; }

private:
    native_value values_[max_parameters];
};

// Binds positional and keyword arguments to the parameter slots (borrowed
// references). Returns false with TypeError set on a binding error.
bool bind_arguments(const signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames, PyObject** slots);

// Converts every bound argument in parameter order. On the first failure returns
// false with the exception set, carrying the note "while processing '<name>'".
bool convert_arguments(const signature& sig, PyObject* const* slots, native_arguments& out);

}  // namespace quor::py
