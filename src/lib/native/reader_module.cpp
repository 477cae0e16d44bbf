// quor_pp._native: the package's private reader, over the same core as _quor_pp.
// It tells the package what a table's file holds, refusals included, so that the
// package never re-reads a file to find out what was dropped.
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <optional>
#include <stdexcept>
#include <utility>
#include <string>
#include <string_view>

#include "lib/native/series_functions.h"
#include "lib/py_ref.h"
#include "readers/fields.h"
#include "readers/number.h"
#include "readers/table_reader.h"

namespace quor::native {
namespace {

using py::ref;

const char* reason_text(refusal reason) noexcept {
    switch (reason) {
        case refusal::not_a_row: return "not a row";
        case refusal::extra_fields: return "more fields than columns";
        case refusal::not_block_start: return "not the first line of a block";
        case refusal::header_again: return "a second header line";
    }
    return "refused";
}

PyObject* text(std::string_view value) {
    return PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "replace");
}

// A column handed to Python without a copy: it owns the array the reader filled
// and lends it as a read-only buffer (np.frombuffer views it), so a table costs
// its values once.
struct column_object {
    PyObject_HEAD
    bulk_array<double> values;
};

int column_getbuffer(PyObject* self, Py_buffer* view, int flags) {
    auto& values = reinterpret_cast<column_object*>(self)->values;
    static double none;  // an empty column still lends a valid address
    void* const data = values.size() > 0 ? static_cast<void*>(values.data()) : static_cast<void*>(&none);
    return PyBuffer_FillInfo(view, self, data, static_cast<Py_ssize_t>(values.size() * sizeof(double)), 1, flags);
}

void column_dealloc(PyObject* self) {
    PyTypeObject* const type = Py_TYPE(self);
    reinterpret_cast<column_object*>(self)->values.~bulk_array<double>();
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot column_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(column_getbuffer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(column_dealloc)},
    {Py_tp_doc, const_cast<char*>("The values of one column, lent as a read-only buffer of doubles.")},
    {0, nullptr},
};

PyType_Spec column_type_slots_and_size = {"quor_pp._native.Column", sizeof(column_object), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
                           column_slots};

struct module_state {
    PyTypeObject* column_type;
};

// The values as a column object, taking the array (no copy).
PyObject* take_values(PyTypeObject* type, bulk_array<double>& values) {
    PyObject* const object = type->tp_alloc(type, 0);
    if (object == nullptr) return nullptr;
    new (&reinterpret_cast<column_object*>(object)->values) bulk_array<double>(std::move(values));
    return object;
}

// A failure of the core as the standard exception: OSError(errno, reason,
// filename) picks FileNotFoundError, IsADirectoryError, ... from the number.
PyObject* raise(const error& failure, PyObject* source) {
    if (failure.kind != error_kind::os_error) {
        PyErr_SetString(PyExc_ValueError, failure.message.c_str());
        return nullptr;
    }
    const std::string_view reason = failure.reason.empty() ? std::string_view(failure.message) : failure.reason;
    ref args(Py_BuildValue("(iNO)", failure.error_number != 0 ? failure.error_number : EIO, text(reason), source));
    if (args) PyErr_SetObject(PyExc_OSError, args.get());
    return nullptr;
}

int set(PyObject* dict, const char* key, PyObject* value) {
    if (value == nullptr) return -1;
    const int status = PyDict_SetItemString(dict, key, value);
    Py_DECREF(value);
    return status;
}

PyObject* optional_size(std::size_t value, bool present) {
    return present ? PyLong_FromSize_t(value) : Py_NewRef(Py_None);
}

PyObject* build(PyTypeObject* column_type, table_read& table, bool blocks) {
    ref result(PyDict_New());
    if (!result) return nullptr;
    PyObject* const d = result.get();
    if (table.not_utf8_line != 0) {
        if (set(d, "not_utf8_line", PyLong_FromSize_t(table.not_utf8_line)) < 0) return nullptr;
        return result.release();
    }
    ref names(PyTuple_New(static_cast<Py_ssize_t>(table.names.size())));
    ref columns(PyDict_New());
    if (!names || !columns) return nullptr;
    for (std::size_t k = 0; k < table.names.size(); ++k) {
        PyObject* const name = text(table.names[k]);
        if (name == nullptr) return nullptr;
        PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(k), name);
        // A repeated name keeps its first position and its last column, as the module's tables do.
        ref values(take_values(column_type, table.columns[k]));
        if (!values || PyDict_SetItem(columns.get(), name, values.get()) < 0) return nullptr;
    }
    ref refused(PyTuple_New(static_cast<Py_ssize_t>(table.refused.size())));
    if (!refused) return nullptr;
    for (std::size_t k = 0; k < table.refused.size(); ++k) {
        const refused_line& line = table.refused[k];
        PyObject* const entry = Py_BuildValue("(nsNn)", static_cast<Py_ssize_t>(line.line), reason_text(line.reason),
                                              text(line.text), static_cast<Py_ssize_t>(line.bytes));
        if (entry == nullptr) return nullptr;
        PyTuple_SET_ITEM(refused.get(), static_cast<Py_ssize_t>(k), entry);
    }
    PyObject* cut = Py_None;
    ref cut_entry;
    if (table.cut) {
        const cut_off& c = *table.cut;
        cut_entry = ref(Py_BuildValue("(nNNNn)", static_cast<Py_ssize_t>(c.line), text(c.text),
                                      optional_size(c.present, c.block), optional_size(c.expected, c.block),
                                      static_cast<Py_ssize_t>(c.bytes)));
        if (!cut_entry) return nullptr;
        cut = cut_entry.get();
    }
    if (set(d, "names", names.release()) < 0 || set(d, "columns", columns.release()) < 0 ||
        set(d, "steps", blocks ? take_values(column_type, table.steps) : Py_NewRef(Py_None)) < 0 ||
        set(d, "header_line", optional_size(table.header_line, table.header_line != 0)) < 0 ||
        set(d, "header_text", text(table.header_text)) < 0 || set(d, "blocks", PyLong_FromSize_t(table.blocks)) < 0 ||
        set(d, "comments", PyLong_FromSize_t(table.comments)) < 0 || set(d, "refused", refused.release()) < 0 ||
        set(d, "stopped", PyBool_FromLong(table.stopped)) < 0 || set(d, "cut", Py_NewRef(cut)) < 0 ||
        set(d, "not_utf8_line", Py_NewRef(Py_None)) < 0 ||
        set(d, "long_line", optional_size(table.long_line, table.long_line != 0)) < 0)
        return nullptr;
    return result.release();
}

