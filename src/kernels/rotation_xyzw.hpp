// One-rotation formulas of SciPy's Rotation, [x, y, z, w] layout (scalar last), in double:
// normalisation, composition, vector rotation, elementary rotations, the 'xyz' Euler angles,
// rotation vectors and the rotation aligning the z axis with a vector.
#pragma once

#include <array>
#include <cfloat>
#include <cmath>
#include <cstddef>

#include "kernels/simd.hpp"

namespace trackscope::kernels {

inline void normalise_xyzw(double* q) noexcept {
    const double n = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
    for (int i = 0; i < 4; ++i) q[i] /= n;
}

// p * q (q applied first).
inline void compose_xyzw(const double* p, const double* q, double* out) noexcept {
    const double cx = p[1] * q[2] - p[2] * q[1];
    const double cy = p[2] * q[0] - p[0] * q[2];
    const double cz = p[0] * q[1] - p[1] * q[0];
    out[0] = p[3] * q[0] + q[3] * p[0] + cx;
    out[1] = p[3] * q[1] + q[3] * p[1] + cy;
    out[2] = p[3] * q[2] + q[3] * p[2] + cz;
    out[3] = p[3] * q[3] - p[0] * q[0] - p[1] * q[1] - p[2] * q[2];
}

// as_matrix: the rotation matrix of q, row-major (exact for a unit q; SciPy applies the same
// formula to whatever it stores).
inline void matrix_xyzw(const double* q, double* m) noexcept {
    const double x = q[0], y = q[1], z = q[2], w = q[3];
    const double x2 = x * x, y2 = y * y, z2 = z * z, w2 = w * w;
    const double xy = x * y, zw = z * w, xz = x * z, yw = y * w, yz = y * z, xw = x * w;
    m[0] = x2 - y2 - z2 + w2;
    m[3] = 2 * (xy + zw);
    m[6] = 2 * (xz - yw);
    m[1] = 2 * (xy - zw);
    m[4] = -x2 + y2 - z2 + w2;
    m[7] = 2 * (yz + xw);
    m[2] = 2 * (xz + yw);
    m[5] = 2 * (yz - xw);
    m[8] = -x2 - y2 + z2 + w2;
}

// R.from_quat(q).as_matrix() over packed rows (4 each, out 9 each): per row, from_quat's checks
// (finite components, a finite non-zero squared norm), normalise_xyzw and matrix_xyzw, four rows
// at a time in lanes where simd::blocks runs them. False when a row fails the checks (out is
// then partly written).
inline bool matrices_from_quat_rows_xyzw(std::ptrdiff_t count, const double* q, double* out) noexcept {
    using V = simd::V<double>;
    using M = simd::Lanes<double>::Mask;
    struct Block {
        const double* q;
        double* out;
        M* rejected;
        TRACKSCOPE_LANES_INLINE void operator()(std::ptrdiff_t r) const noexcept {
            const std::array<V, 4> c = simd::load_rows<double, 4>(q + 4 * r);
            const V max = simd::splat(DBL_MAX), zero = simd::splat(0.0);
            const M magnitude = ~(M)simd::splat(-0.0);
            const V norm2 = c[0] * c[0] + c[1] * c[1] + c[2] * c[2] + c[3] * c[3];
            M ok = (M)(norm2 > zero) & (M)(norm2 <= max);
            for (const V& v : c) ok &= (M)((V)((M)v & magnitude) <= max);
            *rejected |= ~ok;
            const V n = {std::sqrt(norm2[0]), std::sqrt(norm2[1]), std::sqrt(norm2[2]), std::sqrt(norm2[3])};
            const V x = c[0] / n, y = c[1] / n, z = c[2] / n, w = c[3] / n;
            const V x2 = x * x, y2 = y * y, z2 = z * z, w2 = w * w;
            const V xy = x * y, zw = z * w, xz = x * z, yw = y * w, yz = y * z, xw = x * w;
            const V two = simd::splat(2.0);
            simd::store_rows<double, 9>(out + 9 * r, {x2 - y2 - z2 + w2, two * (xy - zw), two * (xz + yw),
                                                      two * (xy + zw), -x2 + y2 - z2 + w2, two * (yz - xw),
                                                      two * (xz - yw), two * (yz + xw), -x2 - y2 + z2 + w2});
        }
    };
    M rejected = {};
    std::ptrdiff_t n = simd::blocks(count, Block{q, out, &rejected});
    for (std::ptrdiff_t i = 0; i < 4; ++i)
        if (rejected[i]) return false;
    for (; n < count; ++n) {
        double row[4] = {q[4 * n], q[4 * n + 1], q[4 * n + 2], q[4 * n + 3]};
        const double norm2 = row[0] * row[0] + row[1] * row[1] + row[2] * row[2] + row[3] * row[3];
        for (double v : row)
            if (!std::isfinite(v)) return false;
        if (!(norm2 > 0.0 && std::isfinite(norm2))) return false;
        normalise_xyzw(row);
        matrix_xyzw(row, out + 9 * n);
    }
    return true;
}

// from_matrix of an orthogonal row-major matrix: the largest of the three diagonal entries and
// the trace (the first one on ties) picks the formula, then the quaternion is normalised.
inline void quat_from_matrix_xyzw(const double* m, double* q) noexcept {
    const double decision[4] = {m[0], m[4], m[8], m[0] + m[4] + m[8]};
    int choice = 0;
    for (int i = 1; i < 4; ++i)
        if (decision[i] > decision[choice]) choice = i;
    if (choice != 3) {
        const int i = choice, j = (i + 1) % 3, k = (j + 1) % 3;
        q[i] = 1 - decision[3] + 2 * m[4 * i];
        q[j] = m[3 * j + i] + m[3 * i + j];
        q[k] = m[3 * k + i] + m[3 * i + k];
        q[3] = m[3 * k + j] - m[3 * j + k];
    } else {
        q[0] = m[7] - m[5];
        q[1] = m[2] - m[6];
        q[2] = m[3] - m[1];
        q[3] = 1 + decision[3];
    }
    normalise_xyzw(q);
}

constexpr double kPi = 3.141592653589793;

// as_euler('xyz') (extrinsic x, y, z) of a unit quaternion in SciPy's formulation (the quaternion
// method of Bernardes and Viollet): the half sum and half difference of the first and third
// angles from atan2 of permuted components, each angle brought into [-pi, pi] by one turn only
// when it lies outside, so small angles keep their relative accuracy.  False at gimbal lock
// (second angle within 1e-7 of 0 or pi), where SciPy zeroes the third angle and warns.
inline bool euler_xyz_from_xyzw(const double* q, double* angles) noexcept {
    const double a = q[3] - q[1], b = q[0] + q[2], c = q[1] + q[3], d = q[2] - q[0];
    const double second = 2 * std::atan2(std::hypot(c, d), std::hypot(a, b));
    if (std::fabs(second) <= 1e-7 || std::fabs(second - kPi) <= 1e-7) return false;
    const double half_sum = std::atan2(b, a);
    const double half_diff = std::atan2(d, c);
    angles[0] = half_sum - half_diff;
    angles[1] = second - kPi / 2;
    angles[2] = half_sum + half_diff;
    for (int i = 0; i < 3; ++i) {
        if (angles[i] < -kPi)
            angles[i] += 2 * kPi;
        else if (angles[i] > kPi)
            angles[i] -= 2 * kPi;
    }
    return true;
}

// from_euler of one elementary rotation about `axis` (0, 1, 2 = x, y, z).
inline void elementary_xyzw(int axis, double angle, double* q) noexcept {
    q[0] = q[1] = q[2] = 0.0;
    q[3] = std::cos(angle / 2.0);
    q[axis] = std::sin(angle / 2.0);
}

// from_euler('xyz', [x, y, z]): extrinsic, so z * (y * x).
inline void from_euler_xyz_xyzw(const double* angles, double* q) noexcept {
    double qx[4], qy[4], qz[4], yx[4];
    elementary_xyzw(0, angles[0], qx);
    elementary_xyzw(1, angles[1], qy);
    elementary_xyzw(2, angles[2], qz);
    compose_xyzw(qy, qx, yx);
    compose_xyzw(qz, yx, q);
}

// from_rotvec of one rotation vector: sin(angle / 2) / angle by its Taylor series up to an angle
// of 1e-3, by the C library's sin beyond.
inline void from_rotvec_xyzw(const double* r, double* q) noexcept {
    const double angle = std::sqrt(r[0] * r[0] + r[1] * r[1] + r[2] * r[2]);
    double scale;
    if (angle <= 1e-3) {
        const double angle2 = angle * angle;
        scale = 0.5 - angle2 / 48 + angle2 * angle2 / 3840;
    } else {
        scale = std::sin(angle / 2) / angle;
    }
    q[0] = scale * r[0];
    q[1] = scale * r[1];
    q[2] = scale * r[2];
    q[3] = std::cos(angle / 2);
}

// align_vectors([a], [[0, 0, 1]]): the shortest rotation carrying the z axis onto `a`, by SciPy's
// steps for a single vector pair.  The pair is normalised, the angle taken from atan2 of the
// cross product's norm and the dot product; near pi the rotation is split into a half turn about
// the cross product (about an axis built from the smallest component of `a` when they are
// antiparallel) and a small remainder; the rotation vector's length is the angle, by a Taylor
// series of angle / sin(angle) below 1e-3.  `np_sin(x)` and `np_norm(v)` are NumPy's sin and
// vector norm (the steps call them); `renormalise` normalises the composed quaternion again, as
// releases before 1.17 do.  False for a zero vector (SciPy raises).
template <class Sin, class Norm>
bool align_z_onto_xyzw(const double* a, bool renormalise, const Sin& np_sin, const Norm& np_norm,
                       double* q) noexcept {
    const double a_norm = std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]);
    if (a_norm == 0) return false;
    const double p[3] = {a[0] / a_norm, a[1] / a_norm, a[2] / a_norm};
    const double b[3] = {0.0, 0.0, 1.0};
    // np.cross(b, p)
    double cross[3] = {b[1] * p[2] - b[2] * p[1], b[2] * p[0] - b[0] * p[2],
                       b[0] * p[1] - b[1] * p[0]};
    const double cross_norm =
        std::sqrt(cross[0] * cross[0] + cross[1] * cross[1] + cross[2] * cross[2]);
    double theta = std::atan2(cross_norm, p[0] * b[0] + p[1] * b[1] + p[2] * b[2]);
    constexpr double tolerance = 1e-3;
    double flip[4] = {0.0, 0.0, 0.0, 1.0};
    if (kPi - theta < tolerance) {
        double axis[3] = {cross[0], cross[1], cross[2]};
        if (cross_norm == 0) {
            // the first smallest |p_i|; r[i - 1], r[i - 2] = p[i - 2], -p[i - 1]
            int i = 0;
            for (int k = 1; k < 3; ++k)
                if (std::fabs(p[k]) < std::fabs(p[i])) i = k;
            const double first = p[(i + 1) % 3], second = -p[(i + 2) % 3];
            axis[0] = axis[1] = axis[2] = 0.0;
            axis[(i + 2) % 3] = first;
            axis[(i + 1) % 3] = second;
        }
        const double n = np_norm(axis);
        const double half_turn[3] = {axis[0] / n * kPi, axis[1] / n * kPi, axis[2] / n * kPi};
        from_rotvec_xyzw(half_turn, flip);
        theta = kPi - theta;
        for (double& v : cross) v = -v;
    }
    double r[3];
    if (std::fabs(theta) < tolerance) {
        const double theta2 = theta * theta;
        const double factor = 1 + theta2 / 6 + theta2 * theta2 * 7 / 360;
        for (int k = 0; k < 3; ++k) r[k] = cross[k] * factor;
    } else {
        const double s = np_sin(theta);
        for (int k = 0; k < 3; ++k) r[k] = cross[k] * theta / s;
    }
    double turn[4];
    from_rotvec_xyzw(r, turn);
    compose_xyzw(turn, flip, q);
    if (renormalise) normalise_xyzw(q);
    return true;
}

}  // namespace trackscope::kernels
