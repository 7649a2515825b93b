// korvo.datastructures.fieldbag: dictionaries whose entries are attributes,
// and their nested variant addressed by dotted keys.
#include "common/korvo.hpp"

using namespace korvo;

namespace {

const char* const module_doc =
    "Attribute-dictionary library.\n"
    "\n"
    "Extends the built-in dict so that entries can be reached as object\n"
    "attributes (obj.key) as well as in the native item form (obj['key']).";

const char* const FieldBag_doc =
    "A built-in dictionary whose contents can also be accessed as object attributes.\n"
    "\n"
    "    >>> bag = FieldBag({'host': 'localhost', 'port': 8080})\n"
    "    >>> bag['host']\n"
    "    'localhost'\n"
    "    >>> bag.port\n"
    "    8080\n"
    "\n"
    "Known limitation: attribute access follows the rules for identifiers, so\n"
    "keys containing characters such as dot, comma, brackets, hyphen, quotes\n"
    "or slashes can only be reached as items (bag['my-key']).";

const char* const FieldBag_init_doc =
    "Fill the dictionary, then bind it as its own attribute dictionary.\n"
    "\n"
    "Every object keeps its attributes in its __dict__, which need not be a\n"
    "plain dict but may be any dict subclass. Once the base initialiser has\n"
    "run the instance is already a complete dictionary, so it is assigned as\n"
    "its own __dict__ and entries become attributes. This binding is known to\n"
    "leak memory on interpreter versions older than 2.7.3 and 3.2.3.";

// ---------------------------------------------------------------------------
// Dotted keys

// A key split once at its first dot: head and rest. Keys that are not str,
// or hold no dot, are plain.
struct Dotted {
    enum { Plain, Split, Error } kind = Plain;
    Ref head, rest;
};

Dotted split_dotted(PyObject* key) {
    Dotted d;
    if (!PyUnicode_Check(key)) return d;
    Py_ssize_t len = PyUnicode_GET_LENGTH(key);
    Py_ssize_t dot = PyUnicode_FindChar(key, '.', 0, len, 1);
    if (dot == -1) return d;
    d.kind = Dotted::Error;
    if (dot < 0) return d;
    d.head = Ref::steal(PyUnicode_Substring(key, 0, dot));
    if (!d.head) return d;
    d.rest = Ref::steal(PyUnicode_Substring(key, dot + 1, len));
    if (d.rest) d.kind = Dotted::Split;
    return d;
}

Ref new_level(PyObject* self) {
    return call(reinterpret_cast<PyObject*>(Py_TYPE(self)), {});
}


// ---------------------------------------------------------------------------
// Short cuts for the common case. Each one only skips a dispatch whose
// outcome is known: what runs is what the generic path would run.

// True when `o` is the native function of this very module (the same
// defining class as `f`) that runs `impl`.
bool runs(Function& f, PyObject* o, Impl impl) {
    return runs_impl(o, impl) && as_function(o)->cls == f.cls;
}

// super().<name>(key) for `level`, done by dict's own slot when super()
// finds dict's method (the usual case), as that method would.
Ref level_get(Function& f, PyObject* level, PyObject* key) {
    PyObject* name = f.s("__getitem__");
    PyTypeObject* start = nullptr;
    Ref descr = f.super_descriptor(level, name, &start);
    if (!descr) return {};
    if (descr.get() == _PyType_Lookup(&PyDict_Type, name))
        return Ref::steal(PyDict_Type.tp_as_mapping->mp_subscript(level, key));
    return call_descriptor(descr, level, start, {key});
}

Ref level_contains(Function& f, PyObject* level, PyObject* key) {
    PyObject* name = f.s("__contains__");
    PyTypeObject* start = nullptr;
    Ref descr = f.super_descriptor(level, name, &start);
    if (!descr) return {};
    if (descr.get() == _PyType_Lookup(&PyDict_Type, name)) {
        int found = PyDict_Contains(level, key);
        return found < 0 ? Ref() : boolean(found);
    }
    return call_descriptor(descr, level, start, {key});
}

Ref level_set(Function& f, PyObject* level, PyObject* key, PyObject* value) {
    PyObject* name = f.s("__setitem__");
    PyTypeObject* start = nullptr;
    Ref descr = f.super_descriptor(level, name, &start);
    if (!descr) return {};
    if (descr.get() == _PyType_Lookup(&PyDict_Type, name)) {
        if (PyDict_Type.tp_as_mapping->mp_ass_subscript(level, key, value) < 0) return {};
        return none();
    }
    return call_descriptor(descr, level, start, {key, value});
}

// True when `obj[...]` (the special method `name`) would run `impl` again:
// the next level of a dotted key is then handled in the same loop.
bool same_level_method(Function& f, PyObject* obj, PyObject* name, Impl impl) {
    return runs(f, _PyType_Lookup(Py_TYPE(obj), name), impl);
}

Ref NestedFieldBag_init(Function& f, Args a);
Ref NestedFieldBag_setitem(Function& f, Args a);
Ref NestedFieldBag_getitem(Function& f, Args a);
Ref NestedFieldBag_update(Function& f, Args a);

// True when, for a level of type `tp`, `self.setdefault(head, type(self)())`
// with a present head amounts to reading the head: building the unused new
// level runs no code of anyone else's (metaclass call, __new__, __init__,
// update and attribute binding are this module's and dict's own), and
// setdefault is MutableMapping's reading through this __getitem__, with no
// __missing__.
bool quiet_levels(Function& f, PyTypeObject* tp) {
    if (Py_TYPE(tp)->tp_call != PyType_Type.tp_call || tp->tp_new != PyDict_Type.tp_new ||
        tp->tp_setattro != PyObject_GenericSetAttr)
        return false;
    if (!runs(f, _PyType_Lookup(tp, f.s("__init__")), NestedFieldBag_init) ||
        !runs(f, _PyType_Lookup(tp, f.s("update")), NestedFieldBag_update) ||
        !runs(f, _PyType_Lookup(tp, f.s("__getitem__")), NestedFieldBag_getitem) ||
        _PyType_Lookup(tp, f.s("__missing__")))
        return false;
    PyObject* mm = PyDict_GetItemWithError(f.globals, f.s("MutableMapping"));
    if (!mm || !PyType_Check(mm)) {
        PyErr_Clear();
        return false;
    }
    PyObject* setdefault = _PyType_Lookup(tp, f.s("setdefault"));
    if (!setdefault || setdefault != _PyType_Lookup(reinterpret_cast<PyTypeObject*>(mm),
                                                   f.s("setdefault")))
        return false;
    // NestedFieldBag.__init__ -> FieldBag.__init__ -> dict.__init__.
    PyObject* field_bag = PyDict_GetItemWithError(f.globals, f.s("FieldBag"));
    if (!field_bag) {
        PyErr_Clear();
        return false;
    }
    PyObject* next_init = lookup_after(tp, f.cls, f.s("__init__"));
    Function* next = as_function(next_init);
    if (!next || next->cls != field_bag)
        return false;
    PyObject* dict_init = lookup_after(tp, field_bag, f.s("__init__"));
    if (!dict_init || dict_init != _PyType_Lookup(&PyDict_Type, f.s("__init__"))) {
        PyErr_Clear();
        return false;
    }
    // And the head is read by dict's own __getitem__ (no mixin in between).
    PyObject* next_getitem = lookup_after(tp, f.cls, f.s("__getitem__"));
    if (!next_getitem || next_getitem != _PyType_Lookup(&PyDict_Type, f.s("__getitem__"))) {
        PyErr_Clear();
        return false;
    }
    return true;
}


// The parts of a dotted key (its text split at every dot), or a null Ref
// with no error for a plain key. Exact str keys are remembered, with
// their hashes cached in the parts, so reading the same key again neither
// splits it nor hashes new strings.
constexpr Py_ssize_t parts_memo_limit = 1024;

Ref dotted_parts(Function& f, PyObject* key) {
    if (!PyUnicode_Check(key)) return {};
    Py_ssize_t dot = PyUnicode_FindChar(key, '.', 0, PyUnicode_GET_LENGTH(key), 1);
    if (dot < 0) return {};
    const bool exact = PyUnicode_CheckExact(key);
    PyObject* memo = exact ? f.state->memo("dotted parts") : nullptr;
    if (exact) {
        if (!memo) return {};
        PyObject* known = PyDict_GetItemWithError(memo, key);
        if (known) return Ref::borrow(known);
        if (PyErr_Occurred()) return {};
    }
    Ref dot_text = str(".");
    Ref list = dot_text ? Ref::steal(PyUnicode_Split(key, dot_text, -1)) : Ref();
    if (!list) return {};
    Ref parts = Ref::steal(PyList_AsTuple(list));
    if (!parts) return {};
    if (exact) {
        // Parts are not interned: interned strings live for ever.
        if (PyDict_GET_SIZE(memo) >= parts_memo_limit) PyDict_Clear(memo);
        if (PyDict_SetItem(memo, key, parts) < 0) return {};
    }
    return parts;
}

// parts[from:] joined by dots: the rest of the key after its from-th dot.
Ref rest_of(PyObject* parts, Py_ssize_t from) {
    Ref tail = Ref::steal(PyTuple_GetSlice(parts, from, PyTuple_GET_SIZE(parts)));
    Ref dot_text = tail ? str(".") : Ref();
    return dot_text ? Ref::steal(PyUnicode_Join(dot_text, tail)) : Ref();
}

// ---------------------------------------------------------------------------
// FieldBag

Ref FieldBag_init(Function& f, Args a) {
    PyObject *self = a[0], *args = a[1], *kwargs = a[2];
    if (!f.super_call_tuple(self, "__init__", args, kwargs)) return {};
    if (PyObject_SetAttr(self, f.s("__dict__"), self) < 0) return {};
    return none();
}

Ref FieldBag_repr(Function& f, Args a) {
    PyObject* self = a[0];
    Ref cls = getattr(self, f.s("__class__"));
    Ref name = cls ? getattr(cls, f.s("__name__")) : Ref();
    Ref name_text = name ? Ref::steal(PyObject_Str(name)) : Ref();
    if (!name_text) return {};
    Ref anchor = f.global("FieldBag");
    if (!anchor) return {};
    Ref base = super_call(anchor, self, f.s("__repr__"), {});
    Ref base_text = base ? Ref::steal(PyObject_Str(base)) : Ref();
    if (!base_text) return {};
    return Ref::steal(PyUnicode_FromFormat("%U(%U)", name_text.get(), base_text.get()));
}

// ---------------------------------------------------------------------------
// NestedFieldBag

Ref NestedFieldBag_init(Function& f, Args a) {
    PyObject *self = a[0], *args = a[1], *kwargs = a[2];
    if (!f.super_call(self, "__init__", {})) return {};
    if (!call_class_method_tuple(self, f.s("update"), args, kwargs)) return {};
    return none();
}

Ref NestedFieldBag_getitem(Function& f, Args a) {
    PyObject *self = a[0], *key = a[1];
    Ref parts = dotted_parts(f, key);
    if (!parts) return PyErr_Occurred() ? Ref() : level_get(f, self, key);
    const Py_ssize_t n = PyTuple_GET_SIZE(parts.get());
    PyObject* getitem = f.s("__getitem__");
    // A type whose instances are levels that run this __getitem__ over
    // dict's own: checked once per call.
    // (held: user code such as __missing__ may run while it is in use)
    Ref plain;
    if (same_level_method(f, self, getitem, NestedFieldBag_getitem)) {
        PyTypeObject* start = nullptr;
        Ref descr = f.super_descriptor(self, getitem, &start);
        if (!descr) return {};
        if (descr.get() == _PyType_Lookup(&PyDict_Type, getitem))
            plain = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    }
    Ref level = Ref::borrow(self);
    for (Py_ssize_t i = 0;; ++i) {
        PyObject* part = PyTuple_GET_ITEM(parts.get(), i);
        Ref value = reinterpret_cast<PyObject*>(Py_TYPE(level.get())) == plain.get()
                        ? Ref::steal(PyDict_Type.tp_as_mapping->mp_subscript(level, part))
                        : level_get(f, level, part);
        if (!value || i == n - 1) return value;
        PyTypeObject* tp = Py_TYPE(value.get());
        if (reinterpret_cast<PyObject*>(tp) != plain.get()) {
            if (!same_level_method(f, value, getitem, NestedFieldBag_getitem)) {
                Ref rest = rest_of(parts, i + 1);
                if (!rest) return {};
                RecursionGuard guard(" while reading a dotted key");
                if (!guard) return {};
                return Ref::steal(PyObject_GetItem(value, rest));
            }
            PyTypeObject* start = nullptr;
            Ref descr = f.super_descriptor(value, getitem, &start);
            if (!descr) return {};
            if (descr.get() == _PyType_Lookup(&PyDict_Type, getitem))
                plain = Ref::borrow(reinterpret_cast<PyObject*>(tp));
        }
        level = std::move(value);
    }
}

Ref not_a_level(PyObject* level, PyObject* head) {
    Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(level)));
    Ref message = type_name ? Ref::steal(PyUnicode_FromFormat(
                                  "target key \"%U\" is a value, cannot update value "
                                  "against another %U",
                                  head, type_name.get()))
                            : Ref();
    if (!message) return {};
    return raise_obj(PyExc_KeyError, message);
}

