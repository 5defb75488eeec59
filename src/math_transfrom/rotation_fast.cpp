// Native stand-ins for the SciPy Rotation round trips of one pose: the
// TransformAlignment methods the control loop calls every tick, and the
// one-quaternion functions of the robot's state estimate (world_to_body_vel,
// the re-zeroing functions, pelvis_to_torso_quat, imu_quat_to_euler).  They
// give SciPy's values to rounding (its normalisation, composition,
// elementary-rotation, vector-rotation and Euler formulas); a base Rotation's
// quaternion is read once per object through as_quat().  Any other case
// (stacks, non-finite or zero quaternions, other dtypes, rebound module
// names, Rotation subclasses, Euler angles near gimbal lock or the +-pi
// wrap) goes through SciPy, which raises and warns as it does.

#include "math_transfrom/fast_paths.hpp"
#include "kernels/fp_flags.hpp"
#include "math_transfrom/functions.hpp"
#include "runtime/ndarray.hpp"
#include "runtime/ops.hpp"

#include <cmath>

namespace math_transfrom::fast {

using ts::Call;
using ts::FloatOperand;
using ts::Ref;

namespace {

// [x, y, z, w] of one rotation, and whether it is a single rotation rather
// than a stack of one.
struct OneRotation {
    double q[4];
    bool single;
};

// The last base seen, kept alive so that its identity cannot be reused.
struct BaseCache {
    Ref rotation;
    OneRotation value;
};

BaseCache& base_cache() {
    static BaseCache* cache = new BaseCache();  // outlives finalisation
    return *cache;
}

// The base rotation of one pose, when `r` is exactly a SciPy Rotation that is
// single or a stack of one.
bool base_rotation(PyObject* r, OneRotation& out) {
    const Bound& g = bound();
    if (!g.R || Py_TYPE(r) != reinterpret_cast<PyTypeObject*>(g.R.get())) return false;
    BaseCache& cache = base_cache();
    if (cache.rotation.get() == r) {
        out = cache.value;
        return true;
    }
    Ref single = ts::attr(r, TS_ID("single"));
    Ref quat = ts::call_method(r, TS_ID("as_quat"), {});
    FloatOperand q;
    if (!ts::float_operand(quat.get(), q, 4) || q.type != NPY_FLOAT64 || q.components() != 4)
        return false;
    const bool is_single = single.get() == Py_True;
    if (is_single ? q.ndim != 1 : (q.ndim != 2 || q.shape[0] != 1)) return false;
    const double* p = reinterpret_cast<const double*>(q.data);
    for (int i = 0; i < 4; ++i) out.q[i] = p[i * q.comp_stride()];
    out.single = is_single;
    cache.rotation = Ref::borrow(r);
    cache.value = out;
    return true;
}

// One row of `count` components from a float64 operand of shape (k,) or
// (1, k); `single` tells which.
bool one_row(PyObject* o, npy_intp k, double* out, bool& single) {
    FloatOperand v;
    if (!ts::float_operand(o, v, k) || v.type != NPY_FLOAT64 || v.components() != k) return false;
    if (v.ndim == 2 && v.shape[0] != 1) return false;
    if (v.ndim > 2) return false;
    single = v.ndim == 1;
    const double* p = reinterpret_cast<const double*>(v.data);
    for (npy_intp i = 0; i < k; ++i) {
        out[i] = p[i * v.comp_stride()];
        if (!std::isfinite(out[i])) return false;
    }
    return true;
}

Ref row_array(const double* values, npy_intp k, bool single) {
    npy_intp dims[2] = {1, k};
    Ref out = Ref::steal(single ? PyArray_SimpleNew(1, dims + 1, NPY_FLOAT64)
                                : PyArray_SimpleNew(2, dims, NPY_FLOAT64));
    double* p = reinterpret_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    for (npy_intp i = 0; i < k; ++i) p[i] = values[i];
    return out;
}

void normalise(double* q) {
    const double n = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
    for (int i = 0; i < 4; ++i) q[i] /= n;
}

// p * q for [x, y, z, w] quaternions (q applied first).
void compose(const double* p, const double* q, double* out) {
    const double cx = p[1] * q[2] - p[2] * q[1];
    const double cy = p[2] * q[0] - p[0] * q[2];
    const double cz = p[0] * q[1] - p[1] * q[0];
    out[0] = p[3] * q[0] + q[3] * p[0] + cx;
    out[1] = p[3] * q[1] + q[3] * p[1] + cy;
    out[2] = p[3] * q[2] + q[3] * p[2] + cz;
    out[3] = p[3] * q[3] - p[0] * q[0] - p[1] * q[1] - p[2] * q[2];
}

// The transpose of the rotation matrix of unit q applied to v: v rotated by
// the inverse of q.
void rotate_inverse(const double* q, const double* v, double* out) {
    const double x = q[0], y = q[1], z = q[2], w = q[3];
    const double x2 = x * x, y2 = y * y, z2 = z * z, w2 = w * w;
    const double xy = x * y, zw = z * w, xz = x * z, yw = y * w, yz = y * z, xw = x * w;
    const double m[3][3] = {{x2 - y2 - z2 + w2, 2 * (xy - zw), 2 * (xz + yw)},
                            {2 * (xy + zw), -x2 + y2 - z2 + w2, 2 * (yz - xw)},
                            {2 * (xz - yw), 2 * (yz + xw), -x2 - y2 + z2 + w2}};
    for (int i = 0; i < 3; ++i) out[i] = m[0][i] * v[0] + m[1][i] * v[1] + m[2][i] * v[2];
}

bool r_intact(Call& c) {
    const Bound& g = bound();
    return g.R && c.global_borrowed(TS_ID("R")) == g.R.get();
}

bool np_intact(Call& c) {
    const Bound& g = bound();
    return g.np && c.global_borrowed(TS_ID("np")) == g.np.get();
}

// A finite quaternion of non-zero norm: what R.from_quat accepts silently.
bool usable_quat(const double* q) {
    for (int i = 0; i < 4; ++i)
        if (!std::isfinite(q[i])) return false;
    const double norm2 = q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3];
    return norm2 > 0.0 && std::isfinite(norm2);
}

// [w, x, y, z] items 0..3 of a one-quaternion argument, reordered to SciPy's
// [x, y, z, w] and normalised as from_quat does.
bool scipy_quat_from_wxyz(PyObject* o, double* xyzw) {
    double wxyz[4];
    if (!ts::first_floats(o, 4, wxyz)) return false;
    xyzw[0] = wxyz[1];
    xyzw[1] = wxyz[2];
    xyzw[2] = wxyz[3];
    xyzw[3] = wxyz[0];
    if (!usable_quat(xyzw)) return false;
    normalise(xyzw);
    return true;
}

// Exactly four float items: what the layout converters unpack.
bool exactly_four(PyObject* o) {
    if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) return PySequence_Fast_GET_SIZE(o) == 4;
    return PyArray_CheckExact(o) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(o)) == 1 &&
           PyArray_DIM(reinterpret_cast<PyArrayObject*>(o), 0) == 4;
}

