#include "runtime/ufunc_loop.hpp"

#include <numpy/ufuncobject.h>

#include <cstring>

namespace ts {

UfuncLoop UfuncLoop::find(PyObject* ufunc, std::initializer_list<int> types) {
    UfuncLoop loop;
    // The loop table's layout is the same in NumPy 1.x and 2.x; only the
    // type's name is checked, so the ufunc C API table need not be imported.
    if (!ufunc || std::strcmp(Py_TYPE(ufunc)->tp_name, "numpy.ufunc") != 0) return loop;
    const PyUFuncObject* u = reinterpret_cast<const PyUFuncObject*>(ufunc);
    const int nargs = u->nargs;
    if (nargs != static_cast<int>(types.size()) || !u->functions || !u->types) return loop;
    for (int i = 0; i < u->ntypes; ++i) {
        const char* sig = u->types + i * nargs;
        int k = 0;
        for (int t : types)
            if (sig[k] == t) ++k;
            else break;
        if (k != nargs) continue;
        loop.fn_ = u->functions[i];
        loop.data_ = u->data ? u->data[i] : nullptr;
        break;
    }
    return loop;
}

Float64Dot Float64Dot::find() {
    Float64Dot dot;
    PyArray_Descr* descr = PyArray_DescrFromType(NPY_DOUBLE);
    if (!descr) {
        PyErr_Clear();
        return dot;
    }
    dot.fn_ = PyDataType_GetArrFuncs(descr)->dotfunc;
    Py_DECREF(descr);
    return dot;
}

}  // namespace ts
