#include "function.hpp"

#include "errors.hpp"

#include <cstddef>
#include <string>
#include <string_view>

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define Py_T_PYSSIZET T_PYSSIZET
#define Py_READONLY READONLY
#endif

namespace korvo {

// ---------------------------------------------------------------------------
// Signatures

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// Splits the inside of "(...)" at top-level commas.
std::vector<std::string_view> split_params(std::string_view text) {
    std::vector<std::string_view> out;
    int depth = 0;
    char quote = 0;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (quote) {
            if (c == '\\') ++i;
            else if (c == quote) quote = 0;
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '(' || c == '[' || c == '{') {
            ++depth;
        } else if (c == ')' || c == ']' || c == '}') {
            --depth;
        } else if (c == ',' && depth == 0) {
            out.push_back(trim(text.substr(start, i - start)));
            start = i + 1;
        }
    }
    std::string_view last = trim(text.substr(start));
    if (!last.empty()) out.push_back(last);
    return out;
}

Ref evaluate_default(std::string_view text) {
    Ref builtins = import("builtins");
    if (!builtins) return {};
    Ref globals = Ref::steal(PyDict_New());
    if (!globals || PyDict_SetItemString(globals, "__builtins__", builtins) < 0) return {};
    std::string code(text);
    return Ref::steal(PyRun_String(code.c_str(), Py_eval_input, globals, globals));
}

std::shared_ptr<const Signature> parse_signature(const char* text) {
    auto sig = std::make_shared<Signature>();
    sig->text = str(text);
    if (!sig->text) return nullptr;
    std::string_view body = trim(text);
    if (body.size() < 2 || body.front() != '(' || body.back() != ')') {
        PyErr_Format(PyExc_SystemError, "bad native signature %s", text);
        return nullptr;
    }
    bool keyword_only = false;
    for (std::string_view tok : split_params(body.substr(1, body.size() - 2))) {
        if (tok == "/") {
            for (Param& p : sig->params) p.kind = Param::PositionalOnly;
            continue;
        }
        if (tok == "*") {
            keyword_only = true;
            continue;
        }
        Param p;
        if (tok.starts_with("**")) {
            p.kind = Param::VarKeyword;
            tok.remove_prefix(2);
            sig->var_keyword = static_cast<Py_ssize_t>(sig->params.size());
        } else if (tok.starts_with("*")) {
            p.kind = Param::VarPositional;
            tok.remove_prefix(1);
            keyword_only = true;
            sig->var_positional = static_cast<Py_ssize_t>(sig->params.size());
        } else {
            p.kind = keyword_only ? Param::KeywordOnly : Param::PositionalOrKeyword;
            if (!keyword_only) ++sig->positional;
        }
        size_t eq = tok.find('=');
        if (eq != std::string_view::npos) {
            p.fallback = evaluate_default(trim(tok.substr(eq + 1)));
            if (!p.fallback) return nullptr;
            if (p.kind == Param::PositionalOrKeyword) ++sig->positional_defaults;
            tok = trim(tok.substr(0, eq));
        }
        p.name = Ref::steal(PyUnicode_InternFromString(std::string(tok).c_str()));
        if (!p.name) return nullptr;
        sig->params.push_back(std::move(p));
    }
    if (sig->params.size() > Signature::max_params) {
        PyErr_Format(PyExc_SystemError, "too many parameters in native signature %s", text);
        return nullptr;
    }
    return sig;
}

// ---------------------------------------------------------------------------
// The interpreter's messages for bad calls

Ref quoted_names(const std::vector<PyObject*>& names) {
    std::vector<Ref> reprs;
    for (PyObject* n : names) {
        reprs.push_back(Ref::steal(PyObject_Repr(n)));
        if (!reprs.back()) return {};
    }
    size_t n = reprs.size();
    if (n == 1) return reprs[0];
    if (n == 2) return Ref::steal(PyUnicode_FromFormat("%U and %U", reprs[0].get(), reprs[1].get()));
    Ref out = Ref::steal(PyUnicode_FromFormat("%U", reprs[0].get()));
    for (size_t i = 1; out && i + 1 < n; ++i)
        out = Ref::steal(PyUnicode_FromFormat("%U, %U", out.get(), reprs[i].get()));
    if (!out) return {};
    return Ref::steal(PyUnicode_FromFormat("%U, and %U", out.get(), reprs[n - 1].get()));
}

PyObject* missing_arguments(Function* f, const char* kind, const std::vector<PyObject*>& names) {
    Ref listed = quoted_names(names);
    if (!listed) return nullptr;
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required %s argument%s: %U", f->qualname,
                 static_cast<Py_ssize_t>(names.size()), kind, names.size() == 1 ? "" : "s",
                 listed.get());
    return nullptr;
}

