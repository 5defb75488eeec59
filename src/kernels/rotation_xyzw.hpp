// One-rotation formulas of SciPy's Rotation, [x, y, z, w] layout (scalar last), in double:
// normalisation, composition, vector rotation, elementary rotations and the 'xyz' Euler angles.
#pragma once

#include <cmath>

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

}  // namespace trackscope::kernels
