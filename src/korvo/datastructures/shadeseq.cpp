// korvo.datastructures.shadeseq: a list that refers to its items weakly and
// forgets them as they are finalised.
//
// Weak-reference callbacks run wherever the interpreter releases an object,
// so any call into Python below may remove entries from `data` under our
// feet. Two rules keep that harmless: every item whose reference is not yet
// in `data` is held strongly until it is (otherwise its callback would find
// nothing to remove and leave a dead entry), and nothing is read from `data`
// by position across a call into Python without reading it again.
#include "common/korvo.hpp"

#include <memory>
#include <utility>
#include <vector>

using namespace korvo;

namespace {

const char* const module_doc =
    "Weak-reference list.\n"
    "\n"
    "ShadeSeq is a list that refers to its items weakly: it hands out the\n"
    "items themselves and forgets each one the moment it is finalised.";

const char* const ShadeSeq_doc =
    "A list whose stored items are weak references to the caller's objects.\n"
    "\n"
    "When an object is finalised, its reference is removed from the list\n"
    "automatically. All reads return the actual objects, and all writes take\n"
    "actual objects and store weak references to them: the weak-reference\n"
    "handling is meant to be invisible. Only objects that support weak\n"
    "references can be stored or looked up.\n"
    "\n"
    "pop(item) takes a position, as s[item] does (any object with __index__,\n"
    "negative values counting from the end), removes that entry and returns\n"
    "its object; a position out of range raises IndexError, and a failing\n"
    "pop leaves the list unchanged.\n"
    "\n"
    "Note: because all stored items are weak references, mind the lifetime\n"
    "of the objects and garbage collection: an object that nothing else\n"
    "refers to leaves the list at once.";

// ---------------------------------------------------------------------------
// References

// The object a weak reference points to, or None once it is gone. Runs no
// Python code, unlike calling the reference (a subclass may define __call__).
Ref referent(PyObject* ref) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* obj = nullptr;
    if (PyWeakref_GetRef(ref, &obj) < 0) return {};
    return obj ? Ref::steal(obj) : none();
#else
    return Ref::borrow(PyWeakref_GET_OBJECT(ref));
#endif
}

// weakref.ref(item, self.remove), both looked up now.
Ref stored_ref(Function& f, PyObject* self, PyObject* item) {
    Ref weakref = f.global("weakref");
    Ref make = weakref ? getattr(weakref, f.s("ref")) : Ref();
    Ref remove = make ? getattr(self, f.s("remove")) : Ref();
    if (!remove) return {};
    return call(make, {item, remove});
}

// weakref.ref(item): a reference used only to look the item up.
Ref query_ref(Function& f, PyObject* item) {
    Ref weakref = f.global("weakref");
    Ref make = weakref ? getattr(weakref, f.s("ref")) : Ref();
    if (!make) return {};
    return call(make, {item});
}

// True for a reference taken from the `data` of some ShadeSeq: its callback
// is a method bound to a ShadeSeq. Such a reference is only alive while its
// referent is (a finalised referent clears the callback).
int is_stored_ref(Function& f, PyObject* obj) {
    if (!PyWeakref_CheckRef(obj)) return 0;
    Ref callback = getattr(obj, f.s("__callback__"));
    if (!callback) return -1;
    if (!PyMethod_Check(callback.get())) return 0;
    Ref cls = f.global("ShadeSeq");
    if (!cls) return -1;
    return PyObject_IsInstance(PyMethod_GET_SELF(callback.get()), cls);
}

// New stored references for every element of an iterable, in order.
//
// The elements stay alive until the Batch goes, so an element that nothing
// else holds (a temporary made by a generator) cannot die before its
// reference is in `data`; once it is, its callback removes it normally. The
// list of references is dropped first: references that never reached `data`
// then go without calling back.
class Batch {
public:
    Batch() = default;
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;
    ~Batch() {
        refs_.reset();
        std::vector<Ref> keep;
        keep.swap(keep_);
    }

