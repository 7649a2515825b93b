// Owning reference to a Python object, and small call helpers built on it.
//
// Module code never touches reference counts by hand: every new reference is
// wrapped in a Ref the moment it is produced, and a null Ref means "an
// exception is set".
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>
#include <utility>

namespace korvo {

class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    ~Ref() { Py_XDECREF(p_); }

    // Takes ownership of a new reference (may be null: error).
    static Ref steal(PyObject* p) noexcept { Ref r; r.p_ = p; return r; }
    // Takes a new reference to a borrowed object.
    static Ref borrow(PyObject* p) noexcept { Py_XINCREF(p); return steal(p); }

    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref& operator=(const Ref& o) noexcept {
        Ref tmp(o);
        std::swap(p_, tmp.p_);
        return *this;
    }
    Ref& operator=(Ref&& o) noexcept {
        Ref tmp(std::move(o));
        std::swap(p_, tmp.p_);
        return *this;
    }

    PyObject* get() const noexcept { return p_; }
    operator PyObject*() const noexcept { return p_; }
    PyObject* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller (for returning to the interpreter).
    PyObject* release() noexcept { PyObject* p = p_; p_ = nullptr; return p; }
    void reset() noexcept { Ref tmp(std::move(*this)); }

private:
    PyObject* p_ = nullptr;
};

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool v) { return Ref::borrow(v ? Py_True : Py_False); }

// Calls `callable` with the given positional arguments.
inline Ref call(PyObject* callable, std::initializer_list<PyObject*> args) {
    return Ref::steal(PyObject_Vectorcall(
        callable, const_cast<PyObject* const*>(args.begin()), args.size(), nullptr));
}

// Calls `callable(*args, **kwargs)`; `kwargs` may be null.
inline Ref call_tuple(PyObject* callable, PyObject* args, PyObject* kwargs) {
    return Ref::steal(PyObject_Call(callable, args, kwargs));
}

// Calls `obj.name(*args)` with the usual attribute lookup on the instance.
inline Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args) {
    PyObject* stack[8];
    stack[0] = obj;
    size_t n = 1;
    for (PyObject* a : args) stack[n++] = a;
    return Ref::steal(PyObject_VectorcallMethod(
        name, stack, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

inline Ref getattr(PyObject* obj, PyObject* name) {
    return Ref::steal(PyObject_GetAttr(obj, name));
}

inline Ref import(const char* name) { return Ref::steal(PyImport_ImportModule(name)); }

inline Ref str(const char* text) { return Ref::steal(PyUnicode_FromString(text)); }

// Builds a tuple from borrowed items.
inline Ref tuple(std::initializer_list<PyObject*> items) {
    Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!t) return t;
    Py_ssize_t i = 0;
    for (PyObject* it : items) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(it));
    return t;
}

// Truth test; -1 on error.
inline int truth(PyObject* o) { return PyObject_IsTrue(o); }

// True when less than a safety margin of the current thread's C stack is
// left. Interpreter versions differ in how much native recursion they allow
// (and some follow sys.setrecursionlimit), so native recursion checks the
// real stack as well.
bool stack_nearly_exhausted();

// Guards one level of native recursion: RecursionError when the interpreter's
// recursion limit is reached or the C stack runs low.
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where = "") {
        if (stack_nearly_exhausted()) {
            PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
            return;
        }
        ok_ = Py_EnterRecursiveCall(where) == 0;
    }
    ~RecursionGuard() { if (ok_) Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    explicit operator bool() const { return ok_; }

private:
    bool ok_ = false;
};

}  // namespace korvo
