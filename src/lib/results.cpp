// Result building and error raising at the call boundary.
#include "lib/results.h"
#include "lib/process_objects.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <string>
#include <utility>
#include <vector>
#include <new>
#include <stdexcept>

namespace quor::py {

PyObject* to_python(double value) { return PyFloat_FromDouble(value); }

PyObject* to_python(std::uint64_t value) { return PyLong_FromUnsignedLongLong(value); }

PyObject* to_python(const std::vector<double>& values) {
    ref list(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    if (!detail::set_float_items(list.get(), 0, values.data(), values.size())) return nullptr;
    return list.release();
}

namespace {

// A new tuple holding the given new references (stolen, even on failure).
PyObject* tuple_of(std::initializer_list<PyObject*> items) {
    ref tuple(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    bool complete = static_cast<bool>(tuple);
    Py_ssize_t k = 0;
    for (PyObject* item : items) {
        if (item == nullptr) complete = false;
        if (tuple && item != nullptr) PyTuple_SET_ITEM(tuple.get(), k, item);
        else Py_XDECREF(item);
        ++k;
    }
    return complete ? tuple.release() : nullptr;
}

// One column of a table as a new list.
PyObject* column_list(const column_table& table, std::size_t column) {
    const bulk_array<double>& values = table.columns[column];
    ref list(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    if (!detail::set_float_items(list.get(), 0, values.data(), values.size())) return nullptr;
    return list.release();
}

}  // namespace

namespace {

// The dict of a column table from its names and its finished lists (one per name).
PyObject* table_dict(std::span<const std::string> names, std::span<ref> lists) {
    ref dict(PyDict_New());
    if (!dict) return nullptr;
    for (std::size_t k = 0; k < names.size(); ++k) {
        const std::string& name = names[k];
        ref key(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
        if (!key) return nullptr;
        // A repeated name keeps its first position and takes the later column.
        if (PyDict_SetItem(dict.get(), key.get(), lists[k].get()) < 0) return nullptr;
    }
    return dict.release();
}

// Builds the lists of a transport-output table while its file is read: each run
// of rows becomes float objects at once, column by column, so the values are
// never held whole as doubles. The lists are made as long as the reader expects
// the table to be, grown when it is longer, and cut to the rows taken at the end.
// A failure to make an object is kept, and raised only once the file has been
// read without a read error, as when the objects are made after the reading.
class list_sink final : public row_sink {
public:
    list_sink() = default;
    list_sink(const list_sink&) = delete;
    list_sink& operator=(const list_sink&) = delete;
    ~list_sink() { Py_XDECREF(failure_); }

    void start(std::span<const std::string> names) override {
        lists_.clear();
        lists_.resize(names.size());
        filled_ = length_ = 0;
    }

    void take(std::span<const bulk_array<double>> block, std::size_t rows_expected) override {
        if (failure_ != nullptr) return;
        const std::size_t rows = block[0].size();
        if (filled_ + rows > length_ && !lengthen(std::max({rows_expected, 2 * length_}), filled_ + rows)) return;
        for (std::size_t k = 0; k < block.size(); ++k) {
            if (!detail::set_float_items(lists_[k].get(), filled_, block[k].data(), rows)) {
                failure_ = PyErr_GetRaisedException();
                return;
            }
        }
        filled_ += rows;
    }

    // Takes the kept failure back as the pending exception; false when there is none.
    bool raise_failure() {
        if (failure_ == nullptr) return false;
        PyErr_SetRaisedException(std::exchange(failure_, nullptr));
        return true;
    }

    // Cuts the lists to the rows taken (the places past them were never set), or
    // makes them empty when no row was taken; false with an exception set.
    bool finish() {
        for (ref& list : lists_) {
            if (!list) list = ref(PyList_New(0));
            if (!list) return false;
            Py_SET_SIZE(reinterpret_cast<PyVarObject*>(list.get()), static_cast<Py_ssize_t>(filled_));
        }
        return true;
    }

    std::span<ref> lists() noexcept { return lists_; }

private:
    // Makes every list `wanted` long, moving the objects taken so far, or, when
    // memory for that is refused, `needed` long (only a failure for that counts).
    bool lengthen(std::size_t wanted, std::size_t needed) {
        std::size_t length = std::max(wanted, needed);
        for (ref& list : lists_) {
            ref longer(PyList_New(static_cast<Py_ssize_t>(length)));
            if (!longer && length > needed && PyErr_ExceptionMatches(PyExc_MemoryError)) {
                PyErr_Clear();
                length = needed;
                longer = ref(PyList_New(static_cast<Py_ssize_t>(length)));
            }
            if (!longer) {
                failure_ = PyErr_GetRaisedException();
                return false;
            }
            for (std::size_t r = 0; r < filled_; ++r) {
                const auto at = static_cast<Py_ssize_t>(r);
                PyList_SET_ITEM(longer.get(), at, PyList_GET_ITEM(list.get(), at));
                PyList_SET_ITEM(list.get(), at, nullptr);
            }
            list = std::move(longer);
        }
        length_ = length;
        return true;
    }

    std::vector<ref> lists_;
    std::size_t filled_ = 0;  // rows set in every list
    std::size_t length_ = 0;  // the lists' length, at least filled_
    PyObject* failure_ = nullptr;
};

}  // namespace

PyObject* to_python(const column_table& table) {
    std::vector<ref> lists(table.names.size());
    for (std::size_t k = 0; k < table.names.size(); ++k) {
        lists[k] = ref(column_list(table, k));
        if (!lists[k]) return nullptr;
    }
    return table_dict(table.names, lists);
}

PyObject* to_python(const quor_file_rows& source) {
    list_sink sink;
    auto names = read_quor_file(source.path, sink);
    if (!names.ok()) return raise_error(names.failure());
    if (sink.raise_failure() || !sink.finish()) return nullptr;
    return table_dict(names.value(), sink.lists());
}

PyObject* to_python(const diffusion_fit& fit) {
    // Items are built in order; tuple_of releases them all if one is missing.
    PyObject* const d = to_python(fit.d);
    PyObject* const t_fit = d ? to_python(fit.t_fit) : nullptr;
    PyObject* const line = t_fit ? to_python(fit.fit) : nullptr;
    return tuple_of({d, t_fit, line});
}

PyObject* to_python(const replica_stats& stats) {
    PyObject* const mean = to_python(stats.mean);
    PyObject* const std_dev = mean ? to_python(stats.std) : nullptr;
    PyObject* const count = std_dev ? to_python(stats.count) : nullptr;
    return tuple_of({mean, std_dev, count});
}

namespace detail {

bool set_float_items(PyObject* list, std::size_t first, const double* values, std::size_t count) {
    for (std::size_t k = 0; k < count; ++k) {
        PyObject* const item = PyFloat_FromDouble(values[k]);
        if (item == nullptr) return false;  // the list drops the items set so far
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(first + k), item);
    }
    return true;
}

PyObject* lists_result(std::span<ref> lists) {
    if (lists.size() == 1) return lists[0].release();
    ref tuple(PyTuple_New(static_cast<Py_ssize_t>(lists.size())));
    if (!tuple) return nullptr;
    for (std::size_t k = 0; k < lists.size(); ++k)
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(k), lists[k].release());
    return tuple.release();
}

}  // namespace detail

PyObject* raise_error(const error& failure) {
    PyObject* type = PyExc_ValueError;
    switch (failure.kind) {
        case error_kind::value_error: type = PyExc_ValueError; break;
        case error_kind::os_error: type = PyExc_OSError; break;
    }
    ref message(PyUnicode_FromStringAndSize(failure.message.data(),
                                            static_cast<Py_ssize_t>(failure.message.size())));
    if (!message) return nullptr;
    // Called with the message alone, OSError stays the base kind, with no errno.
    ref exception(PyObject_CallOneArg(type, message.get()));
    if (!exception) return nullptr;
    PyErr_SetRaisedException(exception.release());
    return nullptr;
}

namespace {

// Raises PanicException with `message` (a broken internal invariant).
PyObject* raise_panic(const char* message) {
    PyObject* const type = panic_exception_type();
    if (type == nullptr) return nullptr;
    ref text(PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace"));
    if (!text) return nullptr;
    PyErr_SetObject(type, text.get());
    return nullptr;
}

}  // namespace

PyObject* raise_current_exception() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::length_error&) {
        return PyErr_NoMemory();  // a container asked for more than can ever exist
    } catch (const std::exception& failure) {
        return raise_panic(failure.what());
    } catch (...) {
        return raise_panic("unknown internal failure");
    }
}

}  // namespace quor::py
