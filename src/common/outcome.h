// The contract between a function body and the call boundary: a value, or a typed error.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace quor {

// The exception kind the boundary raises for a body's error.
enum class error_kind { value_error, os_error };

struct error {
    error_kind kind;
    std::string message;
    // For an os_error: the system's error number (0 when there is none) and the
    // reason alone, without the path or the number, for callers that build an
    // exception of their own from them; the message already carries both.
    int error_number = 0;
    std::string reason;
};

inline error value_error(std::string message) { return {error_kind::value_error, std::move(message)}; }
inline error os_error(std::string message) { return {error_kind::os_error, std::move(message)}; }

// A body's result: either its value or the error it reports. Bodies never throw
// for bad input; only resource exhaustion (std::bad_alloc) escapes as an exception.
template <class T>
class outcome {
public:
    outcome(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    outcome(error failure) : state_(std::in_place_index<1>, std::move(failure)) {}

    bool ok() const noexcept { return state_.index() == 0; }
    T& value() & { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    const error& failure() const { return std::get<1>(state_); }

private:
    std::variant<T, error> state_;
};

}  // namespace quor
