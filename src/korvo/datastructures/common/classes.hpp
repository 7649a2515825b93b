// Creating interpreter classes from native code.
//
// A class is declared as one table of members in definition order and
// created by calling its metaclass with (name, bases, namespace), exactly as
// a class statement does; native methods get the class as their super()
// anchor once it exists.
#pragma once

#include "function.hpp"

namespace korvo {

struct Member {
    enum Kind { Method, ClassMethod, StaticMethod, Value };
    const char* name;
    Kind kind;
    Impl impl = nullptr;
    const char* signature = nullptr;
    const char* doc = nullptr;
    Ref value;
};

inline Member method(const char* name, Impl impl, const char* signature,
                     const char* doc = nullptr) {
    return Member{name, Member::Method, impl, signature, doc, {}};
}
inline Member class_method(const char* name, Impl impl, const char* signature,
                           const char* doc = nullptr) {
    return Member{name, Member::ClassMethod, impl, signature, doc, {}};
}
inline Member static_method(const char* name, Impl impl, const char* signature,
                            const char* doc = nullptr) {
    return Member{name, Member::StaticMethod, impl, signature, doc, {}};
}
// A plain class attribute (null `value` propagates the error that made it).
inline Member value(const char* name, Ref v) {
    return Member{name, Member::Value, nullptr, nullptr, nullptr, std::move(v)};
}

// Creates the class `name` of `module` by calling the most derived metaclass
// of `bases` with an ordered namespace: __module__, __qualname__, __doc__ (if
// any), then the members in order.
Ref make_class(PyObject* module, const char* name, std::initializer_list<PyObject*> bases,
               const char* doc, std::initializer_list<Member> members);

// Looks `name` up along the MRO of `start` after `after`; borrowed, null when
// absent (no error set).
PyObject* lookup_after(PyTypeObject* start, PyObject* after, PyObject* name);

// super(anchor, self).name, and calls of it; the Function methods of the same
// names use the function's defining class as the anchor.
Ref super_attr(PyObject* anchor, PyObject* self, PyObject* name);
Ref super_call(PyObject* anchor, PyObject* self, PyObject* name,
               std::initializer_list<PyObject*> args);
Ref super_call_tuple(PyObject* anchor, PyObject* self, PyObject* name, PyObject* args,
                     PyObject* kwargs);

// Registers with copyreg (so for pickle and copy) that instances of exactly
// `cls`, a dict subclass, are rebuilt by calling `cls()` and then storing
// their items by item assignment. Unlike rebuilding through cls.__new__,
// this runs __init__, which is what sets up the instance.
int register_rebuild_by_init(PyObject* module, PyObject* cls);

}  // namespace korvo