    // `unwrap`: an element that is itself a stored reference stands for its
    // referent (what the inherited repetition and reflected concatenation
    // hand the constructor).
    bool fill(Function& f, PyObject* self, PyObject* items, bool unwrap) {
        Ref it = Ref::steal(PyObject_GetIter(items));
        if (!it) return false;
        refs_ = Ref::steal(PyList_New(0));
        if (!refs_) return false;
        for (;;) {
            Ref element = Ref::steal(PyIter_Next(it));
            if (!element) break;
            if (unwrap) {
                int stored = is_stored_ref(f, element);
                if (stored < 0) return false;
                if (stored) {
                    element = call(element, {});
                    if (!element) return false;
                }
            }
            keep_.push_back(element);
            Ref ref = stored_ref(f, self, element);
            if (!ref || PyList_Append(refs_, ref) < 0) return false;
        }
        return !PyErr_Occurred();
    }

    PyObject* list() const { return refs_.get(); }

private:
    std::vector<Ref> keep_;
    Ref refs_;
};

// Strong references to the referents of everything in `data`, so that no
// item can be finalised while `data` is being worked on as a whole.
bool hold_items(Function& f, PyObject* self, std::vector<Ref>& held) {
    Ref data = getattr(self, f.s("data"));
    if (!data) return false;
    if (!PyList_Check(data.get())) return true;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(data.get()); ++i) {
        PyObject* entry = PyList_GET_ITEM(data.get(), i);
        if (!PyWeakref_CheckRef(entry)) continue;
        Ref obj = referent(entry);
        if (!obj) return false;
        held.push_back(std::move(obj));
    }
    return true;
}

// ---------------------------------------------------------------------------
// Generators

// Body of __iter__: walks `data` as the list iterator does (the length is
// read again before each step) and yields what each reference points to.
class IterBody : public GeneratorBody {
public:
    IterBody(PyObject* self, PyObject* data_name)
        : self_(Ref::borrow(self)), data_name_(Ref::borrow(data_name)) {}

    Ref next() override {
        if (!it_) {
            Ref data = getattr(self_, data_name_);
            if (!data) return {};
            it_ = Ref::steal(PyObject_GetIter(data));
            if (!it_) return {};
        }
        Ref ref = Ref::steal(PyIter_Next(it_));
        if (!ref) return {};
        return call(ref, {});
    }

    int traverse(visitproc visit, void* arg) override {
        Py_VISIT(self_.get());
        Py_VISIT(it_.get());
        return 0;
    }

private:
    Ref self_;
    Ref data_name_;
    Ref it_;
};

// Yields objects read beforehand, letting go of each as it is handed out.
class ItemsBody : public GeneratorBody {
public:
    explicit ItemsBody(std::vector<Ref> items) : items_(std::move(items)) {}

    Ref next() override {
        if (pos_ >= items_.size()) return {};
        return std::move(items_[pos_++]);
    }

    int traverse(visitproc visit, void* arg) override {
        for (size_t i = pos_; i < items_.size(); ++i) Py_VISIT(items_[i].get());
        return 0;
    }

private:
    std::vector<Ref> items_;
    size_t pos_ = 0;
};

Ref unused_impl(Function&, Args) { return none(); }

// ---------------------------------------------------------------------------
// Construction, removal and reads

Ref ShadeSeq_init(Function& f, Args a) {
    PyObject *self = a[0], *items = a[1];
    Batch batch;
    if (!batch.fill(f, self, items, true)) return {};
    if (!f.super_call(self, "__init__", {batch.list()})) return {};
    return none();
}

Ref ShadeSeq_contains(Function& f, Args a) {
    PyObject *self = a[0], *item = a[1];
    Ref query = query_ref(f, item);
    if (!query) return {};
    return f.super_call(self, "__contains__", {query});
}

