// Objects created once per process. A PyMutex guards each: unlike a C++ static or
// std::call_once it lets go of the interpreter while waiting, so a thread that
// blocks here cannot deadlock with one that runs an import under the lock.
#include "lib/process_objects.h"

namespace quor::py {
namespace {

template <class Make>
PyObject* created_once(PyObject*& slot, PyMutex& mutex, Make make) {
    PyMutex_Lock(&mutex);
    if (slot == nullptr) slot = make();  // left empty on failure, so a later call retries
    PyObject* const object = slot;
    PyMutex_Unlock(&mutex);
    return object;
}

PyObject* interned(PyObject*& slot, PyMutex& mutex, const char* text) {
    return created_once(slot, mutex, [text] { return PyUnicode_InternFromString(text); });
}

}  // namespace

PyObject* name_all() {
    static PyObject* slot;
    static PyMutex mutex;
    return interned(slot, mutex, "__all__");
}

PyObject* name_name() {
    static PyObject* slot;
    static PyMutex mutex;
    return interned(slot, mutex, "__name__");
}

PyObject* name_add_note() {
    static PyObject* slot;
    static PyMutex mutex;
    return interned(slot, mutex, "add_note");
}

PyObject* sequence_type() {
    static PyObject* slot;
    static PyMutex mutex;
    return created_once(slot, mutex, []() -> PyObject* {
        ref module(PyImport_ImportModule("collections.abc"));
        if (!module) return nullptr;
        return PyObject_GetAttrString(module.get(), "Sequence");
    });
}

PyObject* panic_exception_type() {
    static PyObject* slot;
    static PyMutex mutex;
    return created_once(slot, mutex, [] {
        return PyErr_NewExceptionWithDoc(
            "_quor_pp.PanicException",
            "Raised when the module stops on a broken internal invariant.\n\n"
            "Derives from BaseException: it signals a fault in the module, not in the input.",
            PyExc_BaseException, nullptr);
    });
}

}  // namespace quor::py
