// Quaternion, rotation-matrix and Euler row kernels, [w, x, y, z] layout (scalar first).
//
// Each kernel repeats, per row, the element-wise NumPy steps of math_transfrom in the same order
// and grouping, so results match NumPy bit for bit for T = float or double (every float op rounds
// to float, as NumPy's float32 loops do). That needs a build without contraction into FMA
// (-ffp-contract=off) and without fast-math. Only the sign/payload of a NaN made from two NaN
// operands may differ: C++ leaves the operand order of + and * to the compiler. A kernel reads
// its whole input row before writing the output row, so an output may alias an input with
// identical strides.
#pragma once

#include <array>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <type_traits>
#include <utility>

#include "kernels/simd.hpp"
#include "kernels/strided.hpp"

#ifdef __FAST_MATH__
#error "trackscope kernels must round like NumPy: build without -ffast-math"
#endif
static_assert(FLT_EVAL_METHOD == 0, "float and double operations must round to their own type");

// With FMA enabled (-mfma, -march=native), g++ 12's vectorizer fuses alternating add/sub lanes of
// the Hamilton product into vfmaddsub even under -ffp-contract=off; the rows are 4 wide, so these
// kernels give up vectorization rather than NumPy's rounding.
#if defined(__FMA__) && defined(__GNUC__) && !defined(__clang__)
#pragma GCC push_options
#pragma GCC optimize("no-tree-vectorize", "no-tree-slp-vectorize")
#define TRACKSCOPE_KERNELS_POP_OPTIONS
#endif

