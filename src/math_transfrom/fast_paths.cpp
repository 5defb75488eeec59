// Native stand-ins for the quaternion primitives.  A fast path runs only when
// the module globals the described steps use are still the objects bound by
// the module body, and the inputs are float64 (or float32, where NumPy keeps
// float32) arrays or float sequences whose last axis has the expected length;
// anything else returns an empty Ref and takes the general path, which also
// produces every error.

#include "math_transfrom/fast_paths.hpp"

#include "kernels/fp_flags.hpp"
#include "kernels/gather.hpp"
#include "kernels/quat_kernels.hpp"
#include "math_transfrom/functions.hpp"
#include "runtime/ndarray.hpp"
#include "runtime/ops.hpp"

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

// Calls body(T{}) with T the C type of a float operand's dtype.  A run that
// raised a floating-point exception is discarded: NumPy then recomputes the
// same values and reports the condition as its error state says.
template <class F>
Ref with_float_type(int type, F&& body) {
    k::FpFlags flags;
    Ref out = type == NPY_FLOAT64 ? body(double{}) : body(float{});
    if (!flags.clean()) return {};
    return out;
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
    // NumPy 1.x promotes `0.5 * float32 scalar` to float64: a single float32
    // quaternion (0-d components) is left to NumPy there.
    if (a.type == NPY_FLOAT32 && a.ndim == 1 && PyArray_RUNTIME_VERSION < NPY_2_0_API_VERSION) return {};
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

Ref matrix_from_quat(Call& c) {
    FloatOperand q;
    // The steps convert nothing: only a real array qualifies.
    if (!np_intact(c) || !PyArray_CheckExact(c.arg(0))) return {};
    if (!ts::float_operand(c.arg(0), q, 4) || q.components() != 4) return {};
    return with_float_type(q.type, [&](auto t) {
        using T = decltype(t);
        Broadcast b;
        ts::broadcast_leading<1>({&q}, b);
        Ref out = ts::new_array(q.type, b, {3, 3});
        npy_intp qs[ts::kMaxDims], os[ts::kMaxDims];
        ts::aligned_strides(q, b, qs);
        contiguous_strides(b, 9, os);
        ts::for_each_run<2>(b, {qs, os}, [&](npy_intp n, const auto& off, const auto& row) {
            const k::Strided<T> in = in_rows<T>(q, off[0], row[0]);
            const k::StridedOut<T> to = out_rows<T>(out, off[1], row[1]);
            // Contiguous rows with strides known at compile time let the
            // compiler vectorise the nine entries.
            if (in.row == 4 && in.comp == 1 && to.row == 9)
                k::matrix_from_quat_wxyz<T>(n, {in.p, 4, 1}, {to.p, 9, 1});
            else
                k::matrix_from_quat_wxyz<T>(n, in, to);
        });
        return out;
    });
}

namespace {

// NumPy sends float64 arctan2/arcsin to SVML on AVX-512 machines; the C
// library's results are only known to match its baseline loops.
bool numpy_uses_libm_trig() {
    static const bool libm = [] {
        PyObject* umath = PyImport_ImportModule("numpy._core._multiarray_umath");
        if (!umath) {
            PyErr_Clear();
            umath = PyImport_ImportModule("numpy.core._multiarray_umath");
        }
        if (!umath) {
            PyErr_Clear();
            return false;
        }
        Ref mod = Ref::steal(umath);
        Ref features = Ref::steal_nullable(PyObject_GetAttrString(umath, "__cpu_features__"));
        if (!features || !PyDict_Check(features.get())) {
            PyErr_Clear();
            return false;
        }
        PyObject* skx = PyDict_GetItemString(features.get(), "AVX512_SKX");
        return skx != nullptr && !PyObject_IsTrue(skx);
    }();
    return libm;
}

}  // namespace

Ref quatToEuler(Call& c) {
    double q[4];
    if (!np_intact(c) || !numpy_uses_libm_trig() || !ts::first_floats(c.arg(0), 4, q)) return {};
    npy_intp three = 3;
    Ref out = Ref::steal(PyArray_SimpleNew(1, &three, NPY_FLOAT64));
    k::FpFlags flags;
    k::quat_to_euler_wxyz(1, k::Strided<double>{q, 0, 1}, out_rows<double>(out, 0, 0));
    if (!flags.clean()) return {};
    return out;
}

namespace {

// quat_inv's eps as the fused kernel assumes it: its untouched default.
bool quat_inv_default_eps(const Ref& fn) {
    if (!fn || !ts::is_function(fn.get())) return false;
    PyObject* defaults = reinterpret_cast<ts::Function*>(fn.get())->defaults;
    if (!PyTuple_Check(defaults) || PyTuple_GET_SIZE(defaults) != 1) return false;
    PyObject* eps = PyTuple_GET_ITEM(defaults, 0);
    return PyFloat_CheckExact(eps) && PyFloat_AS_DOUBLE(eps) == 1e-9;
}

bool leading_equal(const Broadcast& b, const FloatOperand& q) {
    if (b.ndim != q.leading()) return false;
    for (int d = 0; d < b.ndim; ++d)
        if (b.shape[d] != q.shape[d]) return false;
    return true;
}

}  // namespace

Ref subtract_frame_transforms(Call& c) {
    const Bound& g = bound();
    if (!np_intact(c) || !global_is(c, TS_ID("quat_inv"), g.quat_inv) ||
        !global_is(c, TS_ID("quat_mul"), g.quat_mul) ||
        !global_is(c, TS_ID("quat_apply"), g.quat_apply) ||
        !global_is(c, TS_ID("quat_conjugate"), g.quat_conjugate) || !quat_inv_default_eps(g.quat_inv))
        return {};
    const bool has_t02 = c.arg(2) != Py_None;
    const bool has_q02 = c.arg(3) != Py_None;
    FloatOperand t01, q01, t02, q02;
    // The translations meet `-` and `-=`-free arithmetic: they must be arrays.
    if (!PyArray_CheckExact(c.arg(0)) || !ts::float_operand(c.arg(0), t01, 3)) return {};
    if (!ts::float_operand(c.arg(1), q01, 4)) return {};
    if (has_t02 && (!PyArray_CheckExact(c.arg(2)) || !ts::float_operand(c.arg(2), t02, 3))) return {};
    if (has_q02 && !ts::float_operand(c.arg(3), q02, 4)) return {};
    const int type = q01.type;
    if (t01.type != type || (has_t02 && t02.type != type) || (has_q02 && q02.type != type)) return {};
    if (q01.components() != 4 || t01.components() != 3 || (has_t02 && t02.components() != 3)) return {};
    if (has_q02 && (!same_shape(q01, q02))) return {};
    Broadcast b;
    const bool ok = has_t02 ? ts::broadcast_leading<3>({&q01, &t01, &t02}, b)
                            : ts::broadcast_leading<2>({&q01, &t01}, b);
    // q12 keeps the quaternion's own leading shape: the translations must not widen it.
    if (!ok || !leading_equal(b, q01)) return {};
    return with_float_type(type, [&](auto t) -> Ref {
        using T = decltype(t);
        Ref t12 = ts::new_array(type, b, {3});
        Ref q12 = ts::new_array(type, b, {4});
        npy_intp s_t01[ts::kMaxDims], s_q01[ts::kMaxDims], s_t02[ts::kMaxDims] = {},
            s_q02[ts::kMaxDims] = {}, s_t12[ts::kMaxDims], s_q12[ts::kMaxDims];
        ts::aligned_strides(t01, b, s_t01);
        ts::aligned_strides(q01, b, s_q01);
        if (has_t02) ts::aligned_strides(t02, b, s_t02);
        if (has_q02) ts::aligned_strides(q02, b, s_q02);
        contiguous_strides(b, 3, s_t12);
        contiguous_strides(b, 4, s_q12);
        ts::for_each_run<6>(
            b, {s_t01, s_q01, s_t02, s_q02, s_t12, s_q12},
            [&](npy_intp n, const auto& off, const auto& row) {
                k::Strided<T> a02{nullptr, 0, 0}, b02{nullptr, 0, 0};
                if (has_t02) a02 = in_rows<T>(t02, off[2], row[2]);
                if (has_q02) b02 = in_rows<T>(q02, off[3], row[3]);
                k::subtract_frame_transforms_wxyz<T>(n, in_rows<T>(t01, off[0], row[0]),
                                                     in_rows<T>(q01, off[1], row[1]), a02, b02,
                                                     out_rows<T>(t12, off[4], row[4]),
                                                     out_rows<T>(q12, off[5], row[5]), T(1e-9));
            });
        return ts::tuple({t12.get(), q12.get()});
    });
}

}  // namespace math_transfrom::fast
