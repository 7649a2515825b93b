#include "errors.hpp"

#include <cstdarg>
#include <cstdint>

#include <pthread.h>

namespace korvo {

bool stack_nearly_exhausted() {
    // Room kept for the interpreter code that runs between two native levels
    // (special methods, error reporting): a quarter of the stack, at most 1 MiB.
    // initial-exec: a plain offset from the thread pointer, no lookup call per use.
    static thread_local uintptr_t limit __attribute__((tls_model("initial-exec"))) = 0;
    if (!limit) {
        pthread_attr_t attr;
        void* addr = nullptr;
        size_t size = 0;
        if (pthread_getattr_np(pthread_self(), &attr) == 0) {
            pthread_attr_getstack(&attr, &addr, &size);
            pthread_attr_destroy(&attr);
        }
        size_t margin = size / 4 < 1024 * 1024 ? size / 4 : 1024 * 1024;
        limit = addr ? reinterpret_cast<uintptr_t>(addr) + margin : 1;
    }
    uintptr_t here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    return limit > 1 && here < limit;
}

Ref fetch_error() {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    if (!type) return {};
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return Ref::steal(value);
#endif
}

void restore_error(Ref exc) {
    if (!exc) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc.release());
#else
    PyObject* value = exc.release();
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value)));
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

Ref raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    return {};
}

Ref raise_obj(PyObject* type, PyObject* arg) {
    // Through a one-tuple so that a tuple argument is not unpacked.
    Ref exc = call(type, {arg});
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc);
    return {};
}

Ref raisef(PyObject* type, const char* format, ...) {
    va_list va;
    va_start(va, format);
    PyErr_FormatV(type, format, va);
    va_end(va);
    return {};
}

Ref raise_chained(PyObject* type, PyObject* arg) {
    Ref caught = fetch_error();
    Ref exc = call(type, {arg});
    if (!exc) return {};
    if (caught) PyException_SetContext(exc, caught.release());
    restore_error(std::move(exc));
    return {};
}

HandlingScope::HandlingScope(PyObject* exc) : previous_(Ref::steal(PyErr_GetHandledException())) {
    PyErr_SetHandledException(exc);
}

HandlingScope::~HandlingScope() { PyErr_SetHandledException(previous_.get()); }

}  // namespace korvo
