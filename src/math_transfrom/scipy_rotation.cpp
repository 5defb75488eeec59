#include "math_transfrom/scipy_rotation.hpp"

#include "kernels/rotation_xyzw.hpp"
#include "math_transfrom/fast_common.hpp"
#include "runtime/ops.hpp"

#include <cmath>

namespace math_transfrom::fast {

using ts::FloatOperand;
using ts::Ref;
namespace k = trackscope::kernels;

ScipySteps scipy_steps(PyObject* version) {
    const char* text = version && PyUnicode_Check(version) ? PyUnicode_AsUTF8(version) : nullptr;
    if (!text) PyErr_Clear();
    return k::scipy_steps(text);
}

bool quat_rows(PyObject* o, QuatRows& out) {
    if (!raw_quat_rows(o, out)) return false;
    normalise_rows(out);
    return true;
}

void normalise_rows(QuatRows& r) {
    for (npy_intp i = 0; i < r.rows(); ++i) k::normalise_xyzw(r.row(i));
}

bool raw_quat_rows(PyObject* o, QuatRows& out) {
    FloatOperand op;
    if (!ts::float_operand(o, op, 4) || op.components() != 4 || op.ndim > 2) return false;
    const npy_intp n = op.ndim == 1 ? 1 : op.shape[0];
    if (n < 1) return false;
    out.single = op.ndim == 1;
    out.q.resize(static_cast<std::size_t>(4 * n));
    const npy_intp row = op.ndim == 1 ? 0 : op.strides[0];
    const npy_intp comp = op.comp_stride();
    for (npy_intp i = 0; i < n; ++i) {
        double* q = out.row(i);
        for (int c = 0; c < 4; ++c) {
            const npy_intp at = i * row + c * comp;
            q[c] = op.type == NPY_FLOAT64 ? reinterpret_cast<const double*>(op.data)[at]
                                          : reinterpret_cast<const float*>(op.data)[at];
        }
        if (!usable_quat(q)) return false;
    }
    return true;
}

void invert_rows(QuatRows& r) {
    const bool renormalise = bound().scipy.inv_renormalises;
    for (npy_intp i = 0; i < r.rows(); ++i) {
        double* q = r.row(i);
        q[0] = -q[0];
        q[1] = -q[1];
        q[2] = -q[2];
        if (renormalise) k::normalise_xyzw(q);
    }
}

Ref quat_array(const QuatRows& r) {
    npy_intp dims[2] = {r.rows(), 4};
    Ref out = Ref::steal(r.single ? PyArray_SimpleNew(1, dims + 1, NPY_FLOAT64)
                                  : PyArray_SimpleNew(2, dims, NPY_FLOAT64));
    double* p = reinterpret_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    for (std::size_t i = 0; i < r.q.size(); ++i) p[i] = r.q[i];
    return out;
}

Ref matrices(const QuatRows& r) {
    npy_intp dims[3] = {r.rows(), 3, 3};
    Ref out = Ref::steal(PyArray_SimpleNew(3, dims, NPY_FLOAT64));
    double* p = reinterpret_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    for (npy_intp i = 0; i < r.rows(); ++i) k::matrix_xyzw(r.q.data() + 4 * i, p + 9 * i);
    return out;
}

Ref apply_matrices(const Ref& m, bool single_rotation, PyObject* vectors) {
    if (!PyArray_CheckExact(vectors)) return {};
    PyArrayObject* v = reinterpret_cast<PyArrayObject*>(vectors);
    const int ndim = PyArray_NDIM(v);
    if (PyArray_TYPE(v) != NPY_FLOAT64 || ndim < 1 || ndim > 2 || PyArray_DIM(v, ndim - 1) != 3)
        return {};
    const bool single_vector = ndim == 1;
    const npy_intp n_vectors = single_vector ? 1 : PyArray_DIM(v, 0);
    const npy_intp n_rotations = PyArray_DIM(reinterpret_cast<PyArrayObject*>(m.get()), 0);
    if (n_vectors < 1 || (n_vectors != 1 && n_rotations != 1 && n_vectors != n_rotations)) return {};

    PyObject* np = bound().np.get();
    Ref result;
    if (bound().scipy.apply_matmul && n_rotations == 1 && n_vectors == 1) {
        Ref row = single_vector ? Ref::borrow(vectors) : ts::item(vectors, 0);
        result = ts::call_method(np, TS_ID("matmul"), {m.get(), row.get()});
    } else if (bound().scipy.apply_matmul && n_rotations == 1) {
        // axes such that neither operand is transposed and the output is contiguous
        Ref a = ts::tuple({ts::py_int(-2).get(), ts::py_int(-1).get()});
        Ref b = ts::tuple({ts::py_int(-1).get(), ts::py_int(-2).get()});
        Ref axes = ts::list({a.get(), b.get(), b.get()});
        Ref stacked = ts::call_method(np, TS_ID("matmul"), {m.get(), vectors},
                                      {{TS_ID("axes"), axes}});
        result = ts::item(stacked.get(), 0);
    } else {
        Ref rows = single_vector ? ts::call(ts::attr(vectors, TS_ID("reshape")), {ts::py_int(1).get(),
                                                                                 ts::py_int(3).get()})
                                 : Ref::borrow(vectors);
        Ref subscripts = ts::py_str("ijk,ik->ij");
        result = ts::call_method(np, TS_ID("einsum"), {subscripts.get(), m.get(), rows.get()});
    }
    if (single_rotation && single_vector) result = ts::item(result.get(), 0);
    return result;
}

Ref apply_inverse(const double* q, bool single_rotation, PyObject* vectors) {
    QuatRows inverse;
    inverse.single = single_rotation;
    inverse.q.assign(q, q + 4);
    invert_rows(inverse);
    return apply_matrices(matrices(inverse), single_rotation, vectors);
}

}  // namespace math_transfrom::fast