PyObject* too_many_positional(Function* f, Py_ssize_t given, PyObject* const* slots) {
    const Signature& s = f->signature();
    Py_ssize_t kwonly_given = 0;
    for (size_t i = 0; i < s.params.size(); ++i)
        if (s.params[i].kind == Param::KeywordOnly && slots[i]) ++kwonly_given;
    Ref sig;
    bool plural;
    if (s.positional_defaults) {
        plural = true;
        sig = Ref::steal(PyUnicode_FromFormat("from %zd to %zd", s.positional - s.positional_defaults,
                                              s.positional));
    } else {
        plural = s.positional != 1;
        sig = Ref::steal(PyUnicode_FromFormat("%zd", s.positional));
    }
    if (!sig) return nullptr;
    Ref kwonly = kwonly_given
                     ? Ref::steal(PyUnicode_FromFormat(
                           " positional argument%s (and %zd keyword-only argument%s)",
                           given != 1 ? "s" : "", kwonly_given, kwonly_given != 1 ? "s" : ""))
                     : str("");
    if (!kwonly) return nullptr;
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given",
                 f->qualname, sig.get(), plural ? "s" : "", given, kwonly.get(),
                 given == 1 && !kwonly_given ? "was" : "were");
    return nullptr;
}

bool same_name(PyObject* a, PyObject* b) {
    return a == b || (PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) &&
                      PyUnicode_Compare(a, b) == 0);
}

// ---------------------------------------------------------------------------
// The function type

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    Function* f = reinterpret_cast<Function*>(callable);
    const Signature& s = f->signature();
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const size_t nparams = s.params.size();
    // Every parameter given by position, nothing else: the arguments are
    // the slots.
    if (!kwnames && nargs == s.positional && static_cast<size_t>(nargs) == nparams)
        return f->impl(*f, Args{args}).release();
    PyObject* slots[Signature::max_params] = {};
    Ref var_positional, var_keyword;

    Py_ssize_t taken = nargs < s.positional ? nargs : s.positional;
    for (Py_ssize_t i = 0; i < taken; ++i) slots[i] = args[i];
    if (s.var_positional >= 0) {
        Py_ssize_t extra = nargs > s.positional ? nargs - s.positional : 0;
        var_positional = Ref::steal(PyTuple_New(extra));
        if (!var_positional) return nullptr;
        for (Py_ssize_t i = 0; i < extra; ++i)
            PyTuple_SET_ITEM(var_positional.get(), i, Py_NewRef(args[s.positional + i]));
        slots[s.var_positional] = var_positional;
    }
    if (s.var_keyword >= 0) {
        var_keyword = Ref::steal(PyDict_New());
        if (!var_keyword) return nullptr;
        slots[s.var_keyword] = var_keyword;
    }

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, j);
        PyObject* value = args[nargs + j];
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%U() keywords must be strings", f->qualname);
            return nullptr;
        }
        size_t found = nparams;
        for (size_t i = 0; i < nparams && found == nparams; ++i) {
            Param::Kind k = s.params[i].kind;
            if ((k == Param::PositionalOrKeyword || k == Param::KeywordOnly) &&
                same_name(s.params[i].name, key))
                found = i;
        }
        if (found < nparams) {
            if (slots[found]) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'",
                             f->qualname, key);
                return nullptr;
            }
            slots[found] = value;
            continue;
        }
        if (var_keyword) {
            if (PyDict_SetItem(var_keyword, key, value) < 0) return nullptr;
            continue;
        }
        for (size_t i = 0; i < nparams; ++i) {
            if (s.params[i].kind == Param::PositionalOnly && same_name(s.params[i].name, key)) {
                PyErr_Format(PyExc_TypeError,
                             "%U() got some positional-only arguments passed as keyword "
                             "arguments: '%U'",
                             f->qualname, key);
                return nullptr;
            }
        }
        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname,
                     key);
        return nullptr;
    }

    if (nargs > s.positional && s.var_positional < 0) return too_many_positional(f, nargs, slots);

    std::vector<PyObject*> missing;
    for (Py_ssize_t i = nargs; i < s.positional; ++i) {
        if (slots[i]) continue;
        if (s.params[i].fallback) slots[i] = s.params[i].fallback;
        else missing.push_back(s.params[i].name);
    }
    if (!missing.empty()) return missing_arguments(f, "positional", missing);
    for (size_t i = 0; i < nparams; ++i) {
        if (s.params[i].kind != Param::KeywordOnly || slots[i]) continue;
        if (s.params[i].fallback) slots[i] = s.params[i].fallback;
        else missing.push_back(s.params[i].name);
    }
    if (!missing.empty()) return missing_arguments(f, "keyword-only", missing);

    return f->impl(*f, Args{slots}).release();
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Function* f = reinterpret_cast<Function*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module_name);
    Py_VISIT(f->doc);
    Py_VISIT(f->dict);
    Py_VISIT(f->module);
    Py_VISIT(f->globals);
    Py_VISIT(f->cls);
    Py_VISIT(f->closure);
    for (SuperCacheEntry& e : f->super_cache) Py_VISIT(e.descr);
    return 0;
}