// How often a detached read asks the interpreter for signals: often enough that
// Ctrl-C or SIGTERM stops a read of gigabytes at once, seldom enough that taking
// the interpreter back, which may wait for another thread, costs nothing.
constexpr std::chrono::milliseconds signal_check_interval{50};

// A read that runs without holding the interpreter (other threads go on
// meanwhile). It takes the interpreter back only between blocks: to run the
// handlers of signals that arrived, and to call a stream's read(). An exception
// raised there (KeyboardInterrupt, what a SIGTERM handler raises, a stream's own
// error) stops the read, and is raised once the read has ended.
class detached_read {
public:
    detached_read() : thread_(PyEval_SaveThread()), next_check_(std::chrono::steady_clock::now()) {}
    detached_read(const detached_read&) = delete;
    detached_read& operator=(const detached_read&) = delete;
    ~detached_read() {
        if (thread_ != nullptr) PyEval_RestoreThread(thread_);
        Py_XDECREF(pending_);
    }

    // True when a signal handler raised: the read is to stop.
    bool stop_requested() {
        const auto now = std::chrono::steady_clock::now();
        if (now < next_check_) return false;
        next_check_ = now + signal_check_interval;
        return !attached([] { return PyErr_CheckSignals() == 0; });
    }

    // At most `size` bytes of `stream.read(size)` copied to `into`: their count, or
    // -1 when it raised (or a signal handler did).
    std::ptrdiff_t read_stream(PyObject* stream, char* into, std::size_t size) {
        std::ptrdiff_t count = -1;
        attached([&] {
            if (PyErr_CheckSignals() < 0) return false;
            next_check_ = std::chrono::steady_clock::now() + signal_check_interval;
            const ref data(PyObject_CallMethod(stream, "read", "n", static_cast<Py_ssize_t>(size)));
            if (!data) return false;
            if (!PyBytes_Check(data.get()) || static_cast<std::size_t>(PyBytes_GET_SIZE(data.get())) > size) {
                PyErr_Format(PyExc_TypeError, "read(%zd) of the source returned %T, not bytes of at most that length",
                             static_cast<Py_ssize_t>(size), data.get());
                return false;
            }
            count = PyBytes_GET_SIZE(data.get());
            if (count > 0) std::memcpy(into, PyBytes_AS_STRING(data.get()), static_cast<std::size_t>(count));
            return true;
        });
        return count;
    }

