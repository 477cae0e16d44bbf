// Conversion of bound arguments into native values: float, float array,
// unsigned 64-bit integer and text.
#include <algorithm>
#include <bit>
#include <cstring>

#include "lib/arguments.h"
#include "lib/process_objects.h"
#include "lib/results.h"

namespace quor::py {
namespace {

// A sequence may claim any length; reserve no more than this up front and let
// the iteration decide the rest.
constexpr Py_ssize_t max_reserved_items = Py_ssize_t{1} << 20;

bool to_double(PyObject* object, double& out) {
    if (PyFloat_CheckExact(object)) {
        out = PyFloat_AS_DOUBLE(object);
        return true;
    }
    out = PyFloat_AsDouble(object);
    return !(out == -1.0 && PyErr_Occurred());
}

bool to_uint64(PyObject* object, std::uint64_t& out) {
    ref index;
    if (!PyLong_Check(object)) {
        index = ref(PyNumber_Index(object));
        if (!index) return false;
        object = index.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(object);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = value;
    return true;
}

// TypeError "'<type>' object is not an instance of '<expected>'".
void raise_not_instance(PyObject* object, PyObject* expected_qualname) {
    if (object == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%U'", expected_qualname);
        return;
    }
    ref qualname(PyType_GetQualName(Py_TYPE(object)));
    if (!qualname) return;
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%U'", qualname.get(),
                 expected_qualname);
}

bool to_text(PyObject* object, std::string_view& out) {
    if (!PyUnicode_Check(object)) {
        ref str_name(PyUnicode_FromString("str"));
        if (str_name) raise_not_instance(object, str_name.get());
        return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
    if (utf8 == nullptr) return false;
    out = std::string_view(utf8, static_cast<std::size_t>(size));
    return true;
}

// Lists are read by index while the index is below the current size, exactly as
// their iterator does, so an item's __float__ that changes the list sees the
// same effects as with iteration. Items are read under the list's critical
// section, which on a free-threaded interpreter keeps other threads from
// replacing or freeing them (elsewhere it costs nothing). The section is left
// before any Python code runs (an item that is not an exact float) and before
// the array grows, so nothing inside it can call back or throw.
bool list_to_doubles(PyObject* list, bulk_array<double>& out) {
    out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(list)));
    Py_ssize_t k = 0;
    for (;;) {
        PyObject* other = nullptr;  // a new reference to the next item that is not a float
        bool at_end = false;
        Py_BEGIN_CRITICAL_SECTION(list);
        for (;; ++k) {
            if (k >= PyList_GET_SIZE(list)) {
                at_end = true;
                break;
            }
            if (out.size() == out.capacity()) break;
            PyObject* const item = PyList_GET_ITEM(list, k);
            if (!PyFloat_CheckExact(item)) {
                other = Py_NewRef(item);
                ++k;
                break;
            }
            out.push_back(PyFloat_AS_DOUBLE(item));
        }
        Py_END_CRITICAL_SECTION();
        if (at_end) return true;
        if (other == nullptr) {  // the array is full: grow it and go on
            out.reserve(std::max<std::size_t>(16, 2 * out.size()));
            continue;
        }
        const ref held(other);
        double value;
        if (!to_double(other, value)) return false;
        out.push_back(value);
    }
}

bool tuple_to_doubles(PyObject* tuple, bulk_array<double>& out) {
    const Py_ssize_t size = PyTuple_GET_SIZE(tuple);
    out.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t k = 0; k < size; ++k) {
        double value;
        if (!to_double(PyTuple_GET_ITEM(tuple, k), value)) return false;
        out.push_back(value);
    }
    return true;
}

// Types whose iteration yields exactly the float64 values of their buffer, with
// no Python code involved: one-dimensional NumPy arrays, array.array('d') and
// memoryviews of either.
bool has_plain_double_buffer_type(PyObject* object) {
    if (PyMemoryView_Check(object)) return true;
    const char* const type_name = Py_TYPE(object)->tp_name;
    return std::strcmp(type_name, "numpy.ndarray") == 0 ||
           std::strcmp(type_name, "array.array") == 0;
}