constexpr double kPi = 3.141592653589793;

// NumPy's float remainder: the sign of the divisor, +0.0 for an exact zero.
double floor_mod(double x, double y) {
    double r = std::fmod(x, y);
    if (r != 0.0) {
        if ((y < 0) != (r < 0)) r += y;
    } else {
        r = std::copysign(0.0, y);
    }
    return r;
}

// SciPy's as_euler('xyz') (extrinsic x, y, z) of a unit [x, y, z, w]
// quaternion.  False near gimbal lock, where SciPy zeroes the third angle and
// warns, and next to the +-pi wrap, where rounding could pick the other end.
bool euler_xyz(const double* q, double* angles) {
    const double a = q[3] - q[1], b = q[0] + q[2], c = q[1] + q[3], d = q[2] - q[0];
    const double half_sum = std::atan2(b, a);
    const double half_diff = std::atan2(d, c);
    const double second = 2 * std::atan2(std::hypot(c, d), std::hypot(a, b));
    constexpr double kLockMargin = 1e-6;  // SciPy's own threshold is 1e-7
    if (std::fabs(second) <= kLockMargin || std::fabs(second - kPi) <= kLockMargin) return false;
    const double raw[3] = {half_sum - half_diff, second - kPi / 2, half_sum + half_diff};
    for (int i = 0; i < 3; ++i) {
        angles[i] = floor_mod(raw[i] + kPi, 2 * kPi) - kPi;
        if (!(std::fabs(angles[i]) < kPi - 1e-9)) return false;
    }
    return true;
}

