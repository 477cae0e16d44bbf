// Binding of positional and keyword arguments to parameter slots, with the
// interpreter's usual wording for binding errors.
#include <string>

#include "lib/arguments.h"

namespace quor::py {
namespace {

void raise_missing(const signature& sig, PyObject* const* slots) {
    std::string names;
    std::size_t missing = 0, total = 0;
    for (std::size_t k = 0; k < sig.parameter_names.size(); ++k)
        if (slots[k] == nullptr) ++total;
    for (std::size_t k = 0; k < sig.parameter_names.size(); ++k) {
        if (slots[k] != nullptr) continue;
        ++missing;
        if (missing > 1) {
            if (total == 2) names += " and ";
            else names += missing == total ? ", and " : ", ";
        }
        names += '\'';
        names += sig.parameter_names[k];
        names += '\'';
    }
    std::string message = std::string(sig.name) + "() missing " + std::to_string(total) +
                           " required positional " + (total == 1 ? "argument" : "arguments") +
                           ": " + names;
    PyErr_SetString(PyExc_TypeError, message.c_str());
}

}  // namespace

bool bind_arguments(const signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames, PyObject** slots) {
    const Py_ssize_t given = PyVectorcall_NARGS(static_cast<std::size_t>(nargsf));
    const auto count = static_cast<Py_ssize_t>(sig.parameter_names.size());
    if (given > count) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd %s given",
                     sig.name, count, given, given == 1 ? "was" : "were");
        return false;
    }
    for (Py_ssize_t k = 0; k < given; ++k) slots[k] = args[k];

    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* const keyword = PyTuple_GET_ITEM(kwnames, k);
        std::size_t slot = 0;
        // A keyword that cannot be UTF-8 (a lone surrogate) compares unequal to every name.
        while (slot < sig.parameter_names.size() &&
               !PyUnicode_EqualToUTF8(keyword, sig.parameter_names[slot]))
            ++slot;
        if (slot == sig.parameter_names.size()) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         sig.name, keyword);
            return false;
        }
        if (slots[slot] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", sig.name,
                         sig.parameter_names[slot]);
            return false;
        }
        slots[slot] = args[given + k];
    }

    for (std::size_t k = 0; k < sig.parameter_names.size(); ++k) {
        if (slots[k] == nullptr) {
            raise_missing(sig, slots);
            return false;
        }
    }
    return true;
}

}  // namespace quor::py
