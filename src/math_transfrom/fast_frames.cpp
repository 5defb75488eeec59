// Native stand-ins for the relative frame transforms and the body-frame
// velocity: subtract_frame_transforms repeats the NumPy steps of the
// primitives bit for bit; world_to_body_vel and subtract_frame_transforms_r
// give SciPy's bits.

#include "kernels/quat_kernels.hpp"
#include "math_transfrom/fast_common.hpp"
#include "math_transfrom/fast_paths.hpp"
#include "math_transfrom/scipy_rotation.hpp"

namespace math_transfrom::fast {

using ts::Broadcast;
using ts::Call;
using ts::FloatOperand;
using ts::Ref;
namespace k = trackscope::kernels;

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

namespace {

// Rows of a float64 translation array (3,) or (P, 3): 0 for anything else.
npy_intp translation_rows(PyObject* t) {
    if (!PyArray_CheckExact(t)) return 0;
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(t);
    const int ndim = PyArray_NDIM(a);
    if (PyArray_TYPE(a) != NPY_FLOAT64 || ndim < 1 || ndim > 2 || PyArray_DIM(a, ndim - 1) != 3)
        return 0;
    return ndim == 1 ? 1 : PyArray_DIM(a, 0);
}

// N rows against M rows, as SciPy pairs rotations and vectors: equal, or one of them 1.
bool pairable(npy_intp n, npy_intp m) { return n == m || n == 1 || m == 1; }

}  // namespace

// r10 = R.from_quat(q01).inv(), r12 = r10 * R.from_quat(q02) (or r10),
// t12 = r10.apply(t02 - t01 or -t01), q12 = r12.as_quat().  The inputs SciPy
// would reject, and translations that NumPy would broadcast into other
// shapes, take the general path before anything is computed.
Ref subtract_frame_transforms_r(Call& c) {
    if (!bound().scipy.known || !r_intact(c) || !np_intact(c)) return {};
    PyObject *t01 = c.arg(0), *q01 = c.arg(1), *t02 = c.arg(2), *q02 = c.arg(3);
    const bool has_t02 = t02 != Py_None, has_q02 = q02 != Py_None;
    QuatRows r10, r02;
    if (!quat_rows(q01, r10) || (has_q02 && !quat_rows(q02, r02))) return {};
    if (has_q02 && !pairable(r10.rows(), r02.rows())) return {};
    const npy_intp n01 = translation_rows(t01), n02 = has_t02 ? translation_rows(t02) : n01;
    if (!n01 || !n02 || !pairable(n01, n02)) return {};
    // t02 - t01 keeps two dimensions when either operand has them.
    const bool rel_2d = PyArray_NDIM(reinterpret_cast<PyArrayObject*>(t01)) == 2 ||
                        (has_t02 && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(t02)) == 2);
    if (!pairable(r10.rows(), rel_2d ? (n01 > n02 ? n01 : n02) : 1)) return {};

    invert_rows(r10);
    QuatRows r12 = r10;
    if (has_q02) {
        const npy_intp n = r10.rows() > r02.rows() ? r10.rows() : r02.rows();
        r12.single = r10.single && r02.single;
        r12.q.resize(static_cast<std::size_t>(4 * n));
        for (npy_intp i = 0; i < n; ++i) {
            k::compose_xyzw(r10.row(r10.rows() == 1 ? 0 : i), r02.row(r02.rows() == 1 ? 0 : i),
                            r12.row(i));
            k::normalise_xyzw(r12.row(i));
        }
    }
    Ref t_rel = has_t02 ? ts::sub(t02, t01) : ts::neg(t01);
    Ref t12 = apply_matrices(matrices(r10), r10.single, t_rel.get());
    if (!t12) ts::raise(PyExc_SystemError, "subtract_frame_transforms_r: unexpected translation shape");
    Ref q12 = quat_array(r12);
    return ts::tuple({t12.get(), q12.get()});
}

// R.from_quat([q[1], q[2], q[3], q[0]]).inv().apply(lin_vel_w): the rotation
// here, the product through NumPy as SciPy makes it.  A list of three floats
// becomes the float64 array SciPy makes of it.
Ref world_to_body_vel(Call& c) {
    double q[4];
    if (!bound().scipy.known || !r_intact(c) || !scipy_quat_from_wxyz(c.arg(1), q)) return {};
    PyObject* v = c.arg(0);
    Ref vectors;
    if (PyArray_CheckExact(v)) {
        vectors = Ref::borrow(v);
    } else {
        FloatOperand f;
        if (!ts::float_operand(v, f, 3) || f.ndim != 1 || f.shape[0] != 3) return {};
        vectors = row_array(f.local, 3, true);
    }
    return apply_inverse(q, true, vectors.get());
}

}  // namespace math_transfrom::fast