Ref ShadeSeq_getitem(Function& f, Args a) {
    PyObject *self = a[0], *index = a[1];
    if (!PySlice_Check(index)) {
        Ref ref = f.super_call(self, "__getitem__", {index});
        if (!ref) return {};
        return call(ref, {});
    }
    Ref data = getattr(self, f.s("data"));
    Ref selected = data ? Ref::steal(PyObject_GetItem(data, index)) : Ref();
    Ref it = selected ? Ref::steal(PyObject_GetIter(selected)) : Ref();
    if (!it) return {};
    // Read every referent at once, before anything can release an item, so
    // the slice holds exactly what was stored when it was taken.
    std::vector<Ref> items;
    for (;;) {
        Ref ref = Ref::steal(PyIter_Next(it));
        if (!ref) break;
        Ref obj = PyWeakref_CheckRefExact(ref.get()) ? referent(ref) : call(ref, {});
        if (!obj) return {};
        items.push_back(std::move(obj));
    }
    if (PyErr_Occurred()) return {};
    it.reset();
    selected.reset();
    Ref genexpr = f.closure_function("<genexpr>", unused_impl, "(items)", nullptr);
    if (!genexpr) return {};
    Ref gen = make_generator(*as_function(genexpr),
                             std::make_unique<ItemsBody>(std::move(items)));
    Ref cls = gen ? getattr(self, f.s("__class__")) : Ref();
    if (!cls) return {};
    return call(cls, {gen});
}

Ref ShadeSeq_iter(Function& f, Args a) {
    return make_generator(f, std::make_unique<IterBody>(a[0], f.s("data")));
}

Ref ShadeSeq_eq(Function&, Args a) {
    PyObject *self = a[0], *other = a[1];
    RecursionGuard guard(" in comparison");
    if (!guard) return {};
    Ref items = Ref::steal(PySequence_List(self));
    if (!items) return {};
    return Ref::steal(PyObject_RichCompare(items, other, Py_EQ));
}

Ref ShadeSeq_reversed(Function&, Args a) {
    Ref step = Ref::steal(PyLong_FromLong(-1));
    Ref backwards = step ? Ref::steal(PySlice_New(nullptr, nullptr, step)) : Ref();
    if (!backwards) return {};
    return Ref::steal(PyObject_GetItem(a[0], backwards));
}

// Dropping every further copy of a dead reference, which only repetition
// (`s *= n`) stores: its callback runs once, however many entries it has.
bool drop_repeats(Function& f, PyObject* self, PyObject* ref) {
    for (;;) {
        Ref data = getattr(self, f.s("data"));
        if (!data) return false;
        if (!PyList_Check(data.get())) return true;
        bool found = false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(data.get()) && !found; ++i)
            found = PyList_GET_ITEM(data.get(), i) == ref;
        if (!found) return true;
        if (!f.super_call(self, "remove", {ref})) return false;
    }
}

Ref ShadeSeq_remove(Function& f, Args a) {
    PyObject *self = a[0], *item = a[1];
    Ref weakref = f.global("weakref");
    Ref reftype = weakref ? getattr(weakref, f.s("ReferenceType")) : Ref();
    if (!reftype) return {};
    int is_ref = PyObject_IsInstance(item, reftype);
    if (is_ref < 0) return {};
    if (!is_ref) {
        Ref query = query_ref(f, item);
        if (!query || !f.super_call(self, "remove", {query})) return {};
        return none();
    }
    Ref obj = PyWeakref_CheckRef(item) ? referent(item) : Ref::borrow(item);
    if (!obj) return {};
    bool dead = obj.get() == Py_None;
    obj.reset();
    if (!f.super_call(self, "remove", {item})) {
        // A dead reference that is no longer here was taken out while
        // something else still held it (del s[i] during a comparison): its
        // callback has nothing left to do.
        if (!dead || !error_matches(PyExc_ValueError)) return {};
        PyErr_Clear();
        return none();
    }
    if (dead && !drop_repeats(f, self, item)) return {};
    return none();
}

Ref ShadeSeq_index(Function& f, Args a) {
    PyObject *self = a[0], *item = a[1];
    Ref query = query_ref(f, item);
    if (!query) return {};
    return f.super_call(self, "index", {query});
}

Ref ShadeSeq_count(Function& f, Args a) {
    PyObject *self = a[0], *item = a[1];
    Ref query = query_ref(f, item);
    if (!query) return {};
    return f.super_call(self, "count", {query});
}

