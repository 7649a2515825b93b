// korvo.datastructures.keytrail: nested dicts, lists and tuples as a flat
// list of (path, value) rows, and the way back.
#include "common/korvo.hpp"

#include <unordered_set>

#include <vector>

using namespace korvo;

namespace {

const char* const module_doc =
    "Path/value flattening of nested containers.\n"
    "\n"
    "KeyTrail turns nested dictionaries, lists and tuples into a flat list of\n"
    "(path, value) rows, one per leaf value, and rebuilds the nested\n"
    "dictionary from such rows.";

const char* const KeyTrail_doc =
    "A nested dict in flat path/value form.\n"
    "\n"
    "Every leaf value of a nested structure is reached from the root by a\n"
    "chain of keys: for d['a']['b']['c'] = v the path is ('a', 'b', 'c') and\n"
    "the row is (('a', 'b', 'c'), v). KeyTrail converts a nested dict into\n"
    "this list/tuple form and back. It extends the built-in list, and its\n"
    "items are the rows\n"
    "\n"
    "    [(path, value), (path, value) ...]\n"
    "\n"
    "where each path is the tuple of the nested keys (positions inside lists\n"
    "and tuples appear as IndexMarker objects). Code working on the rows needs\n"
    "no recursion.\n"
    "\n"
    "    >>> kt = KeyTrail({'a': {'b': {'c': 1}}, 'd': 2})\n"
    "    >>> list(kt)\n"
    "    [DictItem(path=('a', 'b', 'c'), value=1), DictItem(path=('d',), value=2)]\n"
    "    >>> kt.reconstruct()\n"
    "    {'a': {'b': {'c': 1}}, 'd': 2}\n"
    "\n"
    "reconstruct() yields a new dict that is equal to, but not the same object\n"
    "as, the input; an empty KeyTrail reconstructs to {}.";

const char* const KeyTrail_init_doc =
    "Accept the arguments that list() accepts.\n"
    "\n"
    "A dictionary (any mutable mapping) given as the input is flattened into\n"
    "the path/value list form; any other iterable must supply the rows, each\n"
    "a (path, obj) pair, which are stored as given.";

const char* const KeyTrail_flatten_doc =
    "Recursively flatten a nested dictionary into its path/value form.\n"
    "\n"
    "indict: the input dictionary (lists and tuples inside it are entered\n"
    "    position by position).\n"
    "path: the current path tuple, prefixed to every path produced.\n"
    "\n"
    "Returns a generator of DictItem(path, value) rows.";

const char* const KeyTrail_append_doc =
    "Add one path/value pair to the end of the list.\n"
    "\n"
    "item: a (path, obj) pair; it is stored as DictItem(path, obj).";

const char* const KeyTrail_insert_doc =
    "Insert one path/value pair before position index.\n"
    "\n"
    "index: the list position, as for list.insert.\n"
    "item: a (path, obj) pair; it is stored as DictItem(path, obj).";

const char* const KeyTrail_extend_doc =
    "Add many path/value pairs to the end of the list.\n"
    "\n"
    "items: an iterable of (path, obj) pairs; each is stored as\n"
    "DictItem(path, obj). Nothing is added unless every pair is valid.";

const char* const KeyTrail_reconstruct_doc =
    "Turn the stored list form back into the dictionary it represents.\n"
    "\n"
    "Lists and tuples are rebuilt from the IndexMarker steps of the paths.\n"
    "Always returns a new dictionary object; the rows are not changed.";

const char* const IndexMarker_init_doc =
    "Track the index position of an element in a list or tuple.\n"
    "\n"
    "obj: the list or tuple that holds the element; its exact type is kept.\n"
    "index: the position of the element in obj, counted from 0.";

const char* const bad_row_message = "KeyTrail only accepts a tuple of path/obj";

// ---------------------------------------------------------------------------
// Rows

// Called with the error of a failed row check raised: an ordinary error
// becomes the ValueError for a bad row, chained to it. KeyboardInterrupt,
// SystemExit and the like are not about the row and pass unchanged.
Ref reject_row(Function& f) {
    if (error_matches(PyExc_Exception)) raise_chained(PyExc_ValueError, f.s(bad_row_message));
    return {};
}

struct Row {
    Ref item, path, obj;
};

// Takes the elements of `items` once and checks each; the same elements are
// then stored, so a one-shot iterator loses nothing. Reports a bad row.
bool take_rows(Function& f, PyObject* items, std::vector<Row>& rows) {
    Ref it = Ref::steal(PyObject_GetIter(items));
    if (it) {
        for (;;) {
            Row row;
            row.item = Ref::steal(PyIter_Next(it));
            if (!row.item) break;
            if (!unpack_pair(row.item, row.path, row.obj)) break;
            rows.push_back(std::move(row));
        }
    }
    if (!PyErr_Occurred()) return true;
    reject_row(f);
    return false;
}

Ref dict_item(Function& f, PyObject* path, PyObject* obj) {
    Ref cls = f.global("DictItem");
    if (!cls) return {};
    return call(cls, {path, obj});
}

// ---------------------------------------------------------------------------
// IndexMarker

Ref IndexMarker_init(Function& f, Args a) {
    PyObject *self = a[0], *obj = a[1], *index = a[2];
    if (PyObject_SetAttr(self, f.s("type_"), reinterpret_cast<PyObject*>(Py_TYPE(obj))) < 0)
        return {};
    Ref position = Ref::steal(PyNumber_Long(index));
    if (!position || PyObject_SetAttr(self, f.s("index"), position) < 0) return {};
    return none();
}

Ref IndexMarker_repr(Function& f, Args a) {
    PyObject* self = a[0];
    Ref type = getattr(self, f.s("type_"));
    Ref name = type ? getattr(type, f.s("__name__")) : Ref();
    Ref index = name ? getattr(self, f.s("index")) : Ref();
    if (!index) return {};
    Ref fields = Ref::steal(PyDict_New());
    if (!fields || PyDict_SetItem(fields, f.s("type_"), name) < 0 ||
        PyDict_SetItem(fields, f.s("index"), index) < 0)
        return {};
    Ref format = getattr(f.s("{type_}[{index}]"), f.s("format"));
    Ref no_args = format ? Ref::steal(PyTuple_New(0)) : Ref();
    if (!no_args) return {};
    return call_tuple(format, no_args, fields);
}

// ---------------------------------------------------------------------------
// Flattening

Ref KeyTrail_flatten(Function& f, Args a);

// The state of a flattening generator. Each nesting level being traversed is
// one entry of an explicit stack, so deep structures cost memory, never C
// stack. Paths are kept as one shared vector of elements while they are plain
// tuples (a level's prefix is the first `depth` elements), so the memory held
// grows linearly with the depth; only a caller's prefix of another type is
// kept as an object and extended by concatenation, as given.
class Flattener final : public GeneratorBody {
public:
    Flattener(Function& f, PyObject* indict, PyObject* path)
        : fn_(f), fn_ref_(Ref::borrow(reinterpret_cast<PyObject*>(&f))) {
        Level top;
        top.indict = Ref::borrow(indict);
        top.prefix = Ref::borrow(path);
        push(std::move(top));
    }

