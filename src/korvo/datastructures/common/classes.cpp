#include "classes.hpp"

#include "errors.hpp"

#include <vector>

namespace korvo {

namespace {

Ref type_dict(PyTypeObject* tp) {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyType_GetDict(tp));
#else
    return Ref::borrow(tp->tp_dict);
#endif
}

Ref most_derived_metaclass(PyObject* bases) {
    PyTypeObject* winner = &PyType_Type;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyTypeObject* t = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(winner, t)) continue;
        if (PyType_IsSubtype(t, winner)) {
            winner = t;
            continue;
        }
        return raise(PyExc_TypeError,
                     "metaclass conflict: the metaclass of a derived class must be a "
                     "(non-strict) subclass of the metaclasses of all its bases");
    }
    return Ref::borrow(reinterpret_cast<PyObject*>(winner));
}

// The anchor of super() for a class-level call: the class itself when `obj`
// is a subclass of the anchor, otherwise its type.
PyTypeObject* super_start(PyObject* anchor, PyObject* obj) {
    if (PyType_Check(obj) && PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(obj),
                                              reinterpret_cast<PyTypeObject*>(anchor)))
        return reinterpret_cast<PyTypeObject*>(obj);
    return Py_TYPE(obj);
}

}  // namespace

PyObject* lookup_after(PyTypeObject* start, PyObject* after, PyObject* name) {
    PyObject* mro = start->tp_mro;
    if (!mro) return nullptr;
    Py_ssize_t n = PyTuple_GET_SIZE(mro), i = 0;
    while (i < n && PyTuple_GET_ITEM(mro, i) != after) ++i;
    for (++i; i < n; ++i) {
        Ref dict = type_dict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i)));
        if (!dict) continue;
        PyObject* v = PyDict_GetItemWithError(dict, name);
        if (v || PyErr_Occurred()) return v;
    }
    return nullptr;
}

Ref make_class(PyObject* module, const char* name, std::initializer_list<PyObject*> bases,
               const char* doc, std::initializer_list<Member> members) {
    Ref base_tuple = tuple(bases);
    if (!base_tuple) return {};
    Ref meta = most_derived_metaclass(base_tuple);
    if (!meta) return {};
    Ref ns = Ref::steal(PyDict_New());
    Ref module_name = Ref::steal(PyObject_GetAttrString(module, "__name__"));
    Ref qualname = str(name);
    if (!ns || !module_name || !qualname) return {};
    if (PyDict_SetItemString(ns, "__module__", module_name) < 0 ||
        PyDict_SetItemString(ns, "__qualname__", qualname) < 0)
        return {};
    if (doc) {
        Ref d = str(doc);
        if (!d || PyDict_SetItemString(ns, "__doc__", d) < 0) return {};
    }
    std::vector<Ref> functions;
    for (const Member& m : members) {
        Ref v;
        if (m.kind == Member::Value) {
            if (!m.value) return {};
            v = m.value;
        } else {
            Ref q = Ref::steal(PyUnicode_FromFormat("%s.%s", name, m.name));
            if (!q) return {};
            Ref fn = make_function(module, PyUnicode_AsUTF8(q), m.impl, m.signature, m.doc);
            if (!fn) return {};
            functions.push_back(fn);
            if (m.kind == Member::ClassMethod) v = Ref::steal(PyClassMethod_New(fn));
            else if (m.kind == Member::StaticMethod) v = Ref::steal(PyStaticMethod_New(fn));
            else v = fn;
            if (!v) return {};
        }
        if (PyDict_SetItemString(ns, m.name, v) < 0) return {};
    }
    Ref name_obj = str(name);
    if (!name_obj) return {};
    Ref cls = call(meta, {name_obj.get(), base_tuple.get(), ns.get()});
    if (!cls) return {};
    for (const Ref& fn : functions) set_defining_class(fn, cls);
    return cls;
}

namespace {

// Finds `name` after `anchor` in the MRO of the start type of super(anchor, self).
Ref super_lookup(PyObject* anchor, PyObject* self, PyObject* name, PyTypeObject** start) {
    if (!name) return {};
    if (!anchor) return raise(PyExc_RuntimeError, "super(): __class__ cell not found");
    *start = super_start(anchor, self);
    if (!PyType_IsSubtype(*start, reinterpret_cast<PyTypeObject*>(anchor)))
        return raise(PyExc_TypeError,
                     "super(type, obj): obj must be an instance or subtype of type");
    Ref descr = Ref::borrow(lookup_after(*start, anchor, name));
    if (!descr && !PyErr_Occurred())
        raisef(PyExc_AttributeError, "'super' object has no attribute '%U'", name);
    return descr;
}

}  // namespace

