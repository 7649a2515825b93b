// korvo.datastructures.logic: composable yes/no tests over items, built from
// regular expressions, callables and nested logic objects, with a text form
// that logic_str reads back.
#include "common/korvo.hpp"

#include <vector>

using namespace korvo;

namespace {

const char* const module_doc =
    "Logic expressions.\n"
    "\n"
    "And, Or and Not combine regular expressions, callables and other logic\n"
    "objects into a test that is called with one or more items and answers\n"
    "True or False. str() gives a text form that logic_str turns back into\n"
    "the object.";

const char* const BaseLogic_doc =
    "Common base of the logic classes.\n"
    "\n"
    "It only holds the code the logic classes share and performs no\n"
    "meaningful test by itself: calling it raises NotImplementedError.";

const char* const BaseLogic_init_doc =
    "Prepare the expressions.\n"
    "\n"
    "Strings are compiled into regular-expression searches; callables\n"
    "(nested logic objects included) are stored as they are. Anything else\n"
    "raises TypeError.";

const char* const BaseLogic_call_doc =
    "Feed the items to every expression.\n"
    "\n"
    "String expressions search the text form of each item, callables are\n"
    "called with each item, nested logic objects get all items at once. For\n"
    "a list of items an expression counts as true when it is true for at\n"
    "least one item.";

const char* const BaseLogic_str_doc =
    "Return the text form, for example And('a', Not('b')).";

const char* const BaseLogic_repr_doc = "The same as str().";

const char* const BaseLogic_eq_doc =
    "Equal when the types are the same and the contained expressions are equal.";

const char* const And_doc =
    "True when all expressions are satisfied.\n"
    "\n"
    "For a list of items, each expression needs to be true for at least one\n"
    "of the items.";

const char* const Or_doc =
    "True when one or more expressions are satisfied.\n"
    "\n"
    "For a list of items, one expression true for one item suffices.";

const char* const Not_doc =
    "True when no expression is satisfied.\n"
    "\n"
    "For a list of items, it is true only when every test is false.";

const char* const logic_str_doc =
    "Convert the string form of a logic expression into logic objects.\n"
    "\n"
    "Mostly meant for parsing command-line arguments:\n"
    "\n"
    "    >>> logic_str(\"And('a', 'b')\")('ab')\n"
    "    True\n"
    "\n"
    "WARNING: the text is evaluated as a Python expression with the full\n"
    "power of the interpreter; nothing restricts what it can do. Never pass\n"
    "text from an untrusted source.\n"
    "\n"
    ":param string: the string form of the logic\n"
    ":return: a logic expression object";

// ---------------------------------------------------------------------------
// BaseLogic

Ref BaseLogic_init(Function& f, Args a) {
    PyObject *self = a[0], *expressions = a[1];
    Ref fresh = Ref::steal(PyList_New(0));
    if (!fresh || PyObject_SetAttr(self, f.s("expressions"), fresh) < 0) return {};
    // The tuple of arguments is immutable and held by the call.
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(expressions); ++i) {
        PyObject* expression = PyTuple_GET_ITEM(expressions, i);
        Ref entry;
        if (PyUnicode_Check(expression)) {
            Ref re = f.global("re");
            Ref compile = re ? getattr(re, f.s("compile")) : Ref();
            entry = compile ? call(compile, {expression}) : Ref();
            if (!entry) return {};
        } else if (!PyCallable_Check(expression)) {
            Ref message = Ref::steal(PyUnicode_FromFormat(
                "Expression only accepts str and callable. Got: %S (%S)", expression,
                reinterpret_cast<PyObject*>(Py_TYPE(expression))));
            if (!message) return {};
            return raise_obj(PyExc_TypeError, message);
        } else {
            entry = Ref::borrow(expression);
        }
        Ref target = getattr(self, f.s("expressions"));
        if (!target || !call_method(target, f.s("append"), {entry})) return {};
    }
    return none();
}

Ref BaseLogic_call(Function&, Args) {
    PyErr_SetNone(PyExc_NotImplementedError);
    return {};
}