    Ref next() override {
        RecursionGuard guard(" while flattening nested containers");
        if (!guard) return {};
        while (!stack_.empty()) {
            Level& level = stack_.back();
            switch (level.kind) {
            case Level::Start: {
                Ref value;
                if (!start(value)) return {};
                if (value) {
                    pop();
                    return value;
                }
                break;
            }
            case Level::Foreign: {
                Ref value = Ref::steal(PyIter_Next(level.iter));
                if (value) return value;
                if (PyErr_Occurred()) return {};
                pop();
                break;
            }
            case Level::Mapping:
            case Level::Sequence: {
                Ref row;
                if (!advance(row)) return {};
                if (row) return row;
                break;
            }
            }
        }
        return {};
    }

    int traverse(visitproc visit, void* arg) override {
        Py_VISIT(fn_ref_.get());
        for (const Level& level : stack_) {
            Py_VISIT(level.indict.get());
            Py_VISIT(level.iter.get());
            Py_VISIT(level.prefix.get());
        }
        for (const Ref& element : elements_) Py_VISIT(element.get());
        return 0;
    }

private:
    struct Level {
        enum Kind { Start, Mapping, Sequence, Foreign };
        Kind kind = Start;
        Ref indict;
        Ref iter;
        Ref prefix;        // the prefix as an object; null when it is in elements_
        size_t depth = 0;  // length of the prefix kept in elements_
        Py_ssize_t index = 0;
    };