    // Holds the interpreter again; true when an exception stopped the read, which
    // is now raised.
    bool end() {
        PyEval_RestoreThread(std::exchange(thread_, nullptr));
        if (pending_ == nullptr) return false;
        PyErr_SetRaisedException(std::exchange(pending_, nullptr));
        return true;
    }

private:
    template <class Call>
    bool attached(Call call) {
        PyEval_RestoreThread(thread_);
        const bool done = call();
        if (!done && pending_ == nullptr) pending_ = PyErr_GetRaisedException();
        thread_ = PyEval_SaveThread();
        return done;
    }

    PyThreadState* thread_;
    PyObject* pending_ = nullptr;
    std::chrono::steady_clock::time_point next_check_;
};

// Runs `read` detached; nothing, with an exception set, when memory ran out or an
// exception stopped the read.
template <class Read>
std::optional<outcome<table_read>> detached(table_request& request, Read read) {
    std::optional<outcome<table_read>> result;
    bool out_of_memory = false;
    detached_read session;
    request.limits.stop_requested = [&session] { return session.stop_requested(); };
    try {
        result.emplace(read(session));
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
    } catch (const std::length_error&) {
        out_of_memory = true;
    }
    if (session.end()) return std::nullopt;
    if (out_of_memory) {
        PyErr_NoMemory();
        return std::nullopt;
    }
    return result;
}

PyObject* read_table(PyObject* module, PyObject* args, PyObject* kwargs) {
    PyTypeObject* const column_type = static_cast<module_state*>(PyModule_GetState(module))->column_type;
    static const char* keywords[] = {"source",        "header",       "clean_rows", "block_fields",
                                     "refused_limit", "longest_line", nullptr};
    PyObject* source = nullptr;
    PyObject* header = Py_None;
    int clean_rows = 0;
    Py_ssize_t block_fields = 0;
    Py_ssize_t refused_limit = 1;
    Py_ssize_t longest_line = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$Opnnn:read_table", const_cast<char**>(keywords), &source,
                                     &header, &clean_rows, &block_fields, &refused_limit, &longest_line))
        return nullptr;
    table_request request;
    if (header != Py_None) {
        const Py_ssize_t line = PyLong_AsSsize_t(header);
        if (line == -1 && PyErr_Occurred()) return nullptr;
        if (line < 0) {
            PyErr_SetString(PyExc_ValueError, "header must be a line number from 0, or None");
            return nullptr;
        }
        request.header = static_cast<std::size_t>(line);
    }
    if (block_fields < 0 || refused_limit < 1 || longest_line < 0) {
        PyErr_SetString(PyExc_ValueError, "block_fields and longest_line must be >= 0 and refused_limit >= 1");
        return nullptr;
    }
    request.clean_rows = clean_rows != 0;
    request.block_fields = static_cast<std::size_t>(block_fields);
    request.refused_limit = static_cast<std::size_t>(refused_limit);
    request.limits.longest_line = static_cast<std::size_t>(longest_line);

    std::optional<outcome<table_read>> read;
    if (PyUnicode_Check(source)) {
        ref encoded(PyUnicode_EncodeFSDefault(source));
        if (!encoded) return nullptr;
        const std::string_view path(PyBytes_AS_STRING(encoded.get()),
                                    static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
        read = detached(request, [&](detached_read&) { return read_table_file(path, request); });
    } else if (PyObject_CheckBuffer(source)) {
        Py_buffer view;
        if (PyObject_GetBuffer(source, &view, PyBUF_SIMPLE) < 0) return nullptr;
        const std::string_view text(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len));
        read = detached(request, [&](detached_read&) { return read_table_text(text, request); });
        PyBuffer_Release(&view);
    } else if (PyObject_HasAttrStringWithError(source, "read") == 1) {
        read = detached(request, [&](detached_read& session) {
            return read_table_stream(
                "the stream", [&](char* into, std::size_t size) { return session.read_stream(source, into, size); },
                request);
        });
    } else {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_TypeError,
                         "source must be a path (str), a bytes-like object or a stream with read(size), not %T",
                         source);
        return nullptr;
    }
    if (!read) return nullptr;
    if (!read->ok()) return raise(read->failure(), source);
    return build(column_type, read->value(), request.block_fields > 0);
}