Ref NestedFieldBag_setitem(Function& f, Args a) {
    PyObject *self = a[0], *key = a[1], *value = a[2];
    Ref parts = dotted_parts(f, key);
    if (!parts) return PyErr_Occurred() ? Ref() : level_set(f, self, key, value);
    const Py_ssize_t n = PyTuple_GET_SIZE(parts.get());
    PyObject* setitem = f.s("__setitem__");
    Ref quiet;  // a type checked by quiet_levels (held across user code)
    Ref level = Ref::borrow(self);
    for (Py_ssize_t i = 0;; ++i) {
        PyObject* head = PyTuple_GET_ITEM(parts.get(), i);
        if (i == n - 1) return level_set(f, level, head, value);
        PyTypeObject* tp = Py_TYPE(level.get());
        PyObject* tp_obj = reinterpret_cast<PyObject*>(tp);
        if (tp_obj != quiet.get() && quiet_levels(f, tp)) quiet = Ref::borrow(tp_obj);
        // self.setdefault(head, type(self)()), read directly when that
        // makes no difference.
        Ref subkey_value;
        if (tp_obj == quiet.get()) {
            subkey_value = Ref::borrow(PyDict_GetItemWithError(level, head));
            if (!subkey_value && PyErr_Occurred()) return {};
        }
        if (!subkey_value) {
            Ref fresh = new_level(level);
            if (!fresh) return {};
            subkey_value = call_class_method(level, f.s("setdefault"), {head, fresh});
            if (!subkey_value) return {};
        }
        int is_level = PyObject_IsInstance(subkey_value, reinterpret_cast<PyObject*>(tp));
        if (is_level < 0) return {};
        if (!is_level) return not_a_level(level, head);
        if (!same_level_method(f, subkey_value, setitem, NestedFieldBag_setitem)) {
            Ref rest = rest_of(parts, i + 1);
            if (!rest) return {};
            RecursionGuard guard(" while writing a dotted key");
            if (!guard) return {};
            if (PyObject_SetItem(subkey_value, rest, value) < 0) return {};
            return none();
        }
        level = std::move(subkey_value);
    }
}

