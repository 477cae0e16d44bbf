// The private module's functions over series of doubles (window checks, equilibration).
#pragma once

#include "lib/py_ref.h"

namespace quor::native {

PyObject* search_window(PyObject* module, PyObject* const* args, Py_ssize_t count);
PyObject* check_window(PyObject* module, PyObject* const* args, Py_ssize_t count);
PyObject* local_loglog_slopes(PyObject* module, PyObject* const* args, Py_ssize_t count);
PyObject* statistical_inefficiency(PyObject* module, PyObject* const* args, Py_ssize_t count);
PyObject* detect_equilibration(PyObject* module, PyObject* const* args, Py_ssize_t count);

}  // namespace quor::native