Ref BaseLogic_str(Function& f, Args a) {
    PyObject* self = a[0];
    RecursionGuard guard(" while rendering a logic expression");
    if (!guard) return {};
    Ref parts = Ref::steal(PyList_New(0));
    Ref expressions = getattr(self, f.s("expressions"));
    Ref it = expressions && parts ? Ref::steal(PyObject_GetIter(expressions)) : Ref();
    if (!it) return {};
    while (Ref entry = Ref::steal(PyIter_Next(it))) {
        Ref part;
        if (PyCallable_Check(entry)) {
            part = Ref::steal(PyObject_Repr(entry));
        } else {
            Ref pattern = getattr(entry, f.s("pattern"));
            if (pattern) part = Ref::steal(PyUnicode_Format(f.s("'%s'"), pattern));
        }
        if (!part || PyList_Append(parts, part) < 0) return {};
    }
    if (PyErr_Occurred()) return {};
    Ref name = getattr(reinterpret_cast<PyObject*>(Py_TYPE(self)), f.s("__name__"));
    Ref joined = Ref::steal(PyUnicode_Join(f.s(", "), parts));
    if (!name || !joined) return {};
    Ref head = Ref::steal(PyUnicode_Concat(name, f.s("(")));
    Ref body = head ? Ref::steal(PyUnicode_Concat(head, joined)) : Ref();
    return body ? Ref::steal(PyUnicode_Concat(body, f.s(")"))) : Ref();
}

Ref BaseLogic_repr(Function&, Args a) { return Ref::steal(PyObject_Str(a[0])); }

Ref BaseLogic_eq(Function& f, Args a) {
    PyObject *self = a[0], *other = a[1];
    if (Py_TYPE(self) != Py_TYPE(other)) return boolean(false);
    RecursionGuard guard(" while comparing logic expressions");
    if (!guard) return {};
    Ref mine = getattr(self, f.s("expressions"));
    Ref theirs = mine ? getattr(other, f.s("expressions")) : Ref();
    if (!theirs) return {};
    return Ref::steal(PyObject_RichCompare(mine, theirs, Py_EQ));
}

// ---------------------------------------------------------------------------
// Evaluation

// `obj.name`, looked up for a call. When obj has no instance dictionary and
// the generic lookup would only bind a method found on its type (compiled
// patterns and `search`), that method is returned unbound and `unbound` set:
// the caller passes obj first, saving a bound-method object per call.
Ref method_of(PyObject* obj, PyObject* name, bool& unbound) {
    PyTypeObject* tp = Py_TYPE(obj);
    unbound = false;
    if (tp->tp_getattro == PyObject_GenericGetAttr && tp->tp_dictoffset == 0 &&
        !PyType_HasFeature(tp, Py_TPFLAGS_MANAGED_DICT)) {
        PyObject* descr = _PyType_Lookup(tp, name);
        if (descr && PyType_HasFeature(Py_TYPE(descr), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
            unbound = true;
            return Ref::borrow(descr);
        }
    }
    return getattr(obj, name);
}

// Verdict of one expression over all items: 1 true, 0 false, -1 error.
// Callables and patterns are applied to every item first, then the results
// are truth-tested in order until the first true one. `results` is scratch
// space owned by the calling __call__.
int verdict(Function& f, PyObject* expr, PyObject* items, std::vector<Ref>& results) {
    Ref base = f.global("BaseLogic");
    if (!base) return -1;
    int nested = PyObject_IsInstance(expr, base);
    if (nested < 0) return -1;
    if (nested) {
        Ref answer = call_tuple(expr, items, nullptr);
        return answer ? truth(answer) : -1;
    }
    const bool is_callable = PyCallable_Check(expr);
    PyObject* search = is_callable ? nullptr : f.s("search");
    if (!is_callable && !search) return -1;
    results.clear();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items); ++i) {
        PyObject* item = PyTuple_GET_ITEM(items, i);
        Ref result;
        if (is_callable) {
            result = call(expr, {item});
        } else {
            // `expr.search(str(item))`: the method is looked up before the
            // item's text is taken.
            bool unbound = false;
            Ref method = method_of(expr, search, unbound);
            Ref text = method ? Ref::steal(PyObject_Str(item)) : Ref();
            if (text) result = unbound ? call(method, {expr, text}) : call(method, {text});
        }
        if (!result) return -1;
        results.push_back(std::move(result));
    }
    for (const Ref& result : results) {
        int t = truth(result);
        if (t != 0) return t;
    }
    return 0;
}

// Walks self.expressions, stopping at the first verdict equal to `stop_on`;
// answers `stopped` then, `!stopped` when every expression was evaluated.
Ref combine(Function& f, PyObject* self, PyObject* items, bool stop_on, bool stopped) {
    RecursionGuard guard(" while evaluating a logic expression");
    if (!guard) return {};
    Ref expressions = getattr(self, f.s("expressions"));
    Ref it = expressions ? Ref::steal(PyObject_GetIter(expressions)) : Ref();
    if (!it) return {};
    std::vector<Ref> results;
    results.reserve(static_cast<size_t>(PyTuple_GET_SIZE(items)));
    while (Ref expr = Ref::steal(PyIter_Next(it))) {
        int v = verdict(f, expr, items, results);
        if (v < 0) return {};
        if ((v == 1) == stop_on) return boolean(stopped);
    }
    if (PyErr_Occurred()) return {};
    return boolean(!stopped);
}