int function_clear(PyObject* self) {
    Function* f = reinterpret_cast<Function*>(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module_name);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->module);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->cls);
    Py_CLEAR(f->closure);
    for (SuperCacheEntry& e : f->super_cache) {
        e.name = nullptr;
        e.type = nullptr;
        Py_CLEAR(e.descr);
    }
    return 0;
}

void function_dealloc(PyObject* self) {
    Function* f = reinterpret_cast<Function*>(self);
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (f->weaklist) PyObject_ClearWeakRefs(self);
    function_clear(self);
    delete f->sig;
    f->sig = nullptr;
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", reinterpret_cast<Function*>(self)->qualname,
                                self);
}

PyObject* function_reduce(PyObject* self, PyObject*) {
    // Pickled by reference, like Python functions.
    return Py_NewRef(reinterpret_cast<Function*>(self)->qualname);
}

template <size_t Offset>
PyObject* get_field(PyObject* self, void*) {
    PyObject* v = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset);
    return Py_NewRef(v ? v : Py_None);
}

template <size_t Offset, bool StrOnly>
int set_field(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || (StrOnly && !PyUnicode_Check(value))) {
        PyErr_SetString(PyExc_TypeError, "__name__ and __qualname__ must be set to a string object");
        return -1;
    }
    PyObject** slot = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset);
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}

PyObject* get_text_signature(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<Function*>(self)->signature().text.get());
}

#define FIELD(member) offsetof(Function, member)

PyGetSetDef function_getset[] = {
    {"__name__", get_field<FIELD(name)>, set_field<FIELD(name), true>, nullptr, nullptr},
    {"__qualname__", get_field<FIELD(qualname)>, set_field<FIELD(qualname), true>, nullptr, nullptr},
    {"__module__", get_field<FIELD(module_name)>, set_field<FIELD(module_name), false>, nullptr,
     nullptr},
    {"__doc__", get_field<FIELD(doc)>, set_field<FIELD(doc), false>, nullptr, nullptr},
    {"__globals__", get_field<FIELD(globals)>, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, FIELD(vectorcall), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, FIELD(dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, FIELD(weaklist), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

#undef FIELD

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "korvo.datastructures.function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

Function* new_function(State& st, Impl impl, const char* signature) {
    auto& cached = st.signatures[signature];
    if (!cached) {
        cached = parse_signature(signature);
        if (!cached) {
            st.signatures.erase(signature);
            return nullptr;
        }
    }
    PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(st.function_type.get());
    Function* f = PyObject_GC_New(Function, tp);
    if (!f) return nullptr;
    f->vectorcall = function_vectorcall;
    f->impl = impl;
    f->sig = new std::shared_ptr<const Signature>(cached);
    f->state = &st;
    f->name = f->qualname = f->module_name = f->doc = nullptr;
    f->dict = f->weaklist = f->module = f->globals = f->cls = f->closure = nullptr;
    for (SuperCacheEntry& e : f->super_cache) e = SuperCacheEntry{nullptr, nullptr, 0, nullptr};
    f->super_cache_next = 0;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return f;
}

}  // namespace

PyObject* create_function_type(PyObject* module) {
    return PyType_FromModuleAndSpec(module, &function_spec, nullptr);
}

bool is_function(PyObject* obj) {
    // Every module has its own copy of the type; they share one type name.
    PyTypeObject* tp = Py_TYPE(obj);
    return tp->tp_vectorcall_offset == offsetof(Function, vectorcall) &&
           tp->tp_dealloc == function_dealloc;
}

void set_defining_class(PyObject* fn, PyObject* cls) {
    Function* f = reinterpret_cast<Function*>(fn);
    Py_XSETREF(f->cls, Py_NewRef(cls));
}

void set_closure_data(PyObject* fn, PyObject* data) {
    Function* f = reinterpret_cast<Function*>(fn);
    Py_XSETREF(f->closure, Py_XNewRef(data));
}

Ref make_function(PyObject* module, const char* qualname, Impl impl, const char* signature,
                  const char* doc, PyObject* closure) {
    State& st = state_of(module);
    Function* f = new_function(st, impl, signature);
    if (!f) return {};
    Ref result = Ref::steal(reinterpret_cast<PyObject*>(f));
    std::string_view q(qualname);
    size_t dot = q.rfind('.');
    const char* name = dot == std::string_view::npos ? qualname : qualname + dot + 1;
    f->qualname = PyUnicode_FromString(qualname);
    f->name = PyUnicode_FromString(name);
    f->module_name = PyObject_GetAttrString(module, "__name__");
    f->doc = doc ? PyUnicode_FromString(doc) : Py_NewRef(Py_None);
    f->module = Py_NewRef(module);
    f->globals = Py_NewRef(PyModule_GetDict(module));
    f->closure = Py_XNewRef(closure);
    if (!f->qualname || !f->name || !f->module_name || !f->doc) return {};
    return result;
}

Ref Function::closure_function(const char* name, Impl fn_impl, const char* signature,
                               PyObject* data) {
    Function* f = new_function(*state, fn_impl, signature);
    if (!f) return {};
    Ref result = Ref::steal(reinterpret_cast<PyObject*>(f));
    f->name = PyUnicode_FromString(name);
    f->qualname = PyUnicode_FromFormat("%U.<locals>.%s", qualname, name);
    f->module_name = Py_XNewRef(module_name);
    f->doc = Py_NewRef(Py_None);
    f->module = Py_NewRef(module);
    f->globals = Py_NewRef(globals);
    f->cls = Py_XNewRef(cls);
    f->closure = Py_XNewRef(data);
    if (!f->name || !f->qualname) return {};
    return result;
}

Ref Function::global(const char* text) {
    PyObject* key = s(text);
    if (!key) return {};
    PyObject* v = PyDict_GetItemWithError(globals, key);
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) return {};
    PyObject* builtins = PyEval_GetBuiltins();
    v = builtins ? PyDict_GetItemWithError(builtins, key) : nullptr;
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) return {};
    return raisef(PyExc_NameError, "name '%U' is not defined", key);
}

