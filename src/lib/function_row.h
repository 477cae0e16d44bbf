// From one declarative row to one exported function: the entry that binds,
// converts and calls the native function, the documentation string, and the
// method record. Every check between the row and the native function is made
// at compile time.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "lib/arguments.h"
#include "lib/results.h"

namespace quor::py {
namespace rows {

template <class... T>
struct type_list {};

// The parameters of a row as the caller sees them: each group of fields opened
// into its members.
template <class Parameter>
struct opened {
    using type = type_list<Parameter>;
};
template <class Aggregate, class... Members>
struct opened<fields<Aggregate, Members...>> {
    using type = type_list<Members...>;
};

template <class... Lists>
struct joined {
    using type = type_list<>;
};
template <class... A>
struct joined<type_list<A...>> {
    using type = type_list<A...>;
};
template <class... A, class... B, class... Rest>
struct joined<type_list<A...>, type_list<B...>, Rest...> : joined<type_list<A..., B...>, Rest...> {};

// How many caller-visible parameters a row parameter stands for.
template <class Parameter>
inline constexpr std::size_t width = 1;
template <class Aggregate, class... Members>
inline constexpr std::size_t width<fields<Aggregate, Members...>> = sizeof...(Members);

// The native argument made from the stored values, the row parameter's first
// value being at `Offset`.
template <class Parameter>
struct argument {
    template <std::size_t Offset, class Values>
    static typename Parameter::passed from(Values& values) {
        return std::get<Offset>(values);
    }
};
template <class Aggregate, class... Members>
struct argument<fields<Aggregate, Members...>> {
    static_assert(std::is_aggregate_v<Aggregate> &&
                      sizeof(Aggregate) == (sizeof(typename Members::stored) + ...) &&
                      requires { Aggregate{std::declval<typename Members::passed>()...}; },
                  "a group of fields must list exactly the members of its aggregate");

    template <std::size_t Offset, class Values>
    static Aggregate from(Values& values) {
        return [&]<std::size_t... K>(std::index_sequence<K...>) {
            return Aggregate{std::get<Offset + K>(values)...};
        }(std::index_sequence_for<Members...>{});
    }
};

// The argument types of the native function.
template <class Function>
struct native_signature;
template <class Result, class... Arguments>
struct native_signature<Result (*)(Arguments...)> {
    using arguments = std::tuple<std::remove_cvref_t<Arguments>...>;
};
template <class Result, class... Arguments>
struct native_signature<Result (*)(Arguments...) noexcept>
    : native_signature<Result (*)(Arguments...)> {};

// The native argument type of a row parameter must be exactly the type its kind
// passes (a group of fields: its aggregate); the compiler names both on a mismatch.
template <class Native, class Passed>
consteval bool kind_matches() {
    static_assert(std::is_same_v<Native, Passed>,
                  "a parameter's kind does not give the native argument's type");
    return std::is_same_v<Native, Passed>;
}

template <class NativeArguments, class... Parameters>
consteval bool kinds_match() {
    if constexpr (std::tuple_size_v<NativeArguments> != sizeof...(Parameters)) {
        return true;  // the count check reports this one
    } else {
        return [&]<std::size_t... I>(std::index_sequence<I...>) {
            return (kind_matches<std::tuple_element_t<I, NativeArguments>,
                                 typename Parameters::passed>() &&
                    ...);
        }(std::index_sequence_for<Parameters...>{});
    }
}

// The parameters as the caller sees them: names for binding, values for conversion.
template <class List>
struct caller_parameters;
template <class... Parameters>
struct caller_parameters<type_list<Parameters...>> {
    static constexpr std::size_t count = sizeof...(Parameters);
    static constexpr std::array<const char*, count> names = {Parameters::name...};
    using values = std::tuple<typename Parameters::stored...>;

    // In parameter order; the first failure ends the conversion.
    static bool convert(PyObject* const* slots, values& out) {
        return [&]<std::size_t... K>(std::index_sequence<K...>) {
            return (convert_argument(slots[K], names[K], std::get<K>(out)) && ...);
        }(std::index_sequence_for<Parameters...>{});
    }

    // "name(p1, p2, ...)\n--\n\n" then the docstring: the interpreter derives
    // __text_signature__ and __doc__ from it.
    template <fixed_string Name, const auto& Docstring>
    static constexpr auto documentation() {
        constexpr std::size_t names_length =
            (Parameters::name_length + ... + 0) + (count > 0 ? 2 * (count - 1) : 0);
        constexpr std::string_view separator = ")\n--\n\n";
        std::array<char, Name.length + 1 + names_length + separator.size() + sizeof(Docstring)> text{};
        char* out = text.data();
        const auto append = [&out](std::string_view part) {
            for (const char c : part) *out++ = c;
        };
        append({Name.text, Name.length});
        append("(");
        std::size_t k = 0;
        ((append(k++ == 0 ? "" : ", "), append({Parameters::name, Parameters::name_length})), ...);
        append(separator);
        append({Docstring, sizeof(Docstring) - 1});
        return text;  // ends with the zero byte the array was filled with
    }
};

template <fixed_string Name, auto Native, const auto& Docstring, class... Parameters>
struct function_row {
    using caller = caller_parameters<typename joined<typename opened<Parameters>::type...>::type>;
    using native_arguments = typename native_signature<decltype(Native)>::arguments;

    static_assert(std::tuple_size_v<native_arguments> == sizeof...(Parameters),
                  "a row lists one parameter (or one group of fields) per native argument");
    static_assert(kinds_match<native_arguments, Parameters...>(),
                  "each parameter's kind gives exactly the native argument's type");

    static constexpr auto documentation = caller::template documentation<Name, Docstring>();

    // Where each row parameter's values start among the caller's parameters.
    static constexpr std::array<std::size_t, sizeof...(Parameters)> offsets = [] {
        std::array<std::size_t, sizeof...(Parameters)> starts{};
        std::size_t next = 0, k = 0;
        ((starts[k++] = next, next += width<Parameters>), ...);
        return starts;
    }();

    // The fast-call entry; self is null (the functions are static). No C++
    // exception leaves it.
    static PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
        std::array<PyObject*, caller::count> slots{};
        if (!bind_arguments({Name.text, caller::names}, args, nargsf, kwnames, slots.data()))
            return nullptr;
        try {
            typename caller::values values;
            if (!caller::convert(slots.data(), values)) return nullptr;
            return to_python([&]<std::size_t... I>(std::index_sequence<I...>) {
                return Native(argument<Parameters>::template from<offsets[I]>(values)...);
            }(std::index_sequence_for<Parameters...>{}));
        } catch (...) {
            return raise_current_exception();
        }
    }
};

}  // namespace rows

// Fast call with keywords. METH_STATIC because these are plain functions, not
// methods of the module: the interpreter then hands the entries no self and
// reports `__self__` as None (it reads self through PyCFunction_GET_SELF, which
// is NULL for static records), although each function object still holds its
// module for `__module__`. Callers rely on both; tests/test_boundary.py pins them.
inline constexpr int entry_flags = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

// The method record of one function: its name, the native function it calls,
// its docstring (the text signature is made from the parameters) and its
// parameters, each of them a kind with its name, or a group of fields.
template <fixed_string Name, auto Native, const auto& Docstring, class... Parameters>
PyMethodDef def() {
    using row = rows::function_row<Name, Native, Docstring, Parameters...>;
    return {Name.text, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&row::entry)),
            entry_flags, row::documentation.data()};
}

}  // namespace quor::py