// R.from_euler of one elementary rotation about `axis` (0, 1, 2 = x, y, z).
void elementary(int axis, double angle, double* q) {
    q[0] = q[1] = q[2] = 0.0;
    q[3] = std::cos(angle / 2.0);
    q[axis] = std::sin(angle / 2.0);
}

// R.from_euler('xyz', [x, y, z]): extrinsic, so z * (y * x).
void from_euler_xyz(const double* angles, double* q) {
    double qx[4], qy[4], qz[4], yx[4];
    elementary(0, angles[0], qx);
    elementary(1, angles[1], qy);
    elementary(2, angles[2], qz);
    compose(qy, qx, yx);
    compose(qz, yx, q);
}

Ref float64_scalar(double v) {
    PyArray_Descr* descr = PyArray_DescrFromType(NPY_FLOAT64);
    PyObject* scalar = PyArray_Scalar(&v, descr, nullptr);
    Py_DECREF(descr);
    return Ref::steal(scalar);
}

// The guards and conversions the re-zeroing functions share: module names
// intact, two quaternions of exactly four floats (normalised, [x, y, z, w]).
bool rezero_quats(Call& c, PyObject* q_odom, PyObject* q_offset, double* odom, double* offset) {
    const Bound& g = bound();
    if (!r_intact(c) || !np_intact(c) ||
        c.global_borrowed(TS_ID("wxyz_to_xyzw")) != g.wxyz_to_xyzw.get() ||
        c.global_borrowed(TS_ID("xyzw_to_wxyz")) != g.xyzw_to_wxyz.get())
        return false;
    return exactly_four(q_odom) && exactly_four(q_offset) && scipy_quat_from_wxyz(q_odom, odom) &&
           scipy_quat_from_wxyz(q_offset, offset);
}

// Two float64 positions of shape (3,), as `p_odom - p_offset` needs them.
bool two_positions(PyObject* a, PyObject* b, double* pa, double* pb) {
    for (PyObject* p : {a, b}) {
        FloatOperand v;
        if (!PyArray_CheckExact(p) || !ts::float_operand(p, v, 3) || v.type != NPY_FLOAT64 ||
            v.ndim != 1 || v.shape[0] != 3)
            return false;
    }
    return ts::first_floats(a, 3, pa) && ts::first_floats(b, 3, pb);
}

// R.from_euler('z', yaw).inv().apply(p_odom - p_offset)
void unturn_difference(double yaw, const double* pa, const double* pb, double* out) {
    double turn[4];
    elementary(2, yaw, turn);
    const double diff[3] = {pa[0] - pb[0], pa[1] - pb[1], pa[2] - pb[2]};
    rotate_inverse(turn, diff, out);
}

Ref wxyz_array_from_xyzw(const double* q) {
    const double wxyz[4] = {q[3], q[0], q[1], q[2]};
    return row_array(wxyz, 4, true);
}

// (p_new, xyzw_to_wxyz(q_new)) of a re-zeroed pose.
Ref pose_result(const double* p_new, const double* q_xyzw) {
    Ref position = row_array(p_new, 3, true);
    Ref orientation = wxyz_array_from_xyzw(q_xyzw);
    return ts::tuple({position.get(), orientation.get()});
}

}  // namespace