Ref super_attr(PyObject* anchor, PyObject* self, PyObject* name) {
    PyTypeObject* start = nullptr;
    Ref descr = super_lookup(anchor, self, name, &start);
    if (!descr) return {};
    descrgetfunc get = Py_TYPE(descr.get())->tp_descr_get;
    if (!get) return descr;
    return Ref::steal(get(descr, self == reinterpret_cast<PyObject*>(start) ? nullptr : self,
                          reinterpret_cast<PyObject*>(start)));
}

Ref super_call(PyObject* anchor, PyObject* self, PyObject* name,
               std::initializer_list<PyObject*> args) {
    PyTypeObject* start = nullptr;
    Ref descr = super_lookup(anchor, self, name, &start);
    if (!descr) return {};
    return call_descriptor(descr, self, start, args);
}

Ref super_call_tuple(PyObject* anchor, PyObject* self, PyObject* name, PyObject* args,
                     PyObject* kwargs) {
    PyTypeObject* start = nullptr;
    Ref descr = super_lookup(anchor, self, name, &start);
    if (!descr) return {};
    return call_descriptor_tuple(descr, self, start, args, kwargs);
}

namespace {

Ref reduce_by_init(Function&, Args a) {
    PyObject* self = a[0];
    if (!PyDict_Check(self)) return raise(PyExc_TypeError, "a dict subclass instance is required");
    Ref items = Ref::steal(PyDict_Items(self));
    Ref it = items ? Ref::steal(PyObject_GetIter(items)) : Ref();
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!it || !no_args) return {};
    return tuple({reinterpret_cast<PyObject*>(Py_TYPE(self)), no_args.get(), Py_None, Py_None,
                  it.get()});
}

}  // namespace

int register_rebuild_by_init(PyObject* module, PyObject* cls) {
    Ref reducer = make_function(module, "_reduce_by_init", reduce_by_init, "(self)", nullptr);
    Ref copyreg = import("copyreg");
    Ref pickle = copyreg ? getattr(copyreg, Ref(str("pickle"))) : Ref();
    if (!reducer || !pickle || !call(pickle, {cls, reducer.get()})) return -1;
    return 0;
}

Ref Function::super_descriptor(PyObject* self, PyObject* name, PyTypeObject** start) {
    if (!name) return {};
    PyTypeObject* t = cls ? super_start(cls, self) : nullptr;
    if (t && PyType_HasFeature(t, Py_TPFLAGS_VALID_VERSION_TAG)) {
        for (const SuperCacheEntry& e : super_cache) {
            if (e.name == name && e.type == t && e.version == t->tp_version_tag) {
                *start = t;
                return Ref::borrow(e.descr);
            }
        }
    }
    Ref descr = super_lookup(cls, self, name, start);
    if (!descr) return {};
    // A lookup on the type itself gives it a version tag if it has none yet.
    if (!_PyType_Lookup(t, name) && PyErr_Occurred()) PyErr_Clear();
    if (PyType_HasFeature(t, Py_TPFLAGS_VALID_VERSION_TAG)) {
        SuperCacheEntry& e = super_cache[super_cache_next++ % 4];
        Py_XSETREF(e.descr, Py_NewRef(descr.get()));
        e.name = name;
        e.type = t;
        e.version = t->tp_version_tag;
    }
    return descr;
}

Ref Function::super_attr(PyObject* self, const char* attr) {
    PyTypeObject* start = nullptr;
    Ref descr = super_descriptor(self, s(attr), &start);
    if (!descr) return {};
    descrgetfunc get = Py_TYPE(descr.get())->tp_descr_get;
    if (!get) return descr;
    return Ref::steal(get(descr, self == reinterpret_cast<PyObject*>(start) ? nullptr : self,
                          reinterpret_cast<PyObject*>(start)));
}

Ref Function::super_call(PyObject* self, const char* attr, std::initializer_list<PyObject*> args) {
    PyTypeObject* start = nullptr;
    Ref descr = super_descriptor(self, s(attr), &start);
    if (!descr) return {};
    return call_descriptor(descr, self, start, args);
}

Ref Function::super_call_tuple(PyObject* self, const char* attr, PyObject* args,
                               PyObject* kwargs) {
    PyTypeObject* start = nullptr;
    Ref descr = super_descriptor(self, s(attr), &start);
    if (!descr) return {};
    if (PyTuple_GET_SIZE(args) == 0 && (!kwargs || PyDict_GET_SIZE(kwargs) == 0))
        return call_descriptor(descr, self, start, {});
    return call_descriptor_tuple(descr, self, start, args, kwargs);
}

}  // namespace korvo