    // Begins the level on top of the stack: normalises its prefix and looks
    // at what it holds. Sets `value` when the level only yields indict itself.
    bool start(Ref& value) {
        Level& level = stack_.back();
        if (level.prefix) {
            int given = truth(level.prefix);
            if (given < 0) return false;
            if (given) {
                Ref whole = Ref::steal(PySlice_New(nullptr, nullptr, nullptr));
                level.prefix = whole ? Ref::steal(PyObject_GetItem(level.prefix, whole)) : Ref();
            } else {
                level.prefix = Ref::steal(PyTuple_New(0));
            }
            if (!level.prefix) return false;
            if (PyTuple_CheckExact(level.prefix.get())) {
                Py_ssize_t n = PyTuple_GET_SIZE(level.prefix.get());
                elements_.clear();
                for (Py_ssize_t i = 0; i < n; ++i)
                    elements_.push_back(Ref::borrow(PyTuple_GET_ITEM(level.prefix.get(), i)));
                level.depth = static_cast<size_t>(n);
                level.prefix.reset();
            }
        }
        Ref mutable_mapping = fn_.global("MutableMapping");
        if (!mutable_mapping) return false;
        int is_mapping = PyObject_IsInstance(level.indict, mutable_mapping);
        if (is_mapping < 0) return false;
        if (is_mapping) {
            Ref items = call_method(level.indict, fn_.s("items"), {});
            level.iter = items ? Ref::steal(PyObject_GetIter(items)) : Ref();
            if (!level.iter) return false;
            level.kind = Level::Mapping;
            return true;
        }
        // isinstance(), not the type's flags: it also accepts an object that
        // reports list or tuple as its __class__, as the nesting test does.
        PyObject* list_type = reinterpret_cast<PyObject*>(&PyList_Type);
        PyObject* tuple_type = reinterpret_cast<PyObject*>(&PyTuple_Type);
        int is_sequence = PyObject_IsInstance(level.indict, list_type);
        if (is_sequence == 0) is_sequence = PyObject_IsInstance(level.indict, tuple_type);
        if (is_sequence < 0) return false;
        if (is_sequence) {
            level.iter = Ref::steal(PyObject_GetIter(level.indict));
            if (!level.iter) return false;
            level.kind = Level::Sequence;
        } else {
            value = level.indict;
        }
        return true;
    }