// "ShadeSeq([" + each item's text, joined by ", " + "])".
Ref text_form(PyObject* self, PyObject* (*convert)(PyObject*)) {
    RecursionGuard guard(" while getting the text of a ShadeSeq");
    if (!guard) return {};
    Ref it = Ref::steal(PyObject_GetIter(self));
    Ref parts = it ? Ref::steal(PyList_New(0)) : Ref();
    if (!parts) return {};
    for (;;) {
        Ref obj = Ref::steal(PyIter_Next(it));
        if (!obj) break;
        Ref text = Ref::steal(convert(obj));
        if (!text || PyList_Append(parts, text) < 0) return {};
    }
    if (PyErr_Occurred()) return {};
    Ref separator = str(", ");
    Ref joined = separator ? Ref::steal(PyUnicode_Join(separator, parts)) : Ref();
    if (!joined) return {};
    return Ref::steal(PyUnicode_FromFormat("ShadeSeq([%U])", joined.get()));
}

Ref ShadeSeq_repr(Function&, Args a) { return text_form(a[0], PyObject_Repr); }

Ref ShadeSeq_str(Function&, Args a) { return text_form(a[0], PyObject_Str); }

// ---------------------------------------------------------------------------
// Writes

Ref ShadeSeq_setitem(Function& f, Args a) {
    PyObject *self = a[0], *index = a[1], *item = a[2];
    if (PySlice_Check(index)) {
        Batch batch;
        if (!batch.fill(f, self, item, false)) return {};
        return f.super_call(self, "__setitem__", {index, batch.list()});
    }
    Ref ref = stored_ref(f, self, item);
    if (!ref) return {};
    return f.super_call(self, "__setitem__", {index, ref});
}

Ref ShadeSeq_add(Function& f, Args a) {
    PyObject *self = a[0], *item = a[1];
    Ref cls = f.global("ShadeSeq");
    if (!cls) return {};
    int ok = PyObject_IsInstance(item, cls);
    if (ok < 0) return {};
    if (!ok) {
        Ref type_name = getattr(reinterpret_cast<PyObject*>(Py_TYPE(item)), f.s("__name__"));
        Ref templ = type_name ? str("can only concatenante ShadeSeq (not \"{value_type}\") to "
                                    "ShadeSeq")
                              : Ref();
        Ref format = templ ? getattr(templ, f.s("format")) : Ref();
        Ref args = format ? Ref::steal(PyTuple_New(0)) : Ref();
        Ref kwargs = args ? Ref::steal(PyDict_New()) : Ref();
        if (!kwargs || PyDict_SetItem(kwargs, f.s("value_type"), type_name) < 0) return {};
        Ref message = call_tuple(format, args, kwargs);
        if (!message) return {};
        return raise_obj(PyExc_TypeError, message);
    }
    Ref result = call(cls, {});
    if (!result || !call_method(result, f.s("extend"), {self}) ||
        !call_method(result, f.s("extend"), {item}))
        return {};
    return result;
}

Ref ShadeSeq_iadd(Function& f, Args a) {
    PyObject *self = a[0], *items = a[1];
    Batch batch;
    if (!batch.fill(f, self, items, false)) return {};
    return f.super_call(self, "__iadd__", {batch.list()});
}

Ref ShadeSeq_append(Function& f, Args a) {
    PyObject *self = a[0], *item = a[1];
    Ref ref = stored_ref(f, self, item);
    if (!ref) return {};
    return f.super_call(self, "append", {ref});
}

Ref ShadeSeq_pop(Function& f, Args a) {
    PyObject *self = a[0], *item = a[1];
    Py_ssize_t index = PyNumber_AsSsize_t(item, PyExc_IndexError);
    if (index == -1 && PyErr_Occurred()) return {};
    Ref data = getattr(self, f.s("data"));
    if (!data) return {};
    // The object leaving the list is held from before its reference is taken
    // out until it is returned, so it cannot be finalised in between.
    Ref held;
    if (PyList_Check(data.get())) {
        Py_ssize_t size = PyList_GET_SIZE(data.get());
        if (size == 0) return raise(PyExc_IndexError, "pop from empty list");
        Py_ssize_t at = index < 0 ? index + size : index;
        if (at < 0 || at >= size) return raise(PyExc_IndexError, "pop index out of range");
        PyObject* entry = PyList_GET_ITEM(data.get(), at);
        if (PyWeakref_CheckRef(entry)) {
            held = referent(entry);
            if (!held) return {};
        }
    }
    data.reset();
    // The position goes on as given: entries may leave before the list pops,
    // and a position from the end must still mean the end then.
    Ref position = Ref::steal(PyLong_FromSsize_t(index));
    Ref popped = position ? f.super_call(self, "pop", {position}) : Ref();
    if (!popped) return {};
    return call(popped, {});
}