Ref NestedFieldBag_contains(Function& f, Args a) {
    PyObject *self = a[0], *key = a[1];
    Ref parts = dotted_parts(f, key);
    if (!parts) return PyErr_Occurred() ? Ref() : level_contains(f, self, key);
    const Py_ssize_t n = PyTuple_GET_SIZE(parts.get());
    PyObject* contains = f.s("__contains__");
    Ref level = Ref::borrow(self);
    for (Py_ssize_t i = 0;; ++i) {
        PyObject* head = PyTuple_GET_ITEM(parts.get(), i);
        Ref has_head = level_contains(f, level, head);
        if (!has_head) return {};
        int present = truth(has_head);
        if (present < 0) return {};
        // The top level answers with its own result; deeper ones answered
        // through the `in` operator, as a bool.
        if (i == 0 && !present) return has_head;
        if (!present || i == n - 1) return boolean(present);
        Ref value = level_get(f, level, head);
        if (!value) return {};
        if (!same_level_method(f, value, contains, NestedFieldBag_contains)) {
            Ref rest = rest_of(parts, i + 1);
            if (!rest) return {};
            RecursionGuard guard(" while testing a dotted key");
            if (!guard) return {};
            int found = PySequence_Contains(value, rest);
            return found < 0 ? Ref() : boolean(found);
        }
        level = std::move(value);
    }
}

