#include "runtime/ops.hpp"

namespace ts {

// Sequence unpacking as the interpreter does it for `a, b, c, d = x`.
std::vector<Ref> unpack(PyObject* iterable, Py_ssize_t n) {
    Ref it = Ref::steal_nullable(PyObject_GetIter(iterable));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(iterable)->tp_iter == nullptr &&
            !PySequence_Check(iterable)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(iterable)->tp_name);
        }
        raise();
    }
    std::vector<Ref> out;
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref v = Ref::steal_nullable(PyIter_Next(it.get()));
        if (!v) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)",
                             n, i);
            raise();
        }
        out.push_back(std::move(v));
    }
    Ref extra = Ref::steal_nullable(PyIter_Next(it.get()));
    if (extra) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", n);
        raise();
    }
    if (PyErr_Occurred()) raise();
    return out;
}

}  // namespace ts
