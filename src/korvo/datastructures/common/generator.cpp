#include "generator.hpp"

#include "errors.hpp"

namespace korvo {

namespace {

struct Generator {
    PyObject_HEAD
    GeneratorBody* body;  // null once finished
    PyObject* name;
    PyObject* qualname;
    PyObject* weaklist;
    bool started;
    bool running;
};

void finish(Generator* g) {
    GeneratorBody* body = g->body;
    g->body = nullptr;
    delete body;  // may run arbitrary code through decrefs
}

PyObject* resume(Generator* g) {
    if (g->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    if (!g->body) return nullptr;
    g->started = true;
    g->running = true;
    Ref out = g->body->next();
    g->running = false;
    if (!out) {
        if (PyErr_Occurred() && error_matches(PyExc_StopIteration)) {
            raise_chained(PyExc_RuntimeError, Ref(str("generator raised StopIteration")));
        }
        finish(g);
    }
    return out.release();
}

PyObject* gen_iternext(PyObject* self) { return resume(reinterpret_cast<Generator*>(self)); }

PyObject* gen_send(PyObject* self, PyObject* value) {
    Generator* g = reinterpret_cast<Generator*>(self);
    if (!g->started && value != Py_None && g->body) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return nullptr;
    }
    PyObject* out = resume(g);
    if (!out && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return out;
}

PyObject* gen_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    Generator* g = reinterpret_cast<Generator*>(self);
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        return nullptr;
    }
    if (g->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    PyObject* typ = args[0];
    PyObject* val = nargs > 1 ? args[1] : Py_None;
    Ref exc;
    if (PyExceptionInstance_Check(typ)) {
        if (val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        exc = Ref::borrow(typ);
    } else if (PyExceptionClass_Check(typ)) {
        if (PyExceptionInstance_Check(val) && PyObject_TypeCheck(val, (PyTypeObject*)typ))
            exc = Ref::borrow(val);
        else if (val == Py_None)
            exc = call(typ, {});
        else if (PyTuple_Check(val))
            exc = call_tuple(typ, val, nullptr);
        else
            exc = call(typ, {val});
        if (!exc) return nullptr;
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        return nullptr;
    }
    // The body has no handler: the exception ends the generator where it stands.
    finish(g);
    restore_error(std::move(exc));
    return nullptr;
}

PyObject* gen_close(PyObject* self, PyObject*) {
    Generator* g = reinterpret_cast<Generator*>(self);
    if (g->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    finish(g);
    Py_RETURN_NONE;
}

PyObject* gen_iter(PyObject* self) { return Py_NewRef(self); }

PyObject* gen_repr(PyObject* self) {
    return PyUnicode_FromFormat("<generator object %U at %p>",
                                reinterpret_cast<Generator*>(self)->qualname, self);
}

int gen_traverse(PyObject* self, visitproc visit, void* arg) {
    Generator* g = reinterpret_cast<Generator*>(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(g->name);
    Py_VISIT(g->qualname);
    if (g->body && !g->running) return g->body->traverse(visit, arg);
    return 0;
}

int gen_clear(PyObject* self) {
    Generator* g = reinterpret_cast<Generator*>(self);
    if (!g->running) finish(g);
    Py_CLEAR(g->name);
    Py_CLEAR(g->qualname);
    return 0;
}

void gen_dealloc(PyObject* self) {
    Generator* g = reinterpret_cast<Generator*>(self);
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (g->weaklist) PyObject_ClearWeakRefs(self);
    g->running = false;
    gen_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* gen_get_running(PyObject* self, void*) {
    return PyBool_FromLong(reinterpret_cast<Generator*>(self)->running);
}

PyObject* gen_get_name(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<Generator*>(self)->name);
}

PyObject* gen_get_qualname(PyObject* self, void*) {
    return Py_NewRef(reinterpret_cast<Generator*>(self)->qualname);
}

int gen_set_str(PyObject** slot, PyObject* value) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ and __qualname__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}

int gen_set_name(PyObject* self, PyObject* value, void*) {
    return gen_set_str(&reinterpret_cast<Generator*>(self)->name, value);
}

int gen_set_qualname(PyObject* self, PyObject* value, void*) {
    return gen_set_str(&reinterpret_cast<Generator*>(self)->qualname, value);
}

PyObject* gen_get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyGetSetDef gen_getset[] = {
    {"__name__", gen_get_name, gen_set_name, nullptr, nullptr},
    {"__qualname__", gen_get_qualname, gen_set_qualname, nullptr, nullptr},
    {"gi_running", gen_get_running, nullptr, nullptr, nullptr},
    {"gi_frame", gen_get_none, nullptr, nullptr, nullptr},
    {"gi_yieldfrom", gen_get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef gen_methods[] = {
    {"send", gen_send, METH_O, nullptr},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(gen_throw)),
     METH_FASTCALL, nullptr},
    {"close", gen_close, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define Py_T_PYSSIZET T_PYSSIZET
#define Py_READONLY READONLY
#endif

PyMemberDef gen_members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(Generator, weaklist), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot gen_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(gen_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(gen_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(gen_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(gen_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(gen_iternext)},
    {Py_tp_repr, reinterpret_cast<void*>(gen_repr)},
    {Py_tp_getset, gen_getset},
    {Py_tp_methods, gen_methods},
    {Py_tp_members, gen_members},
    {0, nullptr},
};

PyType_Spec gen_spec = {
    "korvo.datastructures.generator",
    sizeof(Generator),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    gen_slots,
};

}  // namespace

PyObject* create_generator_type(PyObject* module) {
    PyObject* tp = PyType_FromModuleAndSpec(module, &gen_spec, nullptr);
    if (!tp) return nullptr;
    // Registered as a collections.abc.Generator so isinstance checks agree.
    Ref abc = import("collections.abc");
    Ref gen_abc = abc ? getattr(abc, Ref(str("Generator"))) : Ref();
    Ref ok = gen_abc ? call_method(gen_abc, Ref(str("register")), {tp}) : Ref();
    if (!ok) {
        Py_DECREF(tp);
        return nullptr;
    }
    return tp;
}

Ref make_generator(Function& fn, std::unique_ptr<GeneratorBody> body) {
    PyTypeObject* tp = reinterpret_cast<PyTypeObject*>(fn.state->generator_type.get());
    Generator* g = PyObject_GC_New(Generator, tp);
    if (!g) return {};
    g->body = body.release();
    g->name = Py_NewRef(fn.name);
    g->qualname = Py_NewRef(fn.qualname);
    g->weaklist = nullptr;
    g->started = false;
    g->running = false;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(g));
    return Ref::steal(reinterpret_cast<PyObject*>(g));
}

}  // namespace korvo