    // Takes the next item of the level on top of the stack. Sets `row` when
    // the item is a leaf; enters it as a new level when it is a non-empty
    // container; pops the level when it is exhausted.
    bool advance(Ref& row) {
        Level& level = stack_.back();
        Ref key, value;
        bool sequence = level.kind == Level::Sequence;
        if (sequence) {
            value = Ref::steal(PyIter_Next(level.iter));
        } else {
            Ref item = Ref::steal(PyIter_Next(level.iter));
            if (item && !unpack_pair(item, key, value)) return false;
        }
        if (!value) {
            if (PyErr_Occurred()) return false;
            pop();
            return true;
        }
        Py_ssize_t index = level.index++;
        // The level may move once the stack grows: keep what is needed.
        Ref indict = level.indict, prefix = level.prefix;
        size_t depth = level.depth;

        int nested = is_nested(value);
        if (nested < 0) return false;
        if (!nested) {
            Ref cls = fn_.global("DictItem");
            if (!cls) return false;
            if (sequence && !(key = marker(indict, index))) return false;
            Ref path = extend(prefix, depth, key);
            if (!path) return false;
            row = call(cls, {path.get(), value.get()});
            return static_cast<bool>(row);
        }

        Ref owner = fn_.global("KeyTrail");
        Ref flatten = owner ? getattr(owner, fn_.s("__flatten__")) : Ref();
        if (!flatten) return false;
        if (sequence && !(key = marker(indict, index))) return false;
        bool own = runs_impl(flatten, KeyTrail_flatten);
        Level child;
        if (own && !prefix) {
            // The nested call's prefix is this level's plus the key: kept in
            // elements_, it need not exist as a tuple.
            elements_.resize(depth);
            elements_.push_back(key);
            child.depth = depth + 1;
        } else {
            child.prefix = extend(prefix, depth, key);
            if (!child.prefix) return false;
        }
        if (own) {
            child.indict = value;
        } else {
            // Flattening was replaced through the module global: delegate the
            // whole nested value to the replacement and pass its rows on.
            Ref rows = call(flatten, {value.get(), child.prefix.get()});
            child.iter = rows ? Ref::steal(PyObject_GetIter(rows)) : Ref();
            if (!child.iter) return false;
            child.prefix.reset();
            child.kind = Level::Foreign;
        }
        if (child.indict && open_.count(child.indict.get())) {
            raise(PyExc_RecursionError,
                  "maximum recursion depth exceeded while flattening nested containers "
                  "(a container holds itself)");
            return false;
        }
        push(std::move(child));
        return true;
    }

    // Levels are entered and left only here: `open_` knows which containers
    // are being walked, so a container that holds itself is refused instead
    // of being entered for ever (the recursive walk would run out of stack).
    void push(Level level) {
        if (level.indict) open_.insert(level.indict.get());
        stack_.push_back(std::move(level));
    }

    void pop() {
        if (stack_.back().indict) open_.erase(stack_.back().indict.get());
        stack_.pop_back();
    }

    // isinstance(value, (MutableMapping, list, tuple)) and value
    int is_nested(PyObject* value) {
        Ref mutable_mapping = fn_.global("MutableMapping");
        Ref kinds = mutable_mapping
                        ? tuple({mutable_mapping.get(), reinterpret_cast<PyObject*>(&PyList_Type),
                                 reinterpret_cast<PyObject*>(&PyTuple_Type)})
                        : Ref();
        if (!kinds) return -1;
        int r = PyObject_IsInstance(value, kinds);
        if (r <= 0) return r;
        return truth(value);
    }

    Ref marker(PyObject* indict, Py_ssize_t index) {
        Ref cls = fn_.global("IndexMarker");
        Ref position = cls ? Ref::steal(PyLong_FromSsize_t(index)) : Ref();
        if (!position) return {};
        return call(cls, {indict, position.get()});
    }

    // The prefix of a level followed by `key`: `prefix + (key,)`.
    Ref extend(PyObject* prefix, size_t depth, PyObject* key) {
        if (prefix) {
            Ref tail = tuple({key});
            if (!tail) return {};
            return Ref::steal(PyNumber_Add(prefix, tail));
        }
        Ref path = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(depth + 1)));
        if (!path) return {};
        for (size_t i = 0; i < depth; ++i)
            PyTuple_SET_ITEM(path.get(), i, Py_NewRef(elements_[i].get()));
        PyTuple_SET_ITEM(path.get(), depth, Py_NewRef(key));
        return path;
    }

    Function& fn_;
    Ref fn_ref_;  // keeps fn_ alive
    std::vector<Level> stack_;
    std::unordered_set<PyObject*> open_;  // indicts of stack_, held by it
    std::vector<Ref> elements_;
};

