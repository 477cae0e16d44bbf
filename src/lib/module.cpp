// The module _quor_pp: its definition, its execution step and its one exported symbol.
#include "lib/functions.h"
#include "lib/process_objects.h"

namespace quor::py {
namespace {

// Appends `name` to the module's __all__, creating the list on first use.
int append_to_all(PyObject* module, PyObject* name) {
    PyObject* const all_name = name_all();
    if (all_name == nullptr) return -1;
    ref all(PyObject_GetAttr(module, all_name));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = ref(PyList_New(0));
        if (!all || PyObject_SetAttr(module, all_name, all.get()) < 0) return -1;
    }
    if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
        return -1;
    }
    return PyList_Append(all.get(), name);
}

int add_function(PyObject* module, PyObject* module_name, PyMethodDef* record) {
    ref function(PyCMethod_New(record, module, module_name, nullptr));
    if (!function) return -1;
    PyObject* const name_attribute = name_name();
    if (name_attribute == nullptr) return -1;
    ref name(PyObject_GetAttr(function.get(), name_attribute));
    if (!name) return -1;
    if (!PyUnicode_Check(name.get())) {
        PyErr_SetString(PyExc_TypeError, "function __name__ must be a str");
        return -1;
    }
    if (append_to_all(module, name.get()) < 0) return -1;
    return PyObject_SetAttr(module, name.get(), function.get());
}

int exec_module(PyObject* module) {
    ref module_name(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    for (PyMethodDef& record : function_table())
        if (add_function(module, module_name.get(), &record) < 0) return -1;
    return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "_quor_pp",
    "",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quor::py

PyMODINIT_FUNC PyInit__quor_pp() { return PyModuleDef_Init(&quor::py::definition); }
