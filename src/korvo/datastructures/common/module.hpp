// Multi-phase module initialisation with per-module state.
//
// Every extension module of the package is declared with KORVO_MODULE: the
// module object owns a State holding the heap types of the native function
// and generator objects and a cache of interned strings, so nothing Python
// lives in process-wide statics and each (sub)interpreter gets its own copy.
#pragma once

#include "ref.hpp"

#include <memory>
#include <unordered_map>

namespace korvo {

struct Signature;

struct State {
    bool ready = false;
    PyObject* module = nullptr;           // borrowed: the state lives inside it
    Ref function_type;
    Ref generator_type;
    std::unordered_map<const char*, Ref> strings;
    std::unordered_map<const char*, std::shared_ptr<const Signature>> signatures;
    std::unordered_map<const char*, Ref> memos;

    // Interned string for a literal; borrowed reference, null on error.
    PyObject* intern(const char* text);
    // A dict the module keeps as a memo under the literal name `which`
    // (created empty on first use); borrowed reference, null on error. Its
    // contents must not refer back to objects that can hold the module.
    PyObject* memo(const char* which);
};

State& state_of(PyObject* module);

// Binds `name` in the module namespace; -1 on error (also when value is null).
int set_global(PyObject* module, const char* name, const Ref& value);
// `from <module> import <name>`, raising ImportError when the name is missing.
Ref import_from(const char* module, const char* name);
// Package-relative `from .<sibling> import <name>` for the module `module`.
Ref import_sibling(PyObject* module, const char* sibling, const char* name);

int module_traverse(PyObject* m, visitproc visit, void* arg);
int module_clear(PyObject* m);
void module_free(void* m);
int module_setup(PyObject* m);

template <int (*Exec)(PyObject*)>
int module_exec(PyObject* m) {
    if (module_setup(m) < 0) return -1;
    return Exec(m);
}

}  // namespace korvo

#if PY_VERSION_HEX >= 0x030C0000
#define KORVO_INTERPRETER_SLOT {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#else
#define KORVO_INTERPRETER_SLOT
#endif

// Declares the extension module korvo.datastructures.NAME whose contents are
// created by `int EXEC(PyObject* module)`.
#define KORVO_MODULE(NAME, DOC, EXEC)                                              \
    static PyModuleDef_Slot NAME##_slots[] = {                                     \
        {Py_mod_exec, reinterpret_cast<void*>(korvo::module_exec<EXEC>)},          \
        KORVO_INTERPRETER_SLOT{0, nullptr}};                                       \
    static PyModuleDef NAME##_def = {PyModuleDef_HEAD_INIT,                        \
                                     "korvo.datastructures." #NAME,                \
                                     DOC,                                          \
                                     sizeof(korvo::State),                         \
                                     nullptr,                                      \
                                     NAME##_slots,                                 \
                                     korvo::module_traverse,                       \
                                     korvo::module_clear,                          \
                                     korvo::module_free};                          \
    PyMODINIT_FUNC PyInit_##NAME(void) { return PyModuleDef_Init(&NAME##_def); }
