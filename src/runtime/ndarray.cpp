#include "runtime/ndarray.hpp"

namespace ts {

bool float_operand(PyObject* o, FloatOperand& out, npy_intp sequence_len) {
    if (PyArray_CheckExact(o)) {
        PyArrayObject* a = reinterpret_cast<PyArrayObject*>(o);
        const int type = PyArray_TYPE(a);
        if (type != NPY_FLOAT64 && type != NPY_FLOAT32) return false;
        const int ndim = PyArray_NDIM(a);
        if (ndim < 1 || ndim > kMaxDims) return false;
        if (!PyArray_ISNOTSWAPPED(a) || !PyArray_ISALIGNED(a)) return false;
        const npy_intp item = PyArray_ITEMSIZE(a);
        out.type = type;
        out.ndim = ndim;
        out.data = PyArray_BYTES(a);
        for (int d = 0; d < ndim; ++d) {
            const npy_intp s = PyArray_STRIDE(a, d);
            if (s % item) return false;
            out.shape[d] = PyArray_DIM(a, d);
            out.strides[d] = s / item;
        }
        return true;
    }
    if (!(PyList_CheckExact(o) || PyTuple_CheckExact(o))) return false;
    if (sequence_len > 4 || PySequence_Fast_GET_SIZE(o) != sequence_len) return false;
    PyObject** items = PySequence_Fast_ITEMS(o);
    for (npy_intp i = 0; i < sequence_len; ++i) {
        if (!PyFloat_Check(items[i])) return false;
        out.local[i] = PyFloat_AS_DOUBLE(items[i]);
    }
    out.type = NPY_FLOAT64;
    out.ndim = 1;
    out.data = reinterpret_cast<char*>(out.local);
    out.shape[0] = sequence_len;
    out.strides[0] = 1;
    return true;
}

bool first_floats(PyObject* o, int n, double* out) {
    if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
        if (PySequence_Fast_GET_SIZE(o) < n) return false;
        PyObject** items = PySequence_Fast_ITEMS(o);
        for (int i = 0; i < n; ++i) {
            if (!PyFloat_Check(items[i])) return false;
            out[i] = PyFloat_AS_DOUBLE(items[i]);
        }
        return true;
    }
    FloatOperand q;
    if (!PyArray_CheckExact(o) || !float_operand(o, q, n)) return false;
    if (q.type != NPY_FLOAT64 || q.ndim != 1 || q.shape[0] < n) return false;
    const double* p = reinterpret_cast<const double*>(q.data);
    for (int i = 0; i < n; ++i) out[i] = p[i * q.strides[0]];
    return true;
}

bool python_real(PyObject* o, double& value) {
    if (!PyFloat_CheckExact(o)) return false;
    value = PyFloat_AS_DOUBLE(o);
    return true;
}

Ref new_array(int type, const Broadcast& lead, std::initializer_list<npy_intp> tail) {
    npy_intp dims[kMaxDims + 2];
    int nd = 0;
    for (int d = 0; d < lead.ndim; ++d) dims[nd++] = lead.shape[d];
    for (npy_intp t : tail) dims[nd++] = t;
    return Ref::steal(PyArray_SimpleNew(nd, dims, type));
}

}  // namespace ts
