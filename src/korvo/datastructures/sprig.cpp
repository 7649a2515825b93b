// korvo.datastructures.sprig: named nodes whose text form draws their whole
// subtree the way the Linux `tree` command draws a directory tree.
#include "common/korvo.hpp"

#include <cstring>
#include <exception>
#include <string>
#include <vector>

using namespace korvo;

namespace {

const char* const module_doc = "Tree printing: named nodes rendered as a text tree.";

const char* const Sprig_doc =
    "A named node with child nodes that mimics the printing of the Linux\n"
    "`tree` command: str() of a node draws its whole subtree.\n"
    "\n"
    "    >>> grandson = Sprig('Grandson', [Sprig('Great-grandson')])\n"
    "    >>> daughter = Sprig('Daughter', [Sprig('Granddaughter'), grandson])\n"
    "    >>> son = Sprig('Son')\n"
    "    >>> son.add_child(Sprig('Grandchild', [Sprig('Great-granddaughter')]))\n"
    "    >>> grandmother = Sprig('Grandmother', [daughter])\n"
    "    >>> grandmother.add_child(son)\n"
    "    >>> print(grandmother)\n"
    "    Grandmother\n"
    "    |-- Daughter\n"
    "    |   |-- Granddaughter\n"
    "    |   `-- Grandson\n"
    "    |       `-- Great-grandson\n"
    "    `-- Son\n"
    "        `-- Grandchild\n"
    "            `-- Great-granddaughter\n"
    "\n"
    "Each child is drawn through its own str(), so any object can be a\n"
    "child; text spanning several lines is indented as a whole.";

const char* const init_doc =
    "Create a node.\n"
    "\n"
    "name: str, the node's name, drawn as is.\n"
    "children: list of child nodes. A non-empty list is kept as the very\n"
    "    object given (shared with the caller); None or an empty value\n"
    "    gives the node a new empty list.";

const char* const add_child_doc =
    "Add a child node.\n"
    "\n"
    "item: the node to append to the children.";

const char* const str_doc = "Return the tree formatted as a string.";

// Where a RecursionError says it happened: the same as for str() itself, so
// that a deep or cyclic tree fails alike however its nodes are reached.
const char* const recursion_where = " while getting the str of an object";

// Line prefixes of a child's text: before its first line and before every
// further one.
struct Connector {
    const char* first;
    const char* further;
};
constexpr Connector middle_child{"|-- ", "|   "};
constexpr Connector last_child{"`-- ", "    "};
constexpr size_t connector_width = 4;

Ref not_a_string(PyObject* value) {
    return raisef(PyExc_TypeError, "__str__ returned non-string (type %.200s)",
                  Py_TYPE(value)->tp_name);
}

// ---------------------------------------------------------------------------
// Text buffer

// Growable text in the narrowest code unit seen so far (1, 2 or 4 bytes),
// widened on demand; the result is a canonical str.
class TextBuffer {
public:
    void ascii(const char* text, size_t n) {
        copy(PyUnicode_1BYTE_KIND, text, n);
    }

    void append(PyObject* text, Py_ssize_t start, Py_ssize_t end) {
        int kind = PyUnicode_KIND(text);
        if (kind > kind_) widen(kind);
        const char* data = static_cast<const char*>(PyUnicode_DATA(text));
        copy(kind, data + start * kind, static_cast<size_t>(end - start));
    }

    Ref finish() const {
        return Ref::steal(PyUnicode_FromKindAndData(kind_, data_.data(),
                                                    static_cast<Py_ssize_t>(units())));
    }

private:
    size_t units() const { return data_.size() / static_cast<size_t>(kind_); }

    template <typename To, typename From>
    static void convert(unsigned char* dst, const void* src, size_t n) {
        To* d = reinterpret_cast<To*>(dst);
        const From* s = static_cast<const From*>(src);
        for (size_t i = 0; i < n; ++i) d[i] = static_cast<To>(s[i]);
    }