Ref NestedFieldBag_delitem(Function& f, Args a) {
    PyObject *self = a[0], *key = a[1];
    Dotted d = split_dotted(key);
    if (d.kind == Dotted::Plain) {
        if (!f.super_call(self, "__delitem__", {key})) return {};
        return none();
    }
    if (d.kind == Dotted::Error) return {};
    RecursionGuard guard(" while deleting a dotted key");
    if (!guard) return {};
    Ref value = f.super_call(self, "__getitem__", {d.head});
    if (!value) return {};
    if (PyObject_DelItem(value, d.rest) < 0) return {};
    return none();
}

// Raises the TypeError for an update element that is not a pair. The number
// is what the iterable's own `index` method says; iterables without one
// (generators, sets, mapping views) report the position counted while
// iterating.
Ref bad_update_element(Function& f, PyObject* iterable, PyObject* item, Py_ssize_t position) {
    Ref number;
    Ref index = Ref::steal(PyObject_GetAttr(iterable, f.s("index")));
    if (index) {
        number = call(index, {item});
    } else if (error_matches(PyExc_AttributeError)) {
        PyErr_Clear();
        number = Ref::steal(PyLong_FromSsize_t(position));
    }
    if (!number) return {};
    return raisef(PyExc_TypeError,
                  "cannot convert dictionary update sequence element #%S to a sequence",
                  number.get());
}