namespace trackscope::kernels {

namespace detail {

// Rows as arrays of U: U is the scalar T for one row, or simd::V<T> for four rows in lanes.
template <class U>
using Quat = std::array<U, 4>;  // [w, x, y, z]
template <class U>
using Vec3 = std::array<U, 3>;

template <class T>
constexpr void require_float() noexcept {
    static_assert(std::is_same_v<T, float> || std::is_same_v<T, double>,
                  "quaternion kernels cover float32 and float64 only");
}

// The constant x (exact in float: 0.5, 1, 2) as a U.
template <class U>
TRACKSCOPE_LANES_INLINE U lit(double x) noexcept {
    if constexpr (std::is_floating_point_v<U>) {
        return static_cast<U>(x);
    } else {
        using T = std::remove_cv_t<std::remove_reference_t<decltype(std::declval<U&>()[0])>>;
        return simd::splat(static_cast<T>(x));
    }
}

// NumPy computes `x * -1` with a real multiply, which keeps a NaN's sign; GCC would fold a literal
// -1 factor into a sign flip, so the factor is read through a volatile the compiler cannot see.
template <class T>
inline const volatile T minus_one = T(-1);

template <class T>
Quat<T> load4(const Strided<T>& a, std::ptrdiff_t n) noexcept {
    return {a.at(n, 0), a.at(n, 1), a.at(n, 2), a.at(n, 3)};
}
template <class T>
Vec3<T> load3(const Strided<T>& a, std::ptrdiff_t n) noexcept {
    return {a.at(n, 0), a.at(n, 1), a.at(n, 2)};
}
template <class T, std::size_t K>
void store(const StridedOut<T>& o, std::ptrdiff_t n, const std::array<T, K>& v) noexcept {
    for (std::size_t c = 0; c < K; ++c) o.at(n, static_cast<std::ptrdiff_t>(c)) = v[c];
}

// Contiguous rows of k components (row stride k): what the four-row blocks read and write.
template <class T>
bool packed(const Strided<T>& a, std::ptrdiff_t k) noexcept {
    return a.comp == 1 && a.row == k;
}
template <class T>
bool packed(const StridedOut<T>& a, std::ptrdiff_t k) noexcept {
    return a.comp == 1 && a.row == k;
}

// np.sum(q ** 2, axis=-1) over a last axis of 4 adds in index order from 0; 0 + a0 == a0 here.
template <class U>
TRACKSCOPE_LANES_INLINE U squared_norm(const Quat<U>& q) noexcept {
    return ((q[0] * q[0] + q[1] * q[1]) + q[2] * q[2]) + q[3] * q[3];
}

template <class U>
TRACKSCOPE_LANES_INLINE Quat<U> conjugate(const Quat<U>& q, U m1) noexcept {
    return {q[0], q[1] * m1, q[2] * m1, q[3] * m1};
}

// c / np.clip(s, eps, None): np.clip is np.maximum, which keeps a NaN s and, on equal values
// (+0 against an eps of -0), returns eps, as NumPy's x86 SIMD maximum does.
template <class U>
TRACKSCOPE_LANES_INLINE Quat<U> inverse(const Quat<U>& q, U eps, U m1) noexcept {
    const Quat<U> c = conjugate(q, m1);
    const U s = squared_norm(q);
    U d;
    if constexpr (std::is_floating_point_v<U>) {
        d = (s > eps || s != s) ? s : eps;
    } else {
        using T = std::remove_cv_t<std::remove_reference_t<decltype(s[0])>>;
        d = simd::clip_below<T>(s, eps);
    }
    return {c[0] / d, c[1] / d, c[2] / d, c[3] / d};
}

template <class U>
TRACKSCOPE_LANES_INLINE Quat<U> hamilton(const Quat<U>& a, const Quat<U>& b) noexcept {
    const U w1 = a[0], x1 = a[1], y1 = a[2], z1 = a[3];
    const U w2 = b[0], x2 = b[1], y2 = b[2], z2 = b[3];
    return {((w1 * w2 - x1 * x2) - y1 * y2) - z1 * z2,
            ((w1 * x2 + x1 * w2) + y1 * z2) - z1 * y2,
            ((w1 * y2 - x1 * z2) + y1 * w2) + z1 * x2,
            ((w1 * z2 + x1 * y2) - y1 * x2) + z1 * w2};
}

// quat_mul_e's eight-multiplication product.
template <class U>
TRACKSCOPE_LANES_INLINE Quat<U> hamilton_e(const Quat<U>& a, const Quat<U>& b) noexcept {
    const U w1 = a[0], x1 = a[1], y1 = a[2], z1 = a[3];
    const U w2 = b[0], x2 = b[1], y2 = b[2], z2 = b[3];
    const U ww = (z1 + x1) * (x2 + y2);
    const U yy = (w1 - y1) * (w2 + z2);
    const U zz = (w1 + y1) * (w2 - z2);
    const U xx = (ww + yy) + zz;
    const U qq = lit<U>(0.5) * (xx + (z1 - x1) * (x2 - y2));
    return {(qq - ww) + (z1 - y1) * (y2 - z2), (qq - xx) + (x1 + w1) * (x2 + w2),
            (qq - yy) + (w1 - x1) * (y2 + z2), (qq - zz) + (z1 + y1) * (w2 - x2)};
}

// np.cross for 3-vectors: cp0 = a1*b2 - a2*b1, cp1 = a2*b0 - a0*b2, cp2 = a0*b1 - a1*b0.
template <class U>
TRACKSCOPE_LANES_INLINE Vec3<U> cross(U a0, U a1, U a2, const Vec3<U>& b) noexcept {
    return {a1 * b[2] - a2 * b[1], a2 * b[0] - a0 * b[2], a0 * b[1] - a1 * b[0]};
}

// (vec + q_w * t) + cross(q_xyz, t) with t = 2 * cross(q_xyz, vec).
template <class U>
TRACKSCOPE_LANES_INLINE Vec3<U> rotate(const Quat<U>& q, const Vec3<U>& v) noexcept {
    const Vec3<U> c = cross(q[1], q[2], q[3], v);
    const U two = lit<U>(2);
    const Vec3<U> t = {two * c[0], two * c[1], two * c[2]};
    const Vec3<U> u = cross(q[1], q[2], q[3], t);
    return {(v[0] + q[0] * t[0]) + u[0], (v[1] + q[0] * t[1]) + u[1], (v[2] + q[0] * t[2]) + u[2]};
}

// matrix_from_quat's row-major entries.
template <class U>
TRACKSCOPE_LANES_INLINE std::array<U, 9> matrix(const Quat<U>& v) noexcept {
    const U r = v[0], i = v[1], j = v[2], k = v[3];
    const U two_s = lit<U>(2) / squared_norm(v);
    const U one = lit<U>(1);
    return {one - two_s * (j * j + k * k), two_s * (i * j - k * r), two_s * (i * k + j * r),
            two_s * (i * j + k * r), one - two_s * (i * i + k * k), two_s * (j * k - i * r),
            two_s * (i * k - j * r), two_s * (j * k + i * r), one - two_s * (i * i + j * j)};
}

// subtract_frame_transforms' steps on one row; a missing t02 or q02 is has_t02/has_q02 false.
template <class U>
TRACKSCOPE_LANES_INLINE void frame_difference(const Vec3<U>& a, const Quat<U>& q01, const Vec3<U>& b,
                                              const Quat<U>& q02, bool has_t02, bool has_q02, U eps,
                                              U m1, Vec3<U>& t12, Quat<U>& q12) noexcept {
    const Quat<U> q10 = inverse(q01, eps, m1);
    q12 = has_q02 ? hamilton(q10, q02) : q10;
    const Vec3<U> offset = has_t02 ? Vec3<U>{b[0] - a[0], b[1] - a[1], b[2] - a[2]}
                                   : Vec3<U>{-a[0], -a[1], -a[2]};
    t12 = rotate(q10, offset);
}

}  // namespace detail

// quat_conjugate: [w, -x, -y, -z] computed as x * -1 like NumPy's in-place `*= -1`, NaN sign kept.
template <class T>
void quat_conjugate_wxyz(std::ptrdiff_t count, Strided<T> q, StridedOut<T> out) noexcept {
    detail::require_float<T>();
    const T m1 = detail::minus_one<T>;
    std::ptrdiff_t n = 0;
    if (detail::packed(q, 4) && detail::packed(out, 4)) {
        // A row fills one lane vector: w is kept from the row, x, y, z taken from row * -1.
        struct Block {
            const T* q;
            T* out;
            T m1;
            bool stream;
            TRACKSCOPE_LANES_INLINE void operator()(std::ptrdiff_t r) const noexcept {
                for (std::ptrdiff_t i = 0; i < simd::kLanes; ++i) {
                    const simd::V<T> row = simd::load(q + 4 * (r + i));
                    const simd::V<T> negated = row * simd::splat(m1);
                    simd::put(out + 4 * (r + i), __builtin_shufflevector(row, negated, 0, 5, 6, 7), stream);
                }
            }
        };
        const bool stream = simd::streaming(out.p, count, 4);
        n = simd::blocks(count, Block{q.p, out.p, m1, stream});
        simd::end_streaming(stream);
    }
    for (; n < count; ++n) detail::store(out, n, detail::conjugate(detail::load4(q, n), m1));
}

// quat_inv: conjugate over the squared norm clamped below at eps. eps arrives as T: use the float
// kernel only where NumPy itself rounds eps to float32 (a Python float or int, weak under NEP 50)
// without overflow; a NumPy float64 eps (scalar or 0-d array) makes NumPy's result float64.
template <class T>
void quat_inv_wxyz(std::ptrdiff_t count, Strided<T> q, StridedOut<T> out, T eps) noexcept {
    detail::require_float<T>();
    const T m1 = detail::minus_one<T>;
    std::ptrdiff_t n = 0;
    if (detail::packed(q, 4) && detail::packed(out, 4)) {
        struct Block {
            const T* q;
            T* out;
            T eps, m1;
            bool stream;
            TRACKSCOPE_LANES_INLINE void operator()(std::ptrdiff_t r) const noexcept {
                using U = simd::V<T>;
                simd::store_rows<T, 4>(out + 4 * r,
                                       detail::inverse<U>(simd::load_rows<T, 4>(q + 4 * r), simd::splat(eps),
                                                          simd::splat(m1)),
                                       stream);
            }
        };
        const bool stream = simd::streaming(out.p, count, 4);
        n = simd::blocks(count, Block{q.p, out.p, eps, m1, stream});
        simd::end_streaming(stream);
    }
    for (; n < count; ++n) detail::store(out, n, detail::inverse(detail::load4(q, n), eps, m1));
}

namespace detail {

// out = op(a, b) over packed quaternion rows, four at a time.
template <class T, bool Eight>
struct ProductBlock {
    const T* a;
    const T* b;
    T* out;
    bool stream;
    TRACKSCOPE_LANES_INLINE void operator()(std::ptrdiff_t r) const noexcept {
        using U = simd::V<T>;
        const Quat<U> x = simd::load_rows<T, 4>(a + 4 * r), y = simd::load_rows<T, 4>(b + 4 * r);
        simd::store_rows<T, 4>(out + 4 * r, Eight ? hamilton_e<U>(x, y) : hamilton<U>(x, y), stream);
    }
};

template <class T, bool Eight>
std::ptrdiff_t product_blocks(std::ptrdiff_t count, const Strided<T>& q1, const Strided<T>& q2,
                              const StridedOut<T>& out) noexcept {
    if (!packed(q1, 4) || !packed(q2, 4) || !packed(out, 4)) return 0;
    const bool stream = simd::streaming(out.p, count, 4);
    const std::ptrdiff_t done = simd::blocks(count, ProductBlock<T, Eight>{q1.p, q2.p, out.p, stream});
    simd::end_streaming(stream);
    return done;
}

}  // namespace detail

// quat_mul: Hamilton product q1 (x) q2 with quat_mul's sixteen products, summed left to right.
template <class T>
void quat_mul_wxyz(std::ptrdiff_t count, Strided<T> q1, Strided<T> q2, StridedOut<T> out) noexcept {
    detail::require_float<T>();
    for (std::ptrdiff_t n = detail::product_blocks<T, false>(count, q1, q2, out); n < count; ++n)
        detail::store(out, n, detail::hamilton(detail::load4(q1, n), detail::load4(q2, n)));
}

// quat_mul_e: the same product with eight multiplications; its own rounding, not quat_mul's.
template <class T>
void quat_mul_e_wxyz(std::ptrdiff_t count, Strided<T> q1, Strided<T> q2, StridedOut<T> out) noexcept {
    detail::require_float<T>();
    for (std::ptrdiff_t n = detail::product_blocks<T, true>(count, q1, q2, out); n < count; ++n)
        detail::store(out, n, detail::hamilton_e(detail::load4(q1, n), detail::load4(q2, n)));
}

// quat_apply: rotates vec rows (3) by quat rows (4) through two cross products, no matrix;
// a row stride of 0 on either operand broadcasts one quaternion or one vector.
template <class T>
void quat_apply_wxyz(std::ptrdiff_t count, Strided<T> quat, Strided<T> vec, StridedOut<T> out) noexcept {
    detail::require_float<T>();
    std::ptrdiff_t n = 0;
    if (detail::packed(quat, 4) && detail::packed(vec, 3) && detail::packed(out, 3)) {
        struct Block {
            const T* q;
            const T* v;
            T* out;
            bool stream;
            TRACKSCOPE_LANES_INLINE void operator()(std::ptrdiff_t r) const noexcept {
                using U = simd::V<T>;
                simd::store_rows<T, 3>(out + 3 * r,
                                       detail::rotate<U>(simd::load_rows<T, 4>(q + 4 * r),
                                                         simd::load_rows<T, 3>(v + 3 * r)),
                                       stream);
            }
        };
        const bool stream = simd::streaming(out.p, count, 3);
        n = simd::blocks(count, Block{quat.p, vec.p, out.p, stream});
        simd::end_streaming(stream);
    }
    for (; n < count; ++n) detail::store(out, n, detail::rotate(detail::load4(quat, n), detail::load3(vec, n)));
}

// matrix_from_quat: row-major 3x3 (out rows of 9) scaled by 2/|q|^2, so non-unit q gives the
// matrix of q/|q|; a zero q divides by zero and yields NaN entries, as in NumPy.
template <class T>
void matrix_from_quat_wxyz(std::ptrdiff_t count, Strided<T> q, StridedOut<T> out) noexcept {
    detail::require_float<T>();
    std::ptrdiff_t n = 0;
    if (detail::packed(q, 4) && detail::packed(out, 9)) {
        struct Block {
            const T* q;
            T* out;
            TRACKSCOPE_LANES_INLINE void operator()(std::ptrdiff_t r) const noexcept {
                using U = simd::V<T>;
                simd::store_rows<T, 9>(out + 9 * r, detail::matrix<U>(simd::load_rows<T, 4>(q + 4 * r)));
            }
        };
        n = simd::blocks(count, Block{q.p, out.p});
    }
    for (; n < count; ++n) detail::store(out, n, detail::matrix(detail::load4(q, n)));
}

// quatToEuler: roll, pitch, yaw (out rows of 3) in double, as for Python floats or float64
// scalars; pitch saturates to +-pi/2 (|sinp| >= 1, boundary included) instead of asin's NaN.
// atan2(&y, &x, &out) and asin(&x, &out) are the caller's: NumPy's arctan2/arcsin differ between
// CPUs (SVML on AVX-512, the C library elsewhere), so the caller passes in the loops NumPy runs.
template <class Atan2, class Asin>
void quat_to_euler_wxyz(std::ptrdiff_t count, Strided<double> quat, StridedOut<double> out,
                        const Atan2& atan2, const Asin& asin) noexcept {
    constexpr double half_pi = 3.141592653589793 / 2;  // np.pi / 2
    for (std::ptrdiff_t n = 0; n < count; ++n) {
        const double qw = quat.at(n, 0), qx = quat.at(n, 1), qy = quat.at(n, 2), qz = quat.at(n, 3);
        const double sinr_cosp = 2.0 * (qw * qx + qy * qz);
        const double cosr_cosp = 1.0 - 2.0 * (qx * qx + qy * qy);
        const double sinp = 2.0 * (qw * qy - qz * qx);
        const double siny_cosp = 2.0 * (qw * qz + qx * qy);
        const double cosy_cosp = 1.0 - 2.0 * (qy * qy + qz * qz);
        double roll, pitch, yaw;
        atan2(&sinr_cosp, &cosr_cosp, &roll);
        if (std::abs(sinp) >= 1.0)
            pitch = std::copysign(half_pi, sinp);
        else
            asin(&sinp, &pitch);
        atan2(&siny_cosp, &cosy_cosp, &yaw);
        out.at(n, 0) = roll;
        out.at(n, 1) = pitch;
        out.at(n, 2) = yaw;
    }
}

// euler_from_quaternion's tensor arithmetic on [x, y, z, w] rows (scalar last), before its
// atan2/asin: t0 = 2.0 * (w*x + y*z), t1 = 1.0 - 2.0 * (x*x + y*y), t2 = 2.0 * (w*y - z*x)
// clipped to [-1, 1] (NaN kept), t3 = 2.0 * (w*z + x*y), t4 = 1.0 - 2.0 * (y*y + z*z); outputs
// are contiguous.
template <class T>
void euler_terms_xyzw(std::ptrdiff_t count, Strided<T> q, T* t0, T* t1, T* t2, T* t3, T* t4) noexcept {
    detail::require_float<T>();
    for (std::ptrdiff_t n = 0; n < count; ++n) {
        const T x = q.at(n, 0), y = q.at(n, 1), z = q.at(n, 2), w = q.at(n, 3);
        t0[n] = T(2) * (w * x + y * z);
        t1[n] = T(1) - T(2) * (x * x + y * y);
        const T s = T(2) * (w * y - z * x);
        t2[n] = s != s ? s : (s < T(-1) ? T(-1) : (s > T(1) ? T(1) : s));
        t3[n] = T(2) * (w * z + x * y);
        t4[n] = T(1) - T(2) * (y * y + z * z);
    }
}

// subtract_frame_transforms: T12 = T01^-1 * T02 as quat_inv, then quat_mul(q10, q02) (or q10 when
// q02 is None), then quat_apply(q10, t02 - t01 or -t01). A None t02/q02 is passed as p == nullptr.
// -t01 is a sign flip (np.negative), unlike quat_conjugate's multiply. quat_inv's eps is 1e-9.
template <class T>
void subtract_frame_transforms_wxyz(std::ptrdiff_t count, Strided<T> t01, Strided<T> q01,
                                    Strided<T> t02, Strided<T> q02, StridedOut<T> t12,
                                    StridedOut<T> q12, T eps = T(1e-9)) noexcept {
    detail::require_float<T>();
    const T m1 = detail::minus_one<T>;
    const bool has_t02 = t02.p != nullptr, has_q02 = q02.p != nullptr;
    std::ptrdiff_t n = 0;
    if (detail::packed(t01, 3) && detail::packed(q01, 4) && (!has_t02 || detail::packed(t02, 3)) &&
        (!has_q02 || detail::packed(q02, 4)) && detail::packed(t12, 3) && detail::packed(q12, 4)) {
        struct Block {
            const T *t01, *q01, *t02, *q02;
            T *t12, *q12;
            T eps, m1;
            bool stream;
            TRACKSCOPE_LANES_INLINE void operator()(std::ptrdiff_t r) const noexcept {
                using U = simd::V<T>;
                const detail::Vec3<U> a = simd::load_rows<T, 3>(t01 + 3 * r);
                const detail::Quat<U> q = simd::load_rows<T, 4>(q01 + 4 * r);
                const detail::Vec3<U> b = t02 ? simd::load_rows<T, 3>(t02 + 3 * r) : a;
                const detail::Quat<U> p = q02 ? simd::load_rows<T, 4>(q02 + 4 * r) : q;
                detail::Vec3<U> t;
                detail::Quat<U> q_out;
                detail::frame_difference<U>(a, q, b, p, t02 != nullptr, q02 != nullptr, simd::splat(eps),
                                            simd::splat(m1), t, q_out);
                simd::store_rows<T, 3>(t12 + 3 * r, t, stream);
                simd::store_rows<T, 4>(q12 + 4 * r, q_out, stream);
            }
        };
        // Seven components a row between the two outputs.
        const bool stream = simd::streaming(t12.p, count, 7) && simd::streaming(q12.p, count, 7);
        n = simd::blocks(count, Block{t01.p, q01.p, t02.p, q02.p, t12.p, q12.p, eps, m1, stream});
        simd::end_streaming(stream);
    }
    for (; n < count; ++n) {
        const detail::Vec3<T> a = detail::load3(t01, n);
        const detail::Quat<T> q = detail::load4(q01, n);
        detail::Vec3<T> t;
        detail::Quat<T> q_out;
        detail::frame_difference<T>(a, q, has_t02 ? detail::load3(t02, n) : a,
                                    has_q02 ? detail::load4(q02, n) : q, has_t02, has_q02, eps, m1, t,
                                    q_out);
        detail::store(t12, n, t);
        detail::store(q12, n, q_out);
    }
}

}  // namespace trackscope::kernels

#ifdef TRACKSCOPE_KERNELS_POP_OPTIONS
#pragma GCC pop_options
#undef TRACKSCOPE_KERNELS_POP_OPTIONS
#endif