Ref KeyTrail_flatten(Function& f, Args a) {
    return make_generator(f, std::make_unique<Flattener>(f, a[0], a[1]));
}

// ---------------------------------------------------------------------------
// Reconstruction

// Rebuilds the nested dict from the rows. The position reached in a row is a
// chain of slots from the result down: container[key] holds the next
// container. Dicts and lists are changed in place. A tuple cannot be, so a
// tuple along the chain that must change is staged as a vector of its
// elements and, when the row is done, rebuilt with its own type and stored
// back into the slot above it, from the deepest tuple up.
class Rebuilder {
public:
    explicit Rebuilder(Function& f) : f_(f) {}

    bool init() {
        minus_one_ = Ref::steal(PyLong_FromLong(-1));
        result_ = minus_one_ ? Ref::steal(PyDict_New()) : Ref();
        return static_cast<bool>(result_);
    }

    Ref result() const { return result_; }

    bool row(Py_ssize_t number, PyObject* path, PyObject* obj) {
        Ref steps = Ref::steal(PySequence_List(path));
        if (!steps) return false;
        Py_ssize_t n = PyList_GET_SIZE(steps.get());
        if (n == 0) {
            raisef(PyExc_ValueError, "cannot reconstruct row %zd: its path is empty", number);
            return false;
        }
        chain_.clear();
        Ref ptr = result_;
        bool last_marker = false, fresh = false;
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref k = Ref::borrow(PyList_GET_ITEM(steps.get(), i));
            Ref marker_type = f_.global("IndexMarker");
            if (!marker_type) return false;
            int is_marker = PyObject_IsInstance(k, marker_type);
            if (is_marker < 0) return false;
            if (is_marker && i == 0) {
                raisef(PyExc_ValueError,
                       "cannot reconstruct row %zd: its path starts with an IndexMarker, "
                       "but the rebuilt structure is a dict",
                       number);
                return false;
            }
            bool ok = is_marker ? enter_position(k, i == n - 1, ptr, fresh) : enter_key(k, ptr);
            if (!ok) return false;
            last_marker = is_marker;
        }
        size_t last = chain_.size() - 1;
        if (last_marker && staged_tuple(last) && !fresh) {
            // A tuple position that existed before this row: the value is
            // added at the end of the tuple.
            if (!stage(last)) return false;
            chain_[last].staged.push_back(Ref::borrow(obj));
            chain_[last].dirty = true;
        } else if (!assign(last, obj)) {
            return false;
        }
        for (size_t i = last; i > 0; --i) {
            if (!chain_[i].dirty) continue;
            Ref rebuilt = build_tuple(chain_[i]);
            if (!rebuilt || !assign(i - 1, rebuilt)) return false;
        }
        return true;
    }