Ref And_call(Function& f, Args a) { return combine(f, a[0], a[1], false, false); }
Ref Or_call(Function& f, Args a) { return combine(f, a[0], a[1], true, true); }
Ref Not_call(Function& f, Args a) { return combine(f, a[0], a[1], true, false); }

// ---------------------------------------------------------------------------
// logic_str

// True when the interpreter runs with assertions disabled (-O).
int assertions_disabled() {
    Ref flags = Ref::borrow(PySys_GetObject("flags"));
    if (!flags) return 0;
    Ref optimize = Ref::steal(PyObject_GetAttrString(flags, "optimize"));
    if (!optimize) return -1;
    return truth(optimize);
}

// Evaluates the decoded text in the module namespace and checks the result.
Ref evaluate_logic(Function& f, PyObject* text) {
    PyObject* builtins = PyEval_GetBuiltins();
    PyObject* eval = builtins ? PyDict_GetItemWithError(builtins, f.s("eval")) : nullptr;
    if (!eval) {
        if (!PyErr_Occurred()) raise(PyExc_NameError, "name 'eval' is not defined");
        return {};
    }
    Ref keep_eval = Ref::borrow(eval);
    Ref locals = Ref::steal(PyDict_New());
    if (!locals || PyDict_SetItem(locals, f.s("string"), text) < 0) return {};
    Ref result = call(keep_eval, {text, f.globals, locals.get()});
    if (!result) return {};
    int skip = assertions_disabled();
    if (skip < 0) return {};
    if (skip) return result;
    Ref base = f.global("BaseLogic");
    if (!base) return {};
    int ok = PyObject_IsInstance(result, base);
    if (ok < 0) return {};
    if (!ok) {
        PyErr_SetNone(PyExc_AssertionError);
        return {};
    }
    return result;
}

Ref logic_str(Function& f, Args a) {
    Ref decode = f.global("decode_cli_string");
    Ref text = decode ? call(decode, {a[0]}) : Ref();
    if (!text) return {};
    Ref result = evaluate_logic(f, text);
    if (result || !error_matches(PyExc_Exception)) return result;
    // Raised while the caught exception is being handled, so it becomes the
    // new one's __context__ (also when formatting the message fails).
    Ref caught = fetch_error();
    HandlingScope handling(caught);
    Ref message = Ref::steal(
        PyUnicode_Format(f.s("Not a properly formatted logic string: %s"), text));
    if (!message) return {};
    return raise_obj(PyExc_ValueError, message);
}

// ---------------------------------------------------------------------------
// Module

int exec_logic(PyObject* m) {
    if (set_global(m, "re", import("re")) < 0) return -1;
    Ref logging = import("logging");
    if (set_global(m, "logging", logging) < 0) return -1;
    if (set_global(m, "decode_cli_string",
                   import_from("korvo.utils.strings", "decode_cli_string")) < 0)
        return -1;
    Ref names = Ref::steal(Py_BuildValue("[sss]", "And", "Or", "Not"));
    if (set_global(m, "__all__", names) < 0) return -1;
    Ref module_name = Ref::steal(PyObject_GetAttrString(m, "__name__"));
    Ref get_logger = getattr(logging, Ref(str("getLogger")));
    if (!module_name || !get_logger) return -1;
    if (set_global(m, "logger", call(get_logger, {module_name})) < 0) return -1;

    Ref base = make_class(
        m, "BaseLogic", {reinterpret_cast<PyObject*>(&PyBaseObject_Type)}, BaseLogic_doc,
        {
            method("__init__", BaseLogic_init, "(self, *expressions)", BaseLogic_init_doc),
            method("__call__", BaseLogic_call, "(self)", BaseLogic_call_doc),
            method("__str__", BaseLogic_str, "(self)", BaseLogic_str_doc),
            method("__repr__", BaseLogic_repr, "(self)", BaseLogic_repr_doc),
            method("__eq__", BaseLogic_eq, "(self, other)", BaseLogic_eq_doc),
        });
    if (set_global(m, "BaseLogic", base) < 0) return -1;

    struct Derived {
        const char* name;
        Impl call;
        const char* doc;
    };
    for (const Derived& d : {Derived{"And", And_call, And_doc}, Derived{"Or", Or_call, Or_doc},
                             Derived{"Not", Not_call, Not_doc}}) {
        Ref cls = make_class(m, d.name, {base.get()}, d.doc,
                             {method("__call__", d.call, "(self, *items)")});
        if (set_global(m, d.name, cls) < 0) return -1;
    }
    return set_global(m, "logic_str",
                      make_function(m, "logic_str", logic_str, "(string)", logic_str_doc));
}

}  // namespace

KORVO_MODULE(logic, module_doc, exec_logic)