    // Copies units of kind `from` (never wider than the buffer) into dst.
    static void convert_units(int to, int from, unsigned char* dst, const void* src, size_t n) {
        if (to == from) {
            std::memcpy(dst, src, n * static_cast<size_t>(to));
        } else if (to == PyUnicode_2BYTE_KIND) {
            convert<Py_UCS2, Py_UCS1>(dst, src, n);
        } else if (from == PyUnicode_1BYTE_KIND) {
            convert<Py_UCS4, Py_UCS1>(dst, src, n);
        } else {
            convert<Py_UCS4, Py_UCS2>(dst, src, n);
        }
    }

    void copy(int kind, const void* src, size_t n) {
        if (n == 0) return;  // an empty vector's data() may be null
        size_t old = data_.size();
        data_.resize(old + n * static_cast<size_t>(kind_));
        convert_units(kind_, kind, data_.data() + old, src, n);
    }

    void widen(int kind) {
        size_t n = units();
        std::vector<unsigned char> wider(n * static_cast<size_t>(kind));
        wider.reserve(data_.capacity() / static_cast<size_t>(kind_) * static_cast<size_t>(kind));
        convert_units(kind, kind_, wider.data(), data_.data(), n);
        data_.swap(wider);
        kind_ = kind;
    }

    int kind_ = PyUnicode_1BYTE_KIND;
    std::vector<unsigned char> data_;
};

// ---------------------------------------------------------------------------
// Rendering

Ref Sprig_str(Function& f, Args a);

// Reads `children[:-1]` and `children[-1]` the way the subscriptions do.
Ref all_but_last(PyObject* children) {
    if (PyList_CheckExact(children)) {
        Py_ssize_t n = PyList_GET_SIZE(children);
        return Ref::steal(PyList_GetSlice(children, 0, n > 0 ? n - 1 : 0));
    }
    Ref stop = Ref::steal(PyLong_FromLong(-1));
    Ref slice = stop ? Ref::steal(PySlice_New(nullptr, stop, nullptr)) : Ref();
    if (!slice) return {};
    return Ref::steal(PyObject_GetItem(children, slice));
}

Ref last_of(PyObject* children) {
    if (PyList_CheckExact(children) && PyList_GET_SIZE(children) > 0)
        return Ref::borrow(PyList_GET_ITEM(children, PyList_GET_SIZE(children) - 1));
    Ref index = Ref::steal(PyLong_FromLong(-1));
    if (!index) return {};
    return Ref::steal(PyObject_GetItem(children, index));
}

// Walks a sequence one item at a time as `for` does: an exact list by
// position, re-reading its size at every step as its iterator would; anything
// else through its iterator.
class Items {
public:
    explicit Items(Ref seq) : seq_(std::move(seq)) {
        if (!PyList_CheckExact(seq_.get())) iter_ = Ref::steal(PyObject_GetIter(seq_));
    }
    bool ok() const { return PyList_CheckExact(seq_.get()) || iter_; }
    // The next item; empty with no error set at the end.
    Ref next() {
        if (!iter_) {
            if (pos_ >= PyList_GET_SIZE(seq_.get())) return {};
            return Ref::borrow(PyList_GET_ITEM(seq_.get(), pos_++));
        }
        return Ref::steal(PyIter_Next(iter_));
    }

private:
    Ref seq_, iter_;
    Py_ssize_t pos_ = 0;
};

// Renders what Sprig.__str__ returns. Nodes whose class draws them with this
// very function are rendered in place into one buffer, each line of a
// subtree getting the prefixes of all its ancestors at once, so the work is
// linear in the size of the output. Every other child is drawn through its
// own str(). The attributes of each node are read, and str() of the other
// children called, in the same order and number as a level-by-level
// rendering that splits each child's text would.
class Renderer {
public:
    explicit Renderer(Function& f)
        : f_(f), name_(f.s("name")), children_(f.s("children")), str_(f.s("__str__")) {}

