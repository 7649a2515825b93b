#include "module.hpp"

#include "errors.hpp"
#include "function.hpp"
#include "generator.hpp"

#include <new>

namespace korvo {

PyObject* State::intern(const char* text) {
    Ref& slot = strings[text];
    if (!slot) {
        slot = Ref::steal(PyUnicode_InternFromString(text));
        if (!slot) {
            strings.erase(text);
            return nullptr;
        }
    }
    return slot.get();
}

PyObject* State::memo(const char* which) {
    Ref& slot = memos[which];
    if (!slot) {
        slot = Ref::steal(PyDict_New());
        if (!slot) {
            memos.erase(which);
            return nullptr;
        }
    }
    return slot.get();
}

State& state_of(PyObject* module) { return *static_cast<State*>(PyModule_GetState(module)); }

int set_global(PyObject* module, const char* name, const Ref& value) {
    if (!value) return -1;
    return PyModule_AddObjectRef(module, name, value);
}

namespace {

// `from <module> import <name>` relative to `globals` at `level`.
Ref import_name(const char* module, const char* name, PyObject* globals, int level) {
    Ref fromlist = Ref::steal(Py_BuildValue("(s)", name));
    if (!fromlist) return {};
    Ref mod = Ref::steal(PyImport_ImportModuleLevel(module, globals, nullptr, fromlist, level));
    Ref key = mod ? str(name) : Ref();
    if (!key) return {};
    Ref v = Ref::steal(PyObject_GetAttr(mod, key));
    if (!v && error_matches(PyExc_AttributeError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
    }
    return v;
}

}  // namespace

Ref import_from(const char* module, const char* name) {
    return import_name(module, name, nullptr, 0);
}

Ref import_sibling(PyObject* module, const char* sibling, const char* name) {
    return import_name(sibling, name, PyModule_GetDict(module), 1);
}

int module_setup(PyObject* m) {
    State* st = new (PyModule_GetState(m)) State();
    st->ready = true;
    st->module = m;
    st->function_type = Ref::steal(create_function_type(m));
    if (!st->function_type) return -1;
    st->generator_type = Ref::steal(create_generator_type(m));
    if (!st->generator_type) return -1;
    return 0;
}

int module_traverse(PyObject* m, visitproc visit, void* arg) {
    State* st = static_cast<State*>(PyModule_GetState(m));
    if (!st || !st->ready) return 0;
    Py_VISIT(st->function_type.get());
    Py_VISIT(st->generator_type.get());
    return 0;
}

int module_clear(PyObject* m) {
    State* st = static_cast<State*>(PyModule_GetState(m));
    if (!st || !st->ready) return 0;
    st->function_type.reset();
    st->generator_type.reset();
    return 0;
}

void module_free(void* m) {
    State* st = static_cast<State*>(PyModule_GetState(static_cast<PyObject*>(m)));
    if (!st || !st->ready) return;
    st->~State();
}

}  // namespace korvo