// R.from_quat(quat) then self.R_base.inv() * R_cur, as_quat().
Ref align_quat(Call& c) {
    double q[4];
    bool q_single;
    if (!r_intact(c) || !one_row(c.arg(1), 4, q, q_single)) return {};
    const double norm2 = q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3];
    if (!(norm2 > 0.0) || !std::isfinite(norm2)) return {};
    Ref base = ts::attr(c.arg(0), TS_ID("R_base"));
    OneRotation b;
    if (!base_rotation(base.get(), b)) return {};
    normalise(q);
    const double inverse[4] = {-b.q[0], -b.q[1], -b.q[2], b.q[3]};
    double out[4];
    compose(inverse, q, out);
    normalise(out);
    return row_array(out, 4, b.single && q_single);
}

// np.asarray(xyz), then self.R_base.inv().apply(xyz).
Ref align_xyz(Call& c) {
    double v[3];
    bool v_single;
    const Bound& g = bound();
    if (!r_intact(c) || c.global_borrowed(TS_ID("np")) != g.np.get()) return {};
    if (!one_row(c.arg(1), 3, v, v_single)) return {};
    Ref base = ts::attr(c.arg(0), TS_ID("R_base"));
    OneRotation b;
    if (!base_rotation(base.get(), b)) return {};
    double out[3];
    rotate_inverse(b.q, v, out);
    return row_array(out, 3, b.single && v_single);
}

// R.from_quat([q[1], q[2], q[3], q[0]]).inv().apply(lin_vel_w)
Ref world_to_body_vel(Call& c) {
    double q[4];
    if (!r_intact(c) || !scipy_quat_from_wxyz(c.arg(1), q)) return {};
    FloatOperand v;
    if (!ts::float_operand(c.arg(0), v, 3) || v.type != NPY_FLOAT64 || v.components() != 3 ||
        v.ndim > 2)
        return {};
    const npy_intp rows = v.ndim == 1 ? 1 : v.shape[0];
    npy_intp dims[2] = {rows, 3};
    Ref out = Ref::steal(v.ndim == 1 ? PyArray_SimpleNew(1, dims + 1, NPY_FLOAT64)
                                     : PyArray_SimpleNew(2, dims, NPY_FLOAT64));
    double* o = reinterpret_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    const double* p = reinterpret_cast<const double*>(v.data);
    const npy_intp row = v.ndim == 1 ? 0 : v.strides[0];
    trackscope::kernels::FpFlags flags;
    for (npy_intp n = 0; n < rows; ++n) {
        const double vec[3] = {p[n * row], p[n * row + v.comp_stride()], p[n * row + 2 * v.comp_stride()]};
        rotate_inverse(q, vec, o + 3 * n);
    }
    if (!flags.clean()) return {};
    return out;
}

// R_offset.inv().apply(p_odom - p_offset) and (R_offset.inv() * R_odom), for
// one pose given as float64 positions (3,) and four-float quaternions.
Ref reset_pose(Call& c) {
    double odom[4], offset[4], p_odom[3], p_offset[3];
    if (!rezero_quats(c, c.arg(1), c.arg(3), odom, offset) ||
        !two_positions(c.arg(0), c.arg(2), p_odom, p_offset))
        return {};
    trackscope::kernels::FpFlags flags;
    const double diff[3] = {p_odom[0] - p_offset[0], p_odom[1] - p_offset[1], p_odom[2] - p_offset[2]};
    double p_new[3];
    rotate_inverse(offset, diff, p_new);
    const double inverse[4] = {-offset[0], -offset[1], -offset[2], offset[3]};
    double q_new[4];
    compose(inverse, odom, q_new);
    normalise(q_new);
    if (!flags.clean()) return {};
    return pose_result(p_new, q_new);
}