    // The result of __str__ for `node`: its name when it has no children.
    Ref node_str(PyObject* node) {
        if (!name_ || !children_ || !str_) return {};
        Ref name = getattr(node, name_);
        if (!name) return {};
        int has_children = has_children_now(node);
        if (has_children <= 0) return has_children < 0 ? Ref() : name;
        if (!PyUnicode_CheckExact(name)) return any_name_str(node, std::move(name));
        if (!put_text(name) || !draw_children(node)) return {};
        return out_.finish();
    }

private:
    // `if not node.children`: 1 when there are children, -1 on error.
    int has_children_now(PyObject* node) {
        Ref children = getattr(node, children_);
        if (!children) return -1;
        return truth(children);
    }

    bool drawn_in_place(PyObject* obj) {
        return runs_impl(_PyType_Lookup(Py_TYPE(obj), str_), Sprig_str);
    }

    // Appends `text`, starting each of its further lines with the prefix.
    bool put_text(PyObject* text) {
#if PY_VERSION_HEX < 0x030C0000
        if (PyUnicode_READY(text) < 0) return false;
#endif
        Py_ssize_t n = PyUnicode_GET_LENGTH(text), start = 0;
        for (;;) {
            Py_ssize_t nl = PyUnicode_FindChar(text, '\n', start, n, 1);
            if (nl == -2) return false;
            if (nl < 0) break;
            out_.append(text, start, nl);
            out_.ascii("\n", 1);
            out_.ascii(prefix_.data(), prefix_.size());
            start = nl + 1;
        }
        out_.append(text, start, n);
        return true;
    }

    // Starts the line of one child and draws it one level deeper.
    bool draw_one(PyObject* child, const Connector& c) {
        size_t depth = prefix_.size();
        out_.ascii("\n", 1);
        out_.ascii(prefix_.data(), prefix_.size());
        out_.ascii(c.first, connector_width);
        prefix_.append(c.further, connector_width);
        bool ok = draw_child(child);
        prefix_.resize(depth);
        return ok;
    }

    bool draw_children(PyObject* node) {
        Ref children = getattr(node, children_);
        Ref head = children ? all_but_last(children) : Ref();
        if (!head) return false;
        children.reset();
        Items items(std::move(head));
        if (!items.ok()) return false;
        while (Ref child = items.next())
            if (!draw_one(child, middle_child)) return false;
        if (PyErr_Occurred()) return false;
        children = getattr(node, children_);
        Ref last = children ? last_of(children) : Ref();
        if (!last) return false;
        children.reset();
        return draw_one(last, last_child);
    }

    // Draws `child` as its str() would give it.
    bool draw_child(PyObject* child) {
        if (!drawn_in_place(child)) {
            if (PyErr_Occurred()) return false;
            Ref text = Ref::steal(PyObject_Str(child));
            return text && put_text(text);
        }
        RecursionGuard guard(recursion_where);
        if (!guard) return false;
        Ref name = getattr(child, name_);
        if (!name) return false;
        int has_children = has_children_now(child);
        if (has_children < 0) return false;
        if (!has_children) {
            if (PyUnicode_Check(name)) return put_text(name);
            not_a_string(name);
            return false;
        }
        if (!PyUnicode_CheckExact(name)) {
            Ref text = any_name_str(child, std::move(name));
            if (!text) return false;
            if (PyUnicode_Check(text)) return put_text(text);
            not_a_string(text);
            return false;
        }
        return put_text(name) && draw_children(child);
    }

    // str(child) for the level-by-level path.
    Ref child_text(PyObject* child) {
        if (!drawn_in_place(child)) {
            if (PyErr_Occurred()) return {};
            return Ref::steal(PyObject_Str(child));
        }
        RecursionGuard guard(recursion_where);
        if (!guard) return {};
        Ref text = Renderer(f_).node_str(child);
        if (text && !PyUnicode_Check(text)) return not_a_string(text);
        return text;
    }

