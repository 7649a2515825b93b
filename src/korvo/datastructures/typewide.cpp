// korvo.datastructures.typewide: read-only computed attributes of a class.
#include "common/korvo.hpp"

using namespace korvo;

namespace {

const char* const module_doc = "Class-level properties.";

const char* const TypewideDescriptor_doc =
    "Descriptor class that lets classes have their own \"properties\", which\n"
    "can be overwritten and inherited like any class attribute.\n"
    "\n"
    "It adds read-only properties at class level and is meant to be used as\n"
    "a decorator: the decorated function receives the class the attribute is\n"
    "read through (a subclass when read through one), whether it is read on\n"
    "the class or on an instance.\n"
    "\n"
    "    >>> class Sized:\n"
    "    ...     @typewide\n"
    "    ...     def capacity(cls):\n"
    "    ...         return 100\n"
    "    >>> Sized.capacity\n"
    "    100\n"
    "    >>> Sized().capacity\n"
    "    100";

Ref TypewideDescriptor_init(Function& f, Args a) {
    if (PyObject_SetAttr(a[0], f.s("func"), a[1]) < 0) return {};
    return none();
}

Ref TypewideDescriptor_get(Function& f, Args a) {
    PyObject *self = a[0], *owner = a[2];
    Ref func = getattr(self, f.s("func"));
    if (!func) return {};
    return call(func, {owner});
}

int exec_typewide(PyObject* m) {
    Ref cls = make_class(m, "TypewideDescriptor",
                         {reinterpret_cast<PyObject*>(&PyBaseObject_Type)}, TypewideDescriptor_doc,
                         {
                             method("__init__", TypewideDescriptor_init, "(self, func)"),
                             method("__get__", TypewideDescriptor_get, "(self, obj, owner)"),
                         });
    if (set_global(m, "TypewideDescriptor", cls) < 0) return -1;
    return set_global(m, "typewide", cls);
}

}  // namespace

KORVO_MODULE(typewide, module_doc, exec_typewide)
