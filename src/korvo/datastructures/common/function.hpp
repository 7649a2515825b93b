// Native function objects that behave like Python functions.
//
// A Function is declared by a text signature written as in Python, for
// example "(self, key, default=None)" or "(cls, value, *, section, key)". The
// call path binds positional and keyword arguments to parameter slots in
// declaration order (a `*args` slot holds a tuple, a `**kwargs` slot a dict)
// and raises the interpreter's own TypeError messages for bad calls. Stored
// in a class, a Function binds on attribute access like a Python function.
#pragma once

#include "module.hpp"

#include <vector>

namespace korvo {

struct Function;

// The bound arguments, one slot per parameter in declaration order
// (borrowed references, valid for the duration of the call).
struct Args {
    PyObject* const* slots;
    PyObject* operator[](size_t i) const { return slots[i]; }
};

using Impl = Ref (*)(Function& fn, Args args);

struct Param {
    enum Kind { PositionalOnly, PositionalOrKeyword, VarPositional, KeywordOnly, VarKeyword };
    Ref name;
    Kind kind;
    Ref fallback;  // default value, null when required
};

struct Signature {
    static constexpr size_t max_params = 12;
    std::vector<Param> params;
    Ref text;                   // the signature text, for __text_signature__
    Py_ssize_t positional = 0;  // number of parameters that take positions
    Py_ssize_t positional_defaults = 0;
    Py_ssize_t var_positional = -1;
    Py_ssize_t var_keyword = -1;
};

// Remembers where super() found an attribute for one start type, valid while
// the type's version tag is unchanged (any change to it or its bases resets
// the tag).
struct SuperCacheEntry {
    PyObject* name;
    PyTypeObject* type;
    unsigned int version;
    PyObject* descr;  // owned
};

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    Impl impl;
    std::shared_ptr<const Signature>* sig;
    State* state;
    PyObject* name;
    PyObject* qualname;
    PyObject* module_name;  // __module__
    PyObject* doc;
    PyObject* dict;
    PyObject* weaklist;
    PyObject* module;   // the defining module object
    PyObject* globals;  // its namespace
    PyObject* cls;      // the defining class, for super(); null outside classes
    PyObject* closure;  // data captured by a closure; null otherwise
    SuperCacheEntry super_cache[4];
    unsigned int super_cache_next;

    // Interned string for a literal.
    PyObject* s(const char* text) { return state->intern(text); }
    // Module global (then builtin) looked up by name now: NameError if absent.
    Ref global(const char* name);
    // super().name bound to `self`, and super().name(*args).
    Ref super_attr(PyObject* self, const char* name);
    Ref super_call(PyObject* self, const char* name, std::initializer_list<PyObject*> args);
    Ref super_call_tuple(PyObject* self, const char* name, PyObject* args, PyObject* kwargs);
    // A closure defined inside this function: named `<locals>` of it.
    Ref closure_function(const char* name, Impl impl, const char* signature, PyObject* data);
    const Signature& signature() const { return **sig; }
    // The attribute `name` that super() finds for self, and its start type.
    Ref super_descriptor(PyObject* self, PyObject* name, PyTypeObject** start);
};

// Creates a function of `module` named `qualname` (its __name__ is the last
// dotted component). `cls` becomes the class seen by super().
Ref make_function(PyObject* module, const char* qualname, Impl impl, const char* signature,
                  const char* doc, PyObject* closure = nullptr);

// True when `obj` is a native function of this package.
bool is_function(PyObject* obj);
// `obj` as a native function, or null when it is something else.
inline Function* as_function(PyObject* obj) {
    return obj && is_function(obj) ? reinterpret_cast<Function*>(obj) : nullptr;
}
// True when `obj` is a native function whose body is `impl` (a method that
// may be skipped over because it is known to do what the caller does).
inline bool runs_impl(PyObject* obj, Impl impl) {
    Function* fn = as_function(obj);
    return fn && fn->impl == impl;
}
// Sets the defining class of a native function (the `__class__` cell).
void set_defining_class(PyObject* fn, PyObject* cls);
// Sets the data a native function reads as `closure` (held strongly).
void set_closure_data(PyObject* fn, PyObject* data);

// Calls the method `name` found on type(obj) (skipping the instance
// dictionary) with obj bound as its first argument.
Ref call_class_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args);
Ref call_class_method_tuple(PyObject* obj, PyObject* name, PyObject* args, PyObject* kwargs);

// Calls a descriptor found on a type as a method of obj: unbound fast path
// for function-like descriptors, the descriptor protocol otherwise.
Ref call_descriptor(PyObject* descr, PyObject* obj, PyTypeObject* owner,
                    std::initializer_list<PyObject*> args);
Ref call_descriptor_tuple(PyObject* descr, PyObject* obj, PyTypeObject* owner, PyObject* args,
                          PyObject* kwargs);

PyObject* create_function_type(PyObject* module);

}  // namespace korvo