    // `result += connector + line` for every line of `text`.
    bool add_lines(Ref& result, PyObject* text, const Connector& c) {
        Ref first = str((std::string("\n") + c.first).c_str());
        Ref further = str((std::string("\n") + c.further).c_str());
        if (!first || !further) return false;
#if PY_VERSION_HEX < 0x030C0000
        if (PyUnicode_READY(text) < 0) return false;
#endif
        Py_ssize_t n = PyUnicode_GET_LENGTH(text), start = 0;
        PyObject* prefix = first;
        for (;;) {
            Py_ssize_t nl = PyUnicode_FindChar(text, '\n', start, n, 1);
            if (nl == -2) return false;
            Ref line = Ref::steal(PyUnicode_Substring(text, start, nl < 0 ? n : nl));
            Ref piece = line ? Ref::steal(PyUnicode_Concat(prefix, line)) : Ref();
            if (!piece) return false;
            result = Ref::steal(PyNumber_InPlaceAdd(result, piece));
            if (!result) return false;
            if (nl < 0) return true;
            prefix = further;
            start = nl + 1;
        }
    }

    // A node with children whose name is not exactly a str: the text is
    // built onto the name with `+=`, so a name of another type fails (or
    // combines) as that type's addition decides.
    Ref any_name_str(PyObject* node, Ref result) {
        Ref children = getattr(node, children_);
        Ref head = children ? all_but_last(children) : Ref();
        if (!head) return {};
        children.reset();
        Items items(std::move(head));
        if (!items.ok()) return {};
        while (Ref child = items.next()) {
            Ref text = child_text(child);
            if (!text || !add_lines(result, text, middle_child)) return {};
        }
        if (PyErr_Occurred()) return {};
        children = getattr(node, children_);
        Ref last = children ? last_of(children) : Ref();
        if (!last) return {};
        children.reset();
        Ref text = child_text(last);
        if (!text || !add_lines(result, text, last_child)) return {};
        return result;
    }

    Function& f_;
    PyObject* name_;
    PyObject* children_;
    PyObject* str_;
    TextBuffer out_;
    std::string prefix_;  // the prefix of every further line at this depth
};

// ---------------------------------------------------------------------------
// Sprig

Ref Sprig_init(Function& f, Args a) {
    PyObject *self = a[0], *name = a[1];
    Ref children = Ref::borrow(a[2]);
    int given = truth(children);
    if (given < 0) return {};
    if (!given) {
        children = Ref::steal(PyList_New(0));
        if (!children) return {};
    }
    if (PyObject_SetAttr(self, f.s("name"), name) < 0) return {};
    if (PyObject_SetAttr(self, f.s("children"), children) < 0) return {};
    return none();
}

Ref Sprig_add_child(Function& f, Args a) {
    PyObject *self = a[0], *item = a[1];
    Ref children = getattr(self, f.s("children"));
    if (!children || !call_method(children, f.s("append"), {item})) return {};
    return none();
}

Ref Sprig_str(Function& f, Args a) {
    try {
        return Renderer(f).node_str(a[0]);
    } catch (const std::exception&) {
        PyErr_NoMemory();
        return {};
    }
}

// ---------------------------------------------------------------------------
// Module

int exec_sprig(PyObject* m) {
    Ref sprig = make_class(m, "Sprig", {reinterpret_cast<PyObject*>(&PyBaseObject_Type)},
                           Sprig_doc,
                           {
                               method("__init__", Sprig_init, "(self, name, children=None)",
                                      init_doc),
                               method("add_child", Sprig_add_child, "(self, item)",
                                      add_child_doc),
                               method("__str__", Sprig_str, "(self)", str_doc),
                           });
    return set_global(m, "Sprig", sprig);
}

}  // namespace

KORVO_MODULE(sprig, module_doc, exec_sprig)
