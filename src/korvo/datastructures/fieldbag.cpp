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
    Dotted d = split_dotted(key);
    if (d.kind == Dotted::Plain) return f.super_call(self, "__getitem__", {key});
    if (d.kind == Dotted::Error) return {};
    RecursionGuard guard(" while reading a dotted key");
    if (!guard) return {};
    Ref value = f.super_call(self, "__getitem__", {d.head});
    if (!value) return {};
    return Ref::steal(PyObject_GetItem(value, d.rest));
}

Ref NestedFieldBag_setitem(Function& f, Args a) {
    PyObject *self = a[0], *key = a[1], *value = a[2];
    Dotted d = split_dotted(key);
    if (d.kind == Dotted::Plain) {
        if (!f.super_call(self, "__setitem__", {key, value})) return {};
        return none();
    }
    if (d.kind == Dotted::Error) return {};
    RecursionGuard guard(" while writing a dotted key");
    if (!guard) return {};
    Ref level = new_level(self);
    if (!level) return {};
    Ref subkey_value = call_class_method(self, f.s("setdefault"), {d.head, level});
    if (!subkey_value) return {};
    PyObject* own_type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    int is_level = PyObject_IsInstance(subkey_value, own_type);
    if (is_level < 0) return {};
    if (!is_level) {
        Ref type_name = Ref::steal(PyType_GetName(Py_TYPE(self)));
        Ref message = type_name ? Ref::steal(PyUnicode_FromFormat(
                                      "target key \"%U\" is a value, cannot update value "
                                      "against another %U",
                                      d.head.get(), type_name.get()))
                                : Ref();
        if (!message) return {};
        return raise_obj(PyExc_KeyError, message);
    }
    if (PyObject_SetItem(subkey_value, d.rest, value) < 0) return {};
    return none();
}

Ref NestedFieldBag_contains(Function& f, Args a) {
    PyObject *self = a[0], *key = a[1];
    Dotted d = split_dotted(key);
    if (d.kind == Dotted::Plain) return f.super_call(self, "__contains__", {key});
    if (d.kind == Dotted::Error) return {};
    RecursionGuard guard(" while testing a dotted key");
    if (!guard) return {};
    Ref has_head = f.super_call(self, "__contains__", {d.head});
    if (!has_head) return {};
    int present = truth(has_head);
    if (present <= 0) return present < 0 ? Ref() : has_head;
    Ref value = f.super_call(self, "__getitem__", {d.head});
    if (!value) return {};
    int found = PySequence_Contains(value, d.rest);
    if (found < 0) return {};
    return boolean(found);
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