// R_pelvis * R.from_euler('y', waist_pitch_angle), as [w, x, y, z].
Ref pelvis_to_torso_quat(Call& c) {
    double pelvis[4];
    if (!r_intact(c) || !np_intact(c) || !scipy_quat_from_wxyz(c.arg(0), pelvis)) return {};
    PyObject* angle = c.arg(1);
    if (!PyFloat_Check(angle)) return {};
    const double a = PyFloat_AS_DOUBLE(angle);
    if (!std::isfinite(a)) return {};
    const double waist[4] = {0.0, std::sin(a / 2), 0.0, std::cos(a / 2)};
    double torso[4];
    trackscope::kernels::FpFlags flags;
    compose(pelvis, waist, torso);
    normalise(torso);
    if (!flags.clean()) return {};
    return wxyz_array_from_xyzw(torso);
}

namespace {

// The inputs of a heading re-zeroing of one pose, with both Euler
// decompositions; false when any guard of the native path fails.
struct HeadingPose {
    double p_odom[3], p_offset[3], e_odom[3], e_offset[3];
};

bool heading_pose(Call& c, HeadingPose& h) {
    double odom[4], offset[4];
    return rezero_quats(c, c.arg(1), c.arg(3), odom, offset) &&
           two_positions(c.arg(0), c.arg(2), h.p_odom, h.p_offset) && euler_xyz(odom, h.e_odom) &&
           euler_xyz(offset, h.e_offset);
}

}  // namespace

// Headings only: R.from_euler('z', yaw_odom - yaw_offset), and the position
// difference turned back by the offset's heading.
Ref reset_pose_yaw_only(Call& c) {
    HeadingPose h;
    if (!heading_pose(c, h)) return {};
    trackscope::kernels::FpFlags flags;
    double q_new[4], p_new[3];
    elementary(2, h.e_odom[2] - h.e_offset[2], q_new);
    unturn_difference(h.e_offset[2], h.p_odom, h.p_offset, p_new);
    if (!flags.clean()) return {};
    return pose_result(p_new, q_new);
}

// The heading re-zeroed, roll and pitch kept; the height is p_odom's own.
Ref reset_pose_yaw_only_keep_rp(Call& c) {
    HeadingPose h;
    if (!heading_pose(c, h)) return {};
    trackscope::kernels::FpFlags flags;
    const double angles[3] = {h.e_odom[0], h.e_odom[1], h.e_odom[2] - h.e_offset[2]};
    double q_new[4], p_new[3];
    from_euler_xyz(angles, q_new);
    unturn_difference(h.e_offset[2], h.p_odom, h.p_offset, p_new);
    p_new[2] = h.p_odom[2];
    if (!flags.clean()) return {};
    return pose_result(p_new, q_new);
}

Ref reset_quat_yaw_only_keep_rp(Call& c) {
    double odom[4], offset[4], e_odom[3], e_offset[3];
    if (!rezero_quats(c, c.arg(0), c.arg(1), odom, offset) || !euler_xyz(odom, e_odom) ||
        !euler_xyz(offset, e_offset))
        return {};
    trackscope::kernels::FpFlags flags;
    const double angles[3] = {e_odom[0], e_odom[1], e_odom[2] - e_offset[2]};
    double q_new[4];
    from_euler_xyz(angles, q_new);
    if (!flags.clean()) return {};
    return wxyz_array_from_xyzw(q_new);
}

// np.asarray(quat) of four items, reordered, then R.from_quat(...).as_euler('xyz').
Ref imu_quat_to_euler(Call& c) {
    double q[4], angles[3];
    if (!r_intact(c) || !np_intact(c) || !exactly_four(c.arg(0)) ||
        !scipy_quat_from_wxyz(c.arg(0), q) || !euler_xyz(q, angles))
        return {};
    Ref roll = float64_scalar(angles[0]);
    Ref pitch = float64_scalar(angles[1]);
    Ref yaw = float64_scalar(angles[2]);
    return ts::tuple({roll.get(), pitch.get(), yaw.get()});
}

}  // namespace math_transfrom::fast