private:
    struct Slot {
        Ref container;
        Ref key;
        bool position = false;  // key is the last position of a sequence
        bool is_staged = false;
        bool dirty = false;
        std::vector<Ref> staged;  // the elements of a tuple container being changed
    };

    bool staged_tuple(size_t i) const {
        return chain_[i].position && PyTuple_Check(chain_[i].container.get());
    }

    bool stage(size_t i) {
        Slot& s = chain_[i];
        if (s.is_staged) return true;
        PyObject* t = s.container.get();
        for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(t); ++j)
            s.staged.push_back(Ref::borrow(PyTuple_GET_ITEM(t, j)));
        s.is_staged = true;
        return true;
    }

    // container[key] of slot i.
    Ref read(size_t i) {
        Slot& s = chain_[i];
        if (s.is_staged) {
            if (s.staged.empty()) return raise(PyExc_IndexError, "tuple index out of range");
            return s.staged.back();
        }
        return Ref::steal(PyObject_GetItem(s.container, s.key));
    }

    // container[key] = value for slot i; a tuple is staged instead.
    bool assign(size_t i, PyObject* value) {
        if (staged_tuple(i)) {
            if (!stage(i)) return false;
            Slot& s = chain_[i];
            if (s.staged.empty()) {
                raise(PyExc_IndexError, "tuple assignment index out of range");
                return false;
            }
            s.staged.back() = Ref::borrow(value);
            s.dirty = true;
            return true;
        }
        return PyObject_SetItem(chain_[i].container, chain_[i].key, value) == 0;
    }

    Ref build_tuple(const Slot& s) {
        Ref items = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(s.staged.size())));
        if (!items) return {};
        for (size_t j = 0; j < s.staged.size(); ++j)
            PyTuple_SET_ITEM(items.get(), j, Py_NewRef(s.staged[j].get()));
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(s.container.get()));
        if (type == reinterpret_cast<PyObject*>(&PyTuple_Type)) return items;
        return call(type, {items.get()});
    }

    void push(Ref container, Ref key, bool position) {
        Slot s;
        s.container = std::move(container);
        s.key = std::move(key);
        s.position = position;
        chain_.push_back(std::move(s));
    }

    // A sequence of `type` holding one placeholder: type(({},)).
    static Ref placeholder_sequence(PyObject* type) {
        Ref placeholder = Ref::steal(PyDict_New());
        Ref one = placeholder ? tuple({placeholder.get()}) : Ref();
        if (!one) return {};
        return call(type, {one.get()});
    }

    // A mapping key: descends into ptr[k], made an empty dict when missing.
    bool enter_key(PyObject* k, Ref& ptr) {
        Ref mutable_mapping = f_.global("MutableMapping");
        if (!mutable_mapping) return false;
        int is_mapping = PyObject_IsInstance(ptr, mutable_mapping);
        if (is_mapping < 0) return false;
        Ref container;
        if (is_mapping) {
            Ref empty = Ref::steal(PyDict_New());
            Ref current = empty ? call_method(ptr, f_.s("get"), {k, empty.get()}) : Ref();
            if (!current || PyObject_SetItem(ptr, k, current) < 0) return false;
            container = ptr;
        } else {
            // A key where a sequence stands: a new element {k: {}} is added
            // at its end and entered.
            Ref element = Ref::steal(PyDict_New());
            Ref empty = element ? Ref::steal(PyDict_New()) : Ref();
            if (!empty || PyDict_SetItem(element, k, empty) < 0) return false;
            if (PyTuple_Check(ptr.get()) && !chain_.empty()) {
                push(ptr, minus_one_, true);
                size_t i = chain_.size() - 1;
                if (!stage(i)) return false;
                chain_[i].staged.push_back(element);
                chain_[i].dirty = true;
                container = element;
            } else {
                Ref one = tuple({element.get()});
                Ref more = one ? call(reinterpret_cast<PyObject*>(Py_TYPE(ptr.get())), {one.get()})
                               : Ref();
                Ref grown = more ? Ref::steal(PyNumber_InPlaceAdd(ptr, more)) : Ref();
                container = grown ? Ref::steal(PyObject_GetItem(grown, minus_one_)) : Ref();
                if (!container) return false;
                push(grown, minus_one_, true);
            }
        }
        push(container, Ref::borrow(k), false);
        ptr = Ref::steal(PyObject_GetItem(container, k));
        return static_cast<bool>(ptr);
    }

    // An IndexMarker: makes sure ptr is a sequence of the marker's type,
    // grows it by one placeholder when the marker's position is missing, and
    // descends into its last element.
    bool enter_position(PyObject* k, bool final_step, Ref& ptr, bool& fresh) {
        Ref type = getattr(k, f_.s("type_"));
        if (!type) return false;
        bool grow_tuple = false;
        fresh = type.get() != reinterpret_cast<PyObject*>(Py_TYPE(ptr.get()));
        if (fresh) {
            // Another kind of object stands here: replaced by a new sequence.
            Ref sequence = placeholder_sequence(type);
            if (!sequence || !assign(chain_.size() - 1, sequence)) return false;
        } else {
            Ref index = getattr(k, f_.s("index"));
            if (!index) return false;
            Ref probe = Ref::steal(PyObject_GetItem(ptr, index));
            if (!probe) {
                if (!error_matches(PyExc_IndexError)) return false;
                PyErr_Clear();
                if (PyTuple_Check(ptr.get())) {
                    // On the last step the value itself is added below; in
                    // the middle of a path the tuple gets a placeholder.
                    grow_tuple = !final_step;
                } else {
                    Ref more = placeholder_sequence(type);
                    Ref grown = more ? Ref::steal(PyNumber_InPlaceAdd(ptr, more)) : Ref();
                    if (!grown) return false;
                }
            }
        }
        Ref sequence = read(chain_.size() - 1);
        if (!sequence) return false;
        push(sequence, minus_one_, true);
        if (grow_tuple) {
            size_t i = chain_.size() - 1;
            Ref placeholder = Ref::steal(PyDict_New());
            if (!placeholder || !stage(i)) return false;
            chain_[i].staged.push_back(placeholder);
            chain_[i].dirty = true;
        }
        ptr = read(chain_.size() - 1);
        return static_cast<bool>(ptr);
    }

    Function& f_;
    Ref minus_one_, result_;
    std::vector<Slot> chain_;
};