// ---------------------------------------------------------------------------
// Calling descriptors found on types

namespace {

// The descriptor bound to obj as an attribute lookup through `owner` would.
Ref bind_descriptor(PyObject* descr, PyObject* obj, PyTypeObject* owner) {
    descrgetfunc get = Py_TYPE(descr)->tp_descr_get;
    if (!get) return Ref::borrow(descr);
    return Ref::steal(get(descr, obj == reinterpret_cast<PyObject*>(owner) ? nullptr : obj,
                          reinterpret_cast<PyObject*>(owner)));
}

}  // namespace

Ref call_descriptor(PyObject* descr, PyObject* obj, PyTypeObject* owner,
                    std::initializer_list<PyObject*> args) {
    PyObject* stack[Signature::max_params + 1];
    size_t n = 0;
    Ref bound;
    if (PyType_HasFeature(Py_TYPE(descr), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
        stack[n++] = obj;  // unbound call, no bound-method object
        bound = Ref::borrow(descr);
    } else {
        bound = bind_descriptor(descr, obj, owner);
        if (!bound) return {};
    }
    for (PyObject* a : args) stack[n++] = a;
    return Ref::steal(PyObject_Vectorcall(bound, stack, n, nullptr));
}

Ref call_descriptor_tuple(PyObject* descr, PyObject* obj, PyTypeObject* owner, PyObject* args,
                          PyObject* kwargs) {
    Ref bound = bind_descriptor(descr, obj, owner);
    return bound ? call_tuple(bound, args, kwargs) : Ref();
}

namespace {

Ref class_lookup(PyTypeObject* tp, PyObject* name) {
    if (!name) return {};
    Ref descr = Ref::borrow(_PyType_Lookup(tp, name));
    if (!descr && !PyErr_Occurred())
        raisef(PyExc_AttributeError, "'%.100s' object has no attribute '%U'", tp->tp_name, name);
    return descr;
}

}  // namespace

Ref call_class_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args) {
    Ref descr = class_lookup(Py_TYPE(obj), name);
    if (!descr) return {};
    return call_descriptor(descr, obj, Py_TYPE(obj), args);
}

Ref call_class_method_tuple(PyObject* obj, PyObject* name, PyObject* args, PyObject* kwargs) {
    Ref descr = class_lookup(Py_TYPE(obj), name);
    if (!descr) return {};
    if (PyTuple_GET_SIZE(args) == 0 && (!kwargs || PyDict_GET_SIZE(kwargs) == 0))
        return call_descriptor(descr, obj, Py_TYPE(obj), {});
    return call_descriptor_tuple(descr, obj, Py_TYPE(obj), args, kwargs);
}

}  // namespace korvo