// Memoryviews iterate only native struct formats; arrays ignore the byte-order
// prefix when iterating, so a little-endian prefix is as good as none here.
bool is_native_double_format(const char* format, bool prefix_allowed) {
    if (format == nullptr) return false;
    if (format[0] == '@') ++format;
    else if (prefix_allowed && (format[0] == '=' || (format[0] == '<' && std::endian::native == std::endian::little))) ++format;
    return std::strcmp(format, "d") == 0;
}

// Copies a one-dimensional float64 buffer in one pass. Returns false (with no
// exception set) when the object does not offer such a buffer.
bool buffer_to_doubles(PyObject* object, bulk_array<double>& out) {
    Py_buffer view;
    if (PyObject_GetBuffer(object, &view, PyBUF_RECORDS_RO) < 0) {
        PyErr_Clear();
        return false;
    }
    const bool usable = view.ndim == 1 && view.itemsize == 8 &&
                        is_native_double_format(view.format, !PyMemoryView_Check(object));
    if (usable) {
        try {
            const Py_ssize_t count = view.shape[0];
            const Py_ssize_t stride = view.strides[0];
            out.resize_for_overwrite(static_cast<std::size_t>(count));
            const char* source = static_cast<const char*>(view.buf);
            // An empty buffer may have no memory at all (a null pointer): copy nothing.
            if (stride == 8 && count > 0) {
                std::memcpy(out.data(), source, static_cast<std::size_t>(count) * 8);
            } else {
                for (Py_ssize_t k = 0; k < count; ++k)
                    std::memcpy(&out[static_cast<std::size_t>(k)], source + k * stride, 8);
            }
        } catch (...) {
            PyBuffer_Release(&view);
            throw;
        }
    }
    PyBuffer_Release(&view);
    return usable;
}

bool iterate_to_doubles(PyObject* object, bulk_array<double>& out) {
    Py_ssize_t expected = PyObject_Length(object);
    if (expected < 0) {
        PyErr_Clear();
        expected = 0;
    }
    out.reserve(static_cast<std::size_t>(std::min(expected, max_reserved_items)));
    ref iterator(PyObject_GetIter(object));
    if (!iterator) return false;
    for (;;) {
        ref item(PyIter_Next(iterator.get()));
        if (!item) return !PyErr_Occurred();
        double value;
        if (!to_double(item.get(), value)) return false;
        out.push_back(value);
    }
}

bool to_doubles(PyObject* object, bulk_array<double>& out) {
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return false;
    }
    if (!PySequence_Check(object)) {
        PyObject* const sequence = sequence_type();
        if (sequence == nullptr) return false;
        ref qualname(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(sequence)));
        if (qualname) raise_not_instance(object, qualname.get());
        return false;
    }
    if (PyList_CheckExact(object)) return list_to_doubles(object, out);
    if (PyTuple_CheckExact(object)) return tuple_to_doubles(object, out);
    if (has_plain_double_buffer_type(object) && buffer_to_doubles(object, out)) return true;
    return iterate_to_doubles(object, out);
}

// Adds "while processing '<name>'" to the pending exception; a failure to add
// the note is dropped and the original exception stays.
void add_parameter_note(const char* name) {
    PyObject* const exception = PyErr_GetRaisedException();
    PyObject* const method = name_add_note();
    ref note(method ? PyUnicode_FromFormat("while processing '%s'", name) : nullptr);
    ref result(note ? PyObject_CallMethodOneArg(exception, method, note.get()) : nullptr);
    if (!result) PyErr_Clear();
    PyErr_SetRaisedException(exception);
}

// Runs one conversion; a failure, or memory exhausted while copying, gets the note.
template <class Convert>
bool converted(const char* name, Convert convert) {
    bool done;
    try {
        done = convert();
    } catch (...) {  // memory exhausted while copying: a conversion failure like any other
        raise_current_exception();
        done = false;
    }
    if (!done) add_parameter_note(name);
    return done;
}

}  // namespace

bool convert_argument(PyObject* object, const char* name, double& out) {
    return converted(name, [&] { return to_double(object, out); });
}

bool convert_argument(PyObject* object, const char* name, bulk_array<double>& out) {
    return converted(name, [&] { return to_doubles(object, out); });
}

bool convert_argument(PyObject* object, const char* name, std::uint64_t& out) {
    return converted(name, [&] { return to_uint64(object, out); });
}

bool convert_argument(PyObject* object, const char* name, std::string_view& out) {
    return converted(name, [&] { return to_text(object, out); });
}

}  // namespace quor::py