// ---------------------------------------------------------------------------
// KeyTrail

Ref KeyTrail_init(Function& f, Args a) {
    PyObject *self = a[0], *args = a[1];
    if (PyTuple_GET_SIZE(args) != 1) {
        if (!f.super_call_tuple(self, "__init__", args, nullptr)) return {};
        return none();
    }
    PyObject* source = PyTuple_GET_ITEM(args, 0);
    Ref mutable_mapping = f.global("MutableMapping");
    if (!mutable_mapping) return {};
    int is_mapping = PyObject_IsInstance(source, mutable_mapping);
    if (is_mapping < 0) return {};
    Ref rows;
    if (is_mapping) {
        Ref owner = f.global("KeyTrail");
        Ref flatten = owner ? getattr(owner, f.s("__flatten__")) : Ref();
        rows = flatten ? call(flatten, {source}) : Ref();
        if (!rows) return {};
    } else {
        std::vector<Row> taken;
        if (!take_rows(f, source, taken)) return {};
        rows = Ref::steal(PyList_New(static_cast<Py_ssize_t>(taken.size())));
        if (!rows) return {};
        for (size_t i = 0; i < taken.size(); ++i)
            PyList_SET_ITEM(rows.get(), i, taken[i].item.release());
    }
    if (!f.super_call(self, "__init__", {rows})) return {};
    return none();
}

Ref KeyTrail_setitem(Function& f, Args a) {
    PyObject *self = a[0], *index = a[1], *item = a[2];
    Ref path, obj;
    if (!unpack_pair(item, path, obj)) return reject_row(f);
    // The elements just taken are stored, so an iterator is not read twice.
    Ref row = PyTuple_CheckExact(item) ? Ref::borrow(item) : tuple({path.get(), obj.get()});
    if (!row || !f.super_call(self, "__setitem__", {index, row})) return {};
    return none();
}

Ref KeyTrail_append(Function& f, Args a) {
    PyObject *self = a[0], *item = a[1];
    Ref path, obj;
    if (!unpack_pair(item, path, obj)) return reject_row(f);
    Ref row = dict_item(f, path, obj);
    if (!row || !f.super_call(self, "append", {row})) return {};
    return none();
}