// Every new level runs an update with nothing to merge. Walking the empty
// chain does nothing anyone can see as long as the module's `Mapping` and
// `itertools` (with its `chain`) are still the standard objects captured at
// import in the function's closure data; once any of them is rebound, the
// full walk runs so that the replacement is used.
bool empty_merge_is_silent(Function& f) {
    PyObject* standard = f.closure;  // (Mapping, itertools, itertools.chain)
    if (!standard) return false;
    PyObject* mapping = PyDict_GetItemWithError(f.globals, f.s("Mapping"));
    PyObject* itertools = mapping ? PyDict_GetItemWithError(f.globals, f.s("itertools")) : nullptr;
    if (mapping != PyTuple_GET_ITEM(standard, 0) || itertools != PyTuple_GET_ITEM(standard, 1)) {
        PyErr_Clear();
        return false;
    }
    // The standard module: its attribute is its namespace entry.
    PyObject* chain = PyDict_GetItemWithError(PyModule_GetDict(itertools), f.s("chain"));
    if (!chain) PyErr_Clear();
    return chain == PyTuple_GET_ITEM(standard, 2);
}

Ref NestedFieldBag_update(Function& f, Args a) {
    PyObject *self = a[0], *args = a[1], *kwargs = a[2];
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > 1) return raisef(PyExc_TypeError, "expected at most 1 arguments, got %zd", nargs);
    if (nargs == 0 && PyDict_GET_SIZE(kwargs) == 0 && empty_merge_is_silent(f)) return none();
    RecursionGuard guard(" while merging nested mappings");
    if (!guard) return {};

    Ref mapping_abc = f.global("Mapping");
    if (!mapping_abc) return {};
    Ref iterable = nargs ? Ref::borrow(PyTuple_GET_ITEM(args, 0)) : Ref::steal(PyTuple_New(0));
    if (!iterable) return {};
    int is_mapping = PyObject_IsInstance(iterable, mapping_abc);
    if (is_mapping < 0) return {};
    if (is_mapping) {
        iterable = call_method(iterable, f.s("items"), {});
        if (!iterable) return {};
    }
    Ref itertools = f.global("itertools");
    Ref chain = itertools ? getattr(itertools, f.s("chain")) : Ref();
    Ref keywords = chain ? call_method(kwargs, f.s("items"), {}) : Ref();
    Ref chained = keywords ? call(chain, {iterable.get(), keywords.get()}) : Ref();
    Ref it = chained ? Ref::steal(PyObject_GetIter(chained)) : Ref();
    if (!it) return {};

    for (Py_ssize_t position = 0;; ++position) {
        Ref item = Ref::steal(PyIter_Next(it));
        if (!item) break;
        Py_ssize_t len = PyObject_Size(item);
        if (len < 0) return {};
        if (len != 2) return bad_update_element(f, iterable, item, position);
        Ref key, value;
        if (!unpack_pair(item, key, value)) return {};
        is_mapping = PyObject_IsInstance(value, mapping_abc);
        if (is_mapping < 0) return {};
        if (is_mapping) {
            Ref level = new_level(self);
            if (!level) return {};
            Ref target = call_class_method(self, f.s("setdefault"), {key, level});
            if (!target) return {};
            // A level of this bag merges through its class's update (an entry
            // named "update" must not shadow it); any other value uses its own.
            Ref merged = PyObject_TypeCheck(target, Py_TYPE(self))
                             ? call_class_method(target, f.s("update"), {value})
                             : call_method(target, f.s("update"), {value});
            if (!merged) return {};
        } else if (PyObject_SetItem(self, key, value) < 0) {
            return {};
        }
    }
    if (PyErr_Occurred()) return {};
    return none();
}

