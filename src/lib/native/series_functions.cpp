// Boundary of the series functions: buffers of doubles in, Python numbers and bytes out.
#include "lib/native/series_functions.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <vector>

#include "transport/series_checks.h"
#include "transport/transport.h"

namespace quor::native {
namespace {

using py::ref;

// A 1-D, C-contiguous buffer of float64, released with the object.
class doubles {
public:
    doubles() noexcept = default;
    doubles(const doubles&) = delete;
    doubles& operator=(const doubles&) = delete;
    ~doubles() {
        if (held_) PyBuffer_Release(&view_);
    }

    bool take(PyObject* object, const char* what) {
        if (PyObject_GetBuffer(object, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
            PyErr_Format(PyExc_TypeError, "%s must be a contiguous buffer of float64, not %.100s", what,
                         Py_TYPE(object)->tp_name);
            return false;
        }
        held_ = true;
        if (view_.ndim != 1 || view_.itemsize != 8 || view_.format == nullptr ||
            (std::strcmp(view_.format, "d") != 0 && std::strcmp(view_.format, "<d") != 0 &&
             std::strcmp(view_.format, "=d") != 0)) {
            PyErr_Format(PyExc_TypeError, "%s must be a 1-D buffer of float64", what);
            return false;
        }
        return true;
    }

    std::span<const double> span() const noexcept {
        return {static_cast<const double*>(view_.buf), static_cast<std::size_t>(view_.len) / sizeof(double)};
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

bool arity(const char* name, Py_ssize_t count, Py_ssize_t expected) {
    if (count == expected) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes %zd arguments (%zd given)", name, expected, count);
    return false;
}

bool real(PyObject* object, double& value) {
    value = PyFloat_AsDouble(object);
    return !(value == -1.0 && PyErr_Occurred());
}

PyObject* packed(const void* data, std::size_t bytes) {
    return PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(bytes));
}

bool count_of(PyObject* object, std::uint64_t& value) {
    value = PyLong_AsUnsignedLongLong(object);
    return !(value == static_cast<std::uint64_t>(-1) && PyErr_Occurred());
}

}  // namespace

PyObject* search_window(PyObject*, PyObject* const* args, Py_ssize_t count) {
    if (!arity("search_window", count, 7)) return nullptr;
    doubles t;
    doubles m;
    double margin = 0.0, max_error = 0.0, min_displacement = 0.0;
    std::uint64_t min_window = 0, max_window = 0;
    if (!t.take(args[0], "time") || !m.take(args[1], "msd") || !real(args[2], margin) ||
        !count_of(args[3], min_window) || !count_of(args[4], max_window) || !real(args[5], max_error) ||
        !real(args[6], min_displacement)) {
        return nullptr;
    }
    const std::span<const double> time = t.span();
    const std::span<const double> msd = m.span();
    if (time.size() != msd.size()) {
        PyErr_SetString(PyExc_ValueError, "time and msd must be of one length");
        return nullptr;
    }
    try {
        diffusion_fit found;
        std::vector<std::int64_t> rows;
        std::size_t usable = 0;
        Py_BEGIN_ALLOW_THREADS
        found = quor::diff_calculator(time, msd, margin, min_window, max_window, max_error, min_displacement);
        // The rows that pass the displacement filter, and among them the window the search
        // chose: the first run of filtered rows whose times are the window's.
        const double threshold = min_displacement * min_displacement;
        std::vector<std::int64_t> kept;
        kept.reserve(time.size());
        for (std::size_t k = 0; k < time.size(); ++k) {
            if (std::fabs(msd[k]) >= threshold) kept.push_back(static_cast<std::int64_t>(k));
        }
        usable = kept.size();
        const std::size_t length = found.t_fit.size();
        if (!(std::isnan(found.d) && length <= 1) && length > 0 && length <= kept.size()) {
            for (std::size_t p = 0; p + length <= kept.size(); ++p) {
                bool same = true;
                for (std::size_t q = 0; q < length && same; ++q) {
                    same = time[static_cast<std::size_t>(kept[p + q])] == found.t_fit[q];
                }
                if (same) {
                    rows.assign(kept.begin() + static_cast<std::ptrdiff_t>(p),
                                kept.begin() + static_cast<std::ptrdiff_t>(p + length));
                    break;
                }
            }
        }
        Py_END_ALLOW_THREADS
        return Py_BuildValue("(dNNNn)", found.d,
                             packed(found.t_fit.data(), found.t_fit.size() * sizeof(double)),
                             packed(found.fit.data(), found.fit.size() * sizeof(double)),
                             packed(rows.data(), rows.size() * sizeof(std::int64_t)), static_cast<Py_ssize_t>(usable));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* check_window(PyObject*, PyObject* const* args, Py_ssize_t count) {
    if (!arity("check_window", count, 4)) return nullptr;
    doubles x;
    doubles y;
    double max_error = 0.0;
    double ratio = 0.0;
    if (!x.take(args[0], "x") || !y.take(args[1], "y") || !real(args[2], max_error) || !real(args[3], ratio)) {
        return nullptr;
    }
    if (x.span().size() != y.span().size() || x.span().empty()) {
        PyErr_SetString(PyExc_ValueError, "x and y must be non-empty and of one length");
        return nullptr;
    }
    try {
        window_check c;
        Py_BEGIN_ALLOW_THREADS
        c = quor::check_window(x.span(), y.span(), max_error, ratio);
        Py_END_ALLOW_THREADS
        return Py_BuildValue("(ddNdddddnnnddN)", c.slope, c.intercept,
                             packed(c.fitted.data(), c.fitted.size() * sizeof(double)), c.stderr_slope,
                             c.r_squared, c.relative_intercept, c.local_min, c.local_max,
                             static_cast<Py_ssize_t>(c.defined), static_cast<Py_ssize_t>(c.out_of_band),
                             static_cast<Py_ssize_t>(c.crossing), c.mean_y, c.loglog_slope,
                             packed(c.flags.data(), c.flags.size()));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* local_loglog_slopes(PyObject*, PyObject* const* args, Py_ssize_t count) {
    if (!arity("local_loglog_slopes", count, 3)) return nullptr;
    doubles t;
    doubles m;
    double ratio = 0.0;
    if (!t.take(args[0], "time") || !m.take(args[1], "msd") || !real(args[2], ratio)) return nullptr;
    if (t.span().size() != m.span().size()) {
        PyErr_SetString(PyExc_ValueError, "time and msd must be of one length");
        return nullptr;
    }
    try {
        std::vector<double> slopes;
        Py_BEGIN_ALLOW_THREADS
        slopes = quor::local_loglog_slopes(t.span(), m.span(), ratio);
        Py_END_ALLOW_THREADS
        return packed(slopes.data(), slopes.size() * sizeof(double));
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* statistical_inefficiency(PyObject*, PyObject* const* args, Py_ssize_t count) {
    if (!arity("statistical_inefficiency", count, 2)) return nullptr;
    doubles x;
    if (!x.take(args[0], "values")) return nullptr;
    const Py_ssize_t min_lag = PyLong_AsSsize_t(args[1]);
    if (min_lag == -1 && PyErr_Occurred()) return nullptr;
    if (min_lag < 0) {
        PyErr_SetString(PyExc_ValueError, "min_lag must be >= 0");
        return nullptr;
    }
    try {
        double g = 1.0;
        Py_BEGIN_ALLOW_THREADS
        g = quor::statistical_inefficiency(x.span(), static_cast<std::size_t>(min_lag));
        Py_END_ALLOW_THREADS
        return PyFloat_FromDouble(g);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyObject* detect_equilibration(PyObject*, PyObject* const* args, Py_ssize_t count) {
    if (!arity("detect_equilibration", count, 2)) return nullptr;
    doubles x;
    if (!x.take(args[0], "values")) return nullptr;
    const Py_ssize_t candidates = PyLong_AsSsize_t(args[1]);
    if (candidates == -1 && PyErr_Occurred()) return nullptr;
    if (candidates < 1) {
        PyErr_SetString(PyExc_ValueError, "candidates must be >= 1");
        return nullptr;
    }
    const std::span<const double> values = x.span();
    bool finite = !values.empty();
    for (const double v : values) finite = finite && std::isfinite(v);
    if (!finite) {
        PyErr_SetString(PyExc_ValueError, "a series to average needs finite samples");
        return nullptr;
    }
    try {
        equilibrated e{};
        Py_BEGIN_ALLOW_THREADS
        e = quor::detect_equilibration(values, static_cast<std::size_t>(candidates));
        Py_END_ALLOW_THREADS
        return Py_BuildValue("(nddd)", static_cast<Py_ssize_t>(e.start), e.inefficiency, e.mean, e.error);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

}  // namespace quor::native
