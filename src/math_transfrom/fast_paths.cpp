// Native stand-ins for the quaternion primitives.  A fast path runs only when
// the module globals the described steps use are still the objects bound by
// the module body, and the inputs are float64 (or float32, where NumPy keeps
// float32) arrays or float sequences whose last axis has the expected length;
// anything else returns an empty Ref and takes the general path, which also
// produces every error.

#include "math_transfrom/fast_paths.hpp"

#include "kernels/gather.hpp"
#include "kernels/quat_kernels.hpp"
#include "math_transfrom/functions.hpp"
#include "runtime/ndarray.hpp"

#include <cfloat>
#include <cmath>

namespace math_transfrom::fast {

using ts::Broadcast;
using ts::Call;
using ts::FloatOperand;
using ts::Ref;
namespace k = trackscope::kernels;

namespace {

bool global_is(Call& c, PyObject* name, const Ref& original) {
    return original && c.global_borrowed(name) == original.get();
}

bool np_intact(Call& c) { return global_is(c, TS_ID("np"), bound().np); }

// Calls body(T{}) with T the C type of a float operand's dtype.
template <class F>
Ref with_float_type(int type, F&& body) {
    if (type == NPY_FLOAT64) return body(double{});
    return body(float{});
}

template <class T>
k::Strided<T> in_rows(const FloatOperand& op, npy_intp offset, npy_intp row) {
    return {reinterpret_cast<const T*>(op.data) + offset, row, op.comp_stride()};
}

template <class T>
k::StridedOut<T> out_rows(const Ref& out, npy_intp offset, npy_intp row) {
    return {reinterpret_cast<T*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get()))) + offset,
            row, 1};
}

// Element strides of a new C-contiguous array with leading shape `b` and
// `width` components per row.
void contiguous_strides(const Broadcast& b, npy_intp width, npy_intp* strides) {
    npy_intp s = width;
    for (int d = b.ndim - 1; d >= 0; --d) {
        strides[d] = s;
        s *= b.shape[d];
    }
}

// out[..., :out_width] = kernel(q[..., :]) row by row.
template <class T, class Kernel>
Ref map_rows(const FloatOperand& q, npy_intp out_width, Kernel kernel) {
    Broadcast b;
    ts::broadcast_leading<1>({&q}, b);
    Ref out = ts::new_array(q.type, b, {out_width});
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
Ref map_pairs(const FloatOperand& a, const FloatOperand& b2, npy_intp out_width, Kernel kernel) {
    Broadcast b;
    if (!ts::broadcast_leading<2>({&a, &b2}, b)) return {};
    Ref out = ts::new_array(a.type, b, {out_width});
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

bool same_shape(const FloatOperand& a, const FloatOperand& b) {
    if (a.ndim != b.ndim) return false;
    for (int d = 0; d < a.ndim; ++d)
        if (a.shape[d] != b.shape[d]) return false;
    return true;
}

// Two quaternion operands of one float type and equal shape (..., 4).
bool quat_pair(Call& c, bool convert, FloatOperand& a, FloatOperand& b) {
    if (!np_intact(c)) return false;
    // quat_mul_e converts nothing: only real arrays qualify.
    if (!convert && !(PyArray_CheckExact(c.arg(0)) && PyArray_CheckExact(c.arg(1)))) return false;
    return ts::float_operand(c.arg(0), a, 4) && ts::float_operand(c.arg(1), b, 4) &&
           a.type == b.type && same_shape(a, b) && a.components() == 4;
}

}  // namespace

Ref quat_conjugate(Call& c) {
    FloatOperand q;
    if (!np_intact(c) || !ts::float_operand(c.arg(0), q, 4) || q.components() != 4) return {};
    return with_float_type(q.type, [&](auto t) {
        using T = decltype(t);
        return map_rows<T>(q, 4, [](npy_intp n, auto in, auto out) { k::quat_conjugate_wxyz<T>(n, in, out); });
    });
}

Ref quat_inv(Call& c) {
    FloatOperand q;
    double eps;
    if (!np_intact(c) || !global_is(c, TS_ID("quat_conjugate"), bound().quat_conjugate)) return {};
    if (!ts::float_operand(c.arg(0), q, 4) || q.components() != 4) return {};
    if (!ts::python_real(c.arg(1), eps)) return {};
    // NumPy rounds a Python float eps to float32 for float32 input; keep the
    // cases where that rounding is plain (no overflow to inf).
    if (q.type == NPY_FLOAT32 && !(std::fabs(eps) <= FLT_MAX)) return {};
    return with_float_type(q.type, [&](auto t) {
        using T = decltype(t);
        const T e = static_cast<T>(eps);
        return map_rows<T>(q, 4, [e](npy_intp n, auto in, auto out) { k::quat_inv_wxyz<T>(n, in, out, e); });
    });
}

Ref quat_mul(Call& c) {
    FloatOperand a, b;
    if (!quat_pair(c, true, a, b)) return {};
    return with_float_type(a.type, [&](auto t) {
        using T = decltype(t);
        return map_pairs<T>(a, b, 4, [](npy_intp n, auto x, auto y, auto out) { k::quat_mul_wxyz<T>(n, x, y, out); });
    });
}

Ref quat_mul_e(Call& c) {
    FloatOperand a, b;
    if (!quat_pair(c, false, a, b)) return {};
    return with_float_type(a.type, [&](auto t) {
        using T = decltype(t);
        return map_pairs<T>(a, b, 4, [](npy_intp n, auto x, auto y, auto out) { k::quat_mul_e_wxyz<T>(n, x, y, out); });
    });
}

Ref quat_apply(Call& c) {
    FloatOperand q, v;
    if (!np_intact(c)) return {};
    if (!ts::float_operand(c.arg(0), q, 4) || !ts::float_operand(c.arg(1), v, 3)) return {};
    if (q.type != v.type || q.components() != 4 || v.components() != 3) return {};
    return with_float_type(q.type, [&](auto t) {
        using T = decltype(t);
        return map_pairs<T>(q, v, 3, [](npy_intp n, auto x, auto y, auto out) { k::quat_apply_wxyz<T>(n, x, y, out); });
    });
}

namespace {

// np.array([items...]) of one quaternion given as four floats, reordered.
template <class Reorder>
Ref reorder_one(Call& c, Reorder reorder) {
    FloatOperand q;
    if (!np_intact(c) || !ts::float_operand(c.arg(0), q, 4)) return {};
    if (q.ndim != 1 || q.shape[0] != 4) return {};
    return with_float_type(q.type, [&](auto t) {
        using T = decltype(t);
        Broadcast none;
        Ref out = ts::new_array(q.type, none, {4});
        reorder(in_rows<T>(q, 0, 0), out_rows<T>(out, 0, 0));
        return out;
    });
}

}  // namespace

Ref wxyz_to_xyzw(Call& c) {
    return reorder_one(c, [](auto in, auto out) { k::wxyz_to_xyzw(1, in, out); });
}

Ref xyzw_to_wxyz(Call& c) {
    return reorder_one(c, [](auto in, auto out) { k::xyzw_to_wxyz(1, in, out); });
}

}  // namespace math_transfrom::fast