// ---------------------------------------------------------------------------
// Module

int exec_fieldbag(PyObject* m) {
    if (set_global(m, "itertools", import("itertools")) < 0) return -1;
    Ref abc = import("collections.abc");
    if (!abc) return -1;
    Ref mapping_abc = getattr(abc, Ref(str("Mapping")));
    if (set_global(m, "Mapping", mapping_abc) < 0) return -1;
    Ref mutable_mapping = getattr(abc, Ref(str("MutableMapping")));
    if (set_global(m, "MutableMapping", mutable_mapping) < 0) return -1;

    Ref field_bag = make_class(
        m, "FieldBag", {reinterpret_cast<PyObject*>(&PyDict_Type)}, FieldBag_doc,
        {
            method("__init__", FieldBag_init, "(self, /, *args, **kwargs)", FieldBag_init_doc),
            method("__repr__", FieldBag_repr, "(self)"),
        });
    if (set_global(m, "FieldBag", field_bag) < 0) return -1;
    if (register_rebuild_by_init(m, field_bag) < 0) return -1;

    auto mapping_method = [&](const char* name) { return getattr(mutable_mapping, Ref(str(name))); };
    Ref nested = make_class(
        m, "NestedFieldBag", {field_bag.get(), mutable_mapping.get()}, nullptr,
        {
            method("__init__", NestedFieldBag_init, "(self, /, *args, **kwargs)"),
            method("__getitem__", NestedFieldBag_getitem, "(self, key)"),
            method("__setitem__", NestedFieldBag_setitem, "(self, key, value)"),
            method("__contains__", NestedFieldBag_contains, "(self, key)"),
            method("__delitem__", NestedFieldBag_delitem, "(self, key)"),
            value("get", mapping_method("get")),
            value("pop", mapping_method("pop")),
            value("setdefault", mapping_method("setdefault")),
            method("update", NestedFieldBag_update, "(self, /, *args, **kwargs)"),
        });
    if (set_global(m, "NestedFieldBag", nested) < 0) return -1;

    // The standard objects an empty update may take for granted.
    Ref itertools = Ref::steal(PyObject_GetAttrString(m, "itertools"));
    Ref chain = itertools ? getattr(itertools, Ref(str("chain"))) : Ref();
    Ref standard = chain ? tuple({mapping_abc.get(), itertools.get(), chain.get()}) : Ref();
    Ref update = standard ? getattr(nested, Ref(str("update"))) : Ref();
    if (!update) return -1;
    if (is_function(update)) set_closure_data(update, standard);
    return register_rebuild_by_init(m, nested);
}

}  // namespace

KORVO_MODULE(fieldbag, module_doc, exec_fieldbag)
