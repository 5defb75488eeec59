// Native stand-ins for the quaternion primitives.  A fast path runs only when
// the module globals the described steps use are still the objects bound by
// the module body, and the inputs are float64 (or float32, where NumPy keeps
// float32) arrays or float sequences whose last axis has the expected length;
// anything else returns an empty Ref and takes the general path, which also
// produces every error.

#include "kernels/gather.hpp"
#include "kernels/quat_kernels.hpp"
#include "math_transfrom/fast_common.hpp"
#include "math_transfrom/fast_paths.hpp"

#include <cfloat>
#include <cmath>

namespace math_transfrom::fast {

using ts::Broadcast;
using ts::Call;
using ts::FloatOperand;
using ts::Ref;
namespace k = trackscope::kernels;

namespace {

// Two quaternion operands of one float type and equal shape (..., 4).
bool quat_pair(Call& c, bool convert, FloatOperand& a, FloatOperand& b) {
    if (!np_intact(c)) return false;
    // quat_mul_e converts nothing: only real arrays qualify.
    if (!convert && !(PyArray_CheckExact(c.arg(0)) && PyArray_CheckExact(c.arg(1)))) return false;
    return ts::float_operand(c.arg(0), a, 4) && ts::float_operand(c.arg(1), b, 4) &&
           a.type == b.type && same_shape(a, b) && a.components() == 4;
}

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

Ref wxyz_to_xyzw(Call& c) {
    return reorder_one(c, [](auto in, auto out) { k::wxyz_to_xyzw(1, in, out); });
}

Ref xyzw_to_wxyz(Call& c) {
    return reorder_one(c, [](auto in, auto out) { k::xyzw_to_wxyz(1, in, out); });
}

}  // namespace math_transfrom::fast
