#include "unpack.hpp"

#include "errors.hpp"

namespace korvo {

bool unpack_pair(PyObject* item, Ref& first, Ref& second) {
    if ((PyTuple_CheckExact(item) || PyList_CheckExact(item)) && Py_SIZE(item) == 2) {
        PyObject** items = PySequence_Fast_ITEMS(item);
        first = Ref::borrow(items[0]);
        second = Ref::borrow(items[1]);
        return true;
    }
    Ref it = Ref::steal(PyObject_GetIter(item));
    if (!it) {
        if (error_matches(PyExc_TypeError) && !Py_TYPE(item)->tp_iter && !PySequence_Check(item)) {
            PyErr_Clear();
            raisef(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                   Py_TYPE(item)->tp_name);
        }
        return false;
    }
    first = Ref::steal(PyIter_Next(it));
    if (first) second = Ref::steal(PyIter_Next(it));
    if (!second) {
        if (!PyErr_Occurred())
            raisef(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)",
                   first ? 1 : 0);
        return false;
    }
    Ref extra = Ref::steal(PyIter_Next(it));
    if (extra) {
        raise(PyExc_ValueError, "too many values to unpack (expected 2)");
        return false;
    }
    return !PyErr_Occurred();
}

}  // namespace korvo