Ref ShadeSeq_insert(Function& f, Args a) {
    PyObject *self = a[0], *index = a[1], *item = a[2];
    Ref ref = stored_ref(f, self, item);
    if (!ref) return {};
    return f.super_call(self, "insert", {index, ref});
}

Ref ShadeSeq_extend(Function& f, Args a) {
    PyObject *self = a[0], *items = a[1];
    Batch batch;
    if (!batch.fill(f, self, items, false)) return {};
    return f.super_call(self, "extend", {batch.list()});
}

Ref sort_by_item(Function&, Args a) { return call(a[0], {}); }

Ref sort_by_key(Function& f, Args a) {
    Ref obj = call(a[0], {});
    if (!obj) return {};
    return call(f.closure, {obj});
}

Ref ShadeSeq_sort(Function& f, Args a) {
    PyObject *self = a[0], *key = a[1], *reverse = a[2];
    Ref sort_key = key == Py_None
                       ? f.closure_function("<lambda>", sort_by_item, "(ref)", nullptr)
                       : f.closure_function("<lambda>", sort_by_key, "(ref)", key);
    Ref args = sort_key ? Ref::steal(PyTuple_New(0)) : Ref();
    Ref kwargs = args ? Ref::steal(PyDict_New()) : Ref();
    if (!kwargs || PyDict_SetItem(kwargs, f.s("key"), sort_key) < 0 ||
        PyDict_SetItem(kwargs, f.s("reverse"), reverse) < 0)
        return {};
    // The list's sort empties it while it works, so a callback could not
    // find its reference then: nothing may be finalised until it is done.
    std::vector<Ref> held;
    if (!hold_items(f, self, held)) return {};
    return f.super_call_tuple(self, "sort", args, kwargs);
}

// ---------------------------------------------------------------------------
// Module

int exec_shadeseq(PyObject* m) {
    if (set_global(m, "weakref", import("weakref")) < 0) return -1;
    Ref collections = import("collections");
    if (set_global(m, "collections", collections) < 0) return -1;
    Ref user_list = getattr(collections, Ref(str("UserList")));
    if (!user_list) return -1;
    Ref cls = make_class(m, "ShadeSeq", {user_list.get()}, ShadeSeq_doc,
                         {
                             method("__init__", ShadeSeq_init, "(self, items=())"),
                             method("__contains__", ShadeSeq_contains, "(self, item)"),
                             method("__getitem__", ShadeSeq_getitem, "(self, index)"),
                             method("__setitem__", ShadeSeq_setitem, "(self, index, item)"),
                             method("__iter__", ShadeSeq_iter, "(self)"),
                             method("__eq__", ShadeSeq_eq, "(self, other)"),
                             method("__reversed__", ShadeSeq_reversed, "(self)"),
                             method("__add__", ShadeSeq_add, "(self, item)"),
                             method("__iadd__", ShadeSeq_iadd, "(self, items)"),
                             method("remove", ShadeSeq_remove, "(self, item)"),
                             method("append", ShadeSeq_append, "(self, item)"),
                             method("index", ShadeSeq_index, "(self, item)"),
                             method("count", ShadeSeq_count, "(self, item)"),
                             method("pop", ShadeSeq_pop, "(self, item)"),
                             method("insert", ShadeSeq_insert, "(self, index, item)"),
                             method("extend", ShadeSeq_extend, "(self, items)"),
                             method("sort", ShadeSeq_sort, "(self, key=None, reverse=False)"),
                             method("__repr__", ShadeSeq_repr, "(self)"),
                             method("__str__", ShadeSeq_str, "(self)"),
                         });
    return set_global(m, "ShadeSeq", cls);
}

}  // namespace

KORVO_MODULE(shadeseq, module_doc, exec_shadeseq)