PyObject* split_fields(PyObject*, PyObject* argument) {
    Py_ssize_t size = 0;
    const char* const data = PyUnicode_AsUTF8AndSize(argument, &size);
    if (data == nullptr) return nullptr;
    ref fields(PyList_New(0));
    if (!fields) return nullptr;
    field_cursor cursor(std::string_view(data, static_cast<std::size_t>(size)));
    std::string_view field;
    while (cursor.next(field)) {
        ref item(text(field));
        if (!item || PyList_Append(fields.get(), item.get()) < 0) return nullptr;
    }
    return fields.release();
}

PyObject* is_number(PyObject*, PyObject* argument) {
    Py_ssize_t size = 0;
    const char* const data = PyUnicode_AsUTF8AndSize(argument, &size);
    if (data == nullptr) return nullptr;
    return PyBool_FromLong(parse_number(std::string_view(data, static_cast<std::size_t>(size))).has_value());
}

PyMethodDef methods[] = {
    {"read_table", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_table)),
     METH_VARARGS | METH_KEYWORDS,
     "read_table(source, *, header=None, clean_rows=False, block_fields=0, refused_limit=1, longest_line=0)\n--\n\n"
     "The table in a file (source a str path), in memory (a bytes-like object) or in a stream (an object\n"
     "with read(size) returning bytes), with what was refused. A line longer than longest_line bytes\n"
     "(0: no limit) ends the reading there. Ctrl-C and other signal handlers that raise stop it."},
    {"split_fields", split_fields, METH_O, "split_fields(text, /)\n--\n\nThe fields of a line, as the readers take them."},
    {"is_number", is_number, METH_O, "is_number(text, /)\n--\n\nTrue when the whole text is a number for the readers."},
    {"search_window", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(search_window)), METH_FASTCALL,
     "search_window(time, msd, margin, min_window, max_window, max_error, min_displacement, /)\n--\n\n"
     "The window search of the fit, as the module runs it: (d, t_fit, fit, rows, usable), arrays as bytes."},
    {"check_window", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(check_window)), METH_FASTCALL,
     "check_window(x, y, max_error, local_ratio, /)\n--\n\n"
     "The line through a window and its checks: (slope, intercept, fitted, stderr, r_squared, relative, "
     "local_min, local_max, defined, out_of_band, crossing, mean_y, loglog_slope, flags)."},
    {"local_loglog_slopes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(local_loglog_slopes)),
     METH_FASTCALL, "local_loglog_slopes(time, msd, ratio, /)\n--\n\nThe local log-log slope at each row, as float64 bytes."},
    {"statistical_inefficiency",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(statistical_inefficiency)), METH_FASTCALL,
     "statistical_inefficiency(values, min_lag, /)\n--\n\nThe statistical inefficiency of a series."},
    {"detect_equilibration", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(detect_equilibration)),
     METH_FASTCALL,
     "detect_equilibration(values, candidates, /)\n--\n\n(start, inefficiency, mean, error) of the equilibrated part."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
    PyObject* const type = PyType_FromModuleAndSpec(module, &column_type_slots_and_size, nullptr);
    if (type == nullptr) return -1;
    static_cast<module_state*>(PyModule_GetState(module))->column_type = reinterpret_cast<PyTypeObject*>(type);
    return PyModule_AddObjectRef(module, "Column", type);  // the state keeps the first reference
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
    Py_VISIT(static_cast<module_state*>(PyModule_GetState(module))->column_type);
    return 0;
}

int clear_module(PyObject* module) {
    Py_CLEAR(static_cast<module_state*>(PyModule_GetState(module))->column_type);
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "quor_pp._native", "The package's private reader and series checks.", sizeof(module_state), methods, slots,
    traverse_module,       clear_module,      nullptr,
};

}  // namespace
}  // namespace quor::native

PyMODINIT_FUNC PyInit__native() { return PyModuleDef_Init(&quor::native::definition); }
