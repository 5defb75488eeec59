// What the native stand-ins share: the guards that keep a fast path to the
// inputs and module globals it was written for, the float operand walks, and
// the one-pose conversions between Python objects and SciPy's [x, y, z, w].
#pragma once

#include "kernels/fp_flags.hpp"
#include "kernels/rotation_xyzw.hpp"
#include "kernels/strided.hpp"
#include "math_transfrom/functions.hpp"
#include "runtime/ndarray.hpp"
#include "runtime/ops.hpp"

#include <cmath>

namespace math_transfrom::fast {

// --- guards ---------------------------------------------------------------

inline bool global_is(ts::Call& c, PyObject* name, const ts::Ref& original) {
    return original && c.global_borrowed(name) == original.get();
}

inline bool np_intact(ts::Call& c) { return global_is(c, TS_ID("np"), bound().np); }
inline bool r_intact(ts::Call& c) { return global_is(c, TS_ID("R"), bound().R); }

// --- float operands over broadcast leading axes -----------------------------

// Calls body(T{}) with T the C type of a float operand's dtype.  A run that
// raised a floating-point exception is discarded: NumPy then recomputes the
// same values and reports the condition as its error state says.
template <class F>
ts::Ref with_float_type(int type, F&& body) {
    trackscope::kernels::FpFlags flags;
    ts::Ref out = type == NPY_FLOAT64 ? body(double{}) : body(float{});
    if (!flags.clean()) return {};
    return out;
}

template <class T>
trackscope::kernels::Strided<T> in_rows(const ts::FloatOperand& op, npy_intp offset, npy_intp row) {
    return {reinterpret_cast<const T*>(op.data) + offset, row, op.comp_stride()};
}

template <class T>
trackscope::kernels::StridedOut<T> out_rows(const ts::Ref& out, npy_intp offset, npy_intp row) {
    return {reinterpret_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get()))) + offset,
            row, 1};
}

// Element strides of a new C-contiguous array with leading shape `b` and
// `width` components per row.
inline void contiguous_strides(const ts::Broadcast& b, npy_intp width, npy_intp* strides) {
    npy_intp s = width;
    for (int d = b.ndim - 1; d >= 0; --d) {
        strides[d] = s;
        s *= b.shape[d];
    }
}

// out[..., :out_width] = kernel(q[..., :]) row by row.
template <class T, class Kernel>
ts::Ref map_rows(const ts::FloatOperand& q, npy_intp out_width, Kernel kernel) {
    ts::Broadcast b;
    ts::broadcast_leading<1>({&q}, b);
    ts::Ref out = ts::new_array(q.type, b, {out_width});
    npy_intp qs[ts::kMaxDims], os[ts::kMaxDims];
    ts::aligned_strides(q, b, qs);
    contiguous_strides(b, out_width, os);
    ts::for_each_run<2>(b, {qs, os}, [&](npy_intp n, const auto& off, const auto& row) {
        kernel(n, in_rows<T>(q, off[0], row[0]), out_rows<T>(out, off[1], row[1]));
    });
    return out;
}

// out[...] = kernel(a[...], b[...]) over the broadcast leading shape.
template <class T, class Kernel>
ts::Ref map_pairs(const ts::FloatOperand& a, const ts::FloatOperand& b2, npy_intp out_width,
                  Kernel kernel) {
    ts::Broadcast b;
    if (!ts::broadcast_leading<2>({&a, &b2}, b)) return {};
    ts::Ref out = ts::new_array(a.type, b, {out_width});
    npy_intp as[ts::kMaxDims], bs[ts::kMaxDims], os[ts::kMaxDims];
    ts::aligned_strides(a, b, as);
    ts::aligned_strides(b2, b, bs);
    contiguous_strides(b, out_width, os);
    ts::for_each_run<3>(b, {as, bs, os}, [&](npy_intp n, const auto& off, const auto& row) {
        kernel(n, in_rows<T>(a, off[0], row[0]), in_rows<T>(b2, off[1], row[1]),
               out_rows<T>(out, off[2], row[2]));
    });
    return out;
}

inline bool same_shape(const ts::FloatOperand& a, const ts::FloatOperand& b) {
    if (a.ndim != b.ndim) return false;
    for (int d = 0; d < a.ndim; ++d)
        if (a.shape[d] != b.shape[d]) return false;
    return true;
}

// --- one pose -----------------------------------------------------------------

// A float64 array (k,) or, when `single` is false, (1, k).
inline ts::Ref row_array(const double* values, npy_intp k, bool single) {
    npy_intp dims[2] = {1, k};
    ts::Ref out = ts::Ref::steal(single ? PyArray_SimpleNew(1, dims + 1, NPY_FLOAT64)
                                        : PyArray_SimpleNew(2, dims, NPY_FLOAT64));
    double* p = reinterpret_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    for (npy_intp i = 0; i < k; ++i) p[i] = values[i];
    return out;
}

inline ts::Ref float64_scalar(double v) {
    PyArray_Descr* descr = PyArray_DescrFromType(NPY_FLOAT64);
    PyObject* scalar = PyArray_Scalar(&v, descr, nullptr);
    Py_DECREF(descr);
    return ts::Ref::steal(scalar);
}

// A finite quaternion of non-zero norm: what R.from_quat accepts silently.
inline bool usable_quat(const double* q) {
    for (int i = 0; i < 4; ++i)
        if (!std::isfinite(q[i])) return false;
    const double norm2 = q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3];
    return norm2 > 0.0 && std::isfinite(norm2);
}

// [w, x, y, z] items 0..3 of a one-quaternion argument, reordered to SciPy's
// [x, y, z, w] and normalised as from_quat does.
inline bool scipy_quat_from_wxyz(PyObject* o, double* xyzw) {
    double wxyz[4];
    if (!ts::first_floats(o, 4, wxyz)) return false;
    xyzw[0] = wxyz[1];
    xyzw[1] = wxyz[2];
    xyzw[2] = wxyz[3];
    xyzw[3] = wxyz[0];
    if (!usable_quat(xyzw)) return false;
    trackscope::kernels::normalise_xyzw(xyzw);
    return true;
}

// Exactly four float items: what the layout converters unpack.
inline bool exactly_four(PyObject* o) {
    if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) return PySequence_Fast_GET_SIZE(o) == 4;
    return PyArray_CheckExact(o) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(o)) == 1 &&
           PyArray_DIM(reinterpret_cast<PyArrayObject*>(o), 0) == 4;
}

// [x, y, z, w] as a new float64 [w, x, y, z] array.
inline ts::Ref wxyz_array_from_xyzw(const double* q) {
    const double wxyz[4] = {q[3], q[0], q[1], q[2]};
    return row_array(wxyz, 4, true);
}

}  // namespace math_transfrom::fast
