// Objects created once per process. Making one can run arbitrary Python code (an
// import, an audit hook, a finalizer run by the garbage collector), which may call
// back into this module on the same thread or race with another thread; so no lock
// is held while making it. The object is made outside and then published with one
// compare-and-swap: the first published object wins and is kept for the life of the
// process, and a thread that lost the race releases its own and takes the winner.
#include "lib/process_objects.h"

#include <atomic>

namespace quor::py {
namespace {

template <class Make>
PyObject* created_once(std::atomic<PyObject*>& slot, Make make) {
    PyObject* published = slot.load(std::memory_order_acquire);
    if (published != nullptr) return published;
    PyObject* const made = make();
    if (made == nullptr) return nullptr;  // the slot stays empty, so a later call retries
    if (slot.compare_exchange_strong(published, made, std::memory_order_acq_rel,
                                     std::memory_order_acquire))
        return made;
    Py_DECREF(made);  // another call published first: its object is the one kept
    return published;
}

PyObject* interned(std::atomic<PyObject*>& slot, const char* text) {
    return created_once(slot, [text] { return PyUnicode_InternFromString(text); });
}

}  // namespace

PyObject* name_all() {
    static std::atomic<PyObject*> slot;
    return interned(slot, "__all__");
}

PyObject* name_name() {
    static std::atomic<PyObject*> slot;
    return interned(slot, "__name__");
}

PyObject* name_add_note() {
    static std::atomic<PyObject*> slot;
    return interned(slot, "add_note");
}

PyObject* sequence_type() {
    static std::atomic<PyObject*> slot;
    return created_once(slot, []() -> PyObject* {
        ref module(PyImport_ImportModule("collections.abc"));
        if (!module) return nullptr;
        return PyObject_GetAttrString(module.get(), "Sequence");
    });
}

PyObject* panic_exception_type() {
    static std::atomic<PyObject*> slot;
    return created_once(slot, [] {
        return PyErr_NewExceptionWithDoc(
            "_quor_pp.PanicException",
            "Raised when the module stops on a broken internal invariant.\n\n"
            "Derives from BaseException: it signals a fault in the module, not in the input.",
            PyExc_BaseException, nullptr);
    });
}

}  // namespace quor::py