Ref KeyTrail_insert(Function& f, Args a) {
    PyObject *self = a[0], *index = a[1], *item = a[2];
    Ref path, obj;
    if (!unpack_pair(item, path, obj)) return reject_row(f);
    Ref row = dict_item(f, path, obj);
    if (!row || !f.super_call(self, "insert", {index, row})) return {};
    return none();
}

Ref KeyTrail_extend(Function& f, Args a) {
    PyObject *self = a[0], *items = a[1];
    std::vector<Row> taken;
    if (!take_rows(f, items, taken)) return {};
    Ref rows = Ref::steal(PyList_New(static_cast<Py_ssize_t>(taken.size())));
    if (!rows) return {};
    for (size_t i = 0; i < taken.size(); ++i) {
        Ref row = dict_item(f, taken[i].path, taken[i].obj);
        if (!row) return {};
        PyList_SET_ITEM(rows.get(), i, row.release());
    }
    if (!f.super_call(self, "extend", {rows})) return {};
    return none();
}

Ref KeyTrail_reconstruct(Function& f, Args a) {
    PyObject* self = a[0];
    Rebuilder rebuilder(f);
    if (!rebuilder.init()) return {};
    Ref it = Ref::steal(PyObject_GetIter(self));
    if (!it) return {};
    for (Py_ssize_t number = 0;; ++number) {
        Ref row = Ref::steal(PyIter_Next(it));
        if (!row) break;
        Ref path, obj;
        if (!unpack_pair(row, path, obj) || !rebuilder.row(number, path, obj)) return {};
    }
    if (PyErr_Occurred()) return {};
    return rebuilder.result();
}

// ---------------------------------------------------------------------------
// Module

int exec_keytrail(PyObject* m) {
    Ref namedtuple = import_from("collections", "namedtuple");
    if (set_global(m, "namedtuple", namedtuple) < 0) return -1;
    if (set_global(m, "MutableMapping", import_from("collections.abc", "MutableMapping")) < 0)
        return -1;

    Ref module_name = Ref::steal(PyObject_GetAttrString(m, "__name__"));
    Ref args = module_name ? Ref::steal(Py_BuildValue("(s(ss))", "DictItem", "path", "value"))
                           : Ref();
    Ref kwargs = args ? Ref::steal(PyDict_New()) : Ref();
    if (!kwargs || PyDict_SetItemString(kwargs, "module", module_name) < 0) return -1;
    if (set_global(m, "DictItem", call_tuple(namedtuple, args, kwargs)) < 0) return -1;

    Ref marker = make_class(
        m, "IndexMarker", {reinterpret_cast<PyObject*>(&PyBaseObject_Type)}, nullptr,
        {
            method("__init__", IndexMarker_init, "(self, obj, index)", IndexMarker_init_doc),
            method("__repr__", IndexMarker_repr, "(self)"),
        });
    if (set_global(m, "IndexMarker", marker) < 0) return -1;

    Ref keytrail = make_class(
        m, "KeyTrail", {reinterpret_cast<PyObject*>(&PyList_Type)}, KeyTrail_doc,
        {
            method("__init__", KeyTrail_init, "(self, *args)", KeyTrail_init_doc),
            static_method("__flatten__", KeyTrail_flatten, "(indict, path=None)",
                          KeyTrail_flatten_doc),
            method("__setitem__", KeyTrail_setitem, "(self, index, item)"),
            method("append", KeyTrail_append, "(self, item)", KeyTrail_append_doc),
            method("insert", KeyTrail_insert, "(self, index, item)", KeyTrail_insert_doc),
            method("extend", KeyTrail_extend, "(self, items)", KeyTrail_extend_doc),
            method("reconstruct", KeyTrail_reconstruct, "(self)", KeyTrail_reconstruct_doc),
        });
    return set_global(m, "KeyTrail", keytrail);
}

}  // namespace

KORVO_MODULE(keytrail, module_doc, exec_keytrail)
