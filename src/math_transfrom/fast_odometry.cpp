// Native stand-ins for the odometry re-zeroing functions and the torso pose
// of one pose, with SciPy's bits: SciPy's normalisation, composition,
// matrix, elementary-rotation and Euler formulas here, its products and the
// position differences through NumPy.  Euler angles at gimbal lock, and any
// input SciPy would reject, go through SciPy.

#include "math_transfrom/fast_common.hpp"
#include "math_transfrom/fast_paths.hpp"
#include "math_transfrom/scipy_rotation.hpp"

namespace math_transfrom::fast {

using ts::Call;
using ts::FloatOperand;
using ts::Ref;
namespace k = trackscope::kernels;

namespace {

// The guards and conversions the re-zeroing functions share: module names
// intact, two quaternions of exactly four floats (normalised, [x, y, z, w]).
bool rezero_quats(Call& c, PyObject* q_odom, PyObject* q_offset, double* odom, double* offset) {
    const Bound& g = bound();
    if (!r_intact(c) || !np_intact(c) || !global_is(c, TS_ID("wxyz_to_xyzw"), g.wxyz_to_xyzw) ||
        !global_is(c, TS_ID("xyzw_to_wxyz"), g.xyzw_to_wxyz))
        return false;
    return exactly_four(q_odom) && exactly_four(q_offset) && scipy_quat_from_wxyz(q_odom, odom) &&
           scipy_quat_from_wxyz(q_offset, offset);
}

// Two float64 positions of shape (3,), as `p_odom - p_offset` needs them,
// for a SciPy whose apply() the stand-ins repeat.
bool two_positions(PyObject* a, PyObject* b, double* pa, double* pb) {
    if (!bound().scipy.known) return false;
    for (PyObject* p : {a, b}) {
        FloatOperand v;
        if (!PyArray_CheckExact(p) || !ts::float_operand(p, v, 3) || v.type != NPY_FLOAT64 ||
            v.ndim != 1 || v.shape[0] != 3)
            return false;
    }
    return ts::first_floats(a, 3, pa) && ts::first_floats(b, 3, pb);
}

// rotation.inv().apply(p_odom - p_offset): the difference and the product by
// NumPy, as the described steps and SciPy make them.
Ref unturn_difference(const double* rotation, PyObject* p_odom, PyObject* p_offset) {
    Ref difference = ts::sub(p_odom, p_offset);
    Ref turned = apply_inverse(rotation, true, difference.get());
    if (!turned) ts::raise(PyExc_SystemError, "re-zeroing: unexpected position difference");
    return turned;
}

// R.from_euler('z', yaw).inv().apply(p_odom - p_offset)
Ref unturn_difference(double yaw, PyObject* p_odom, PyObject* p_offset) {
    double turn[4];
    k::elementary_xyzw(2, yaw, turn);
    return unturn_difference(turn, p_odom, p_offset);
}

// (p_new, xyzw_to_wxyz(q_new)) of a re-zeroed pose.
Ref pose_result(const Ref& position, const double* q_xyzw) {
    Ref orientation = wxyz_array_from_xyzw(q_xyzw);
    return ts::tuple({position.get(), orientation.get()});
}

}  // namespace

// R_offset.inv().apply(p_odom - p_offset) and (R_offset.inv() * R_odom), for
// one pose given as float64 positions (3,) and four-float quaternions.
Ref reset_pose(Call& c) {
    double odom[4], offset[4], p_odom[3], p_offset[3];
    if (!rezero_quats(c, c.arg(1), c.arg(3), odom, offset) ||
        !two_positions(c.arg(0), c.arg(2), p_odom, p_offset))
        return {};
    Ref p_new = unturn_difference(offset, c.arg(0), c.arg(2));
    QuatRows inverse;
    inverse.q.assign(offset, offset + 4);
    invert_rows(inverse);
    double q_new[4];
    k::compose_xyzw(inverse.row(0), odom, q_new);
    k::normalise_xyzw(q_new);
    return pose_result(p_new, q_new);
}

// R_pelvis * R.from_euler('y', waist_pitch_angle), as [w, x, y, z].
Ref pelvis_to_torso_quat(Call& c) {
    double pelvis[4];
    if (!r_intact(c) || !np_intact(c) || !scipy_quat_from_wxyz(c.arg(0), pelvis)) return {};
    PyObject* angle = c.arg(1);
    if (!PyFloat_Check(angle)) return {};
    double a = PyFloat_AS_DOUBLE(angle);
    if (!std::isfinite(a)) return {};
    k::FpFlags flags(pelvis, a);
    const double waist[4] = {0.0, std::sin(a / 2), 0.0, std::cos(a / 2)};
    double torso[4];
    k::compose_xyzw(pelvis, waist, torso);
    k::normalise_xyzw(torso);
    if (!flags.clean(torso)) return {};
    return wxyz_array_from_xyzw(torso);
}

namespace {

// A float64 (3, 3) array of a row-major matrix.
Ref matrix_array(const double* m) {
    npy_intp dims[2] = {3, 3};
    Ref out = Ref::steal(PyArray_SimpleNew(2, dims, NPY_FLOAT64));
    double* p = reinterpret_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    for (int i = 0; i < 9; ++i) p[i] = m[i];
    return out;
}

// Whether from_matrix's checks (positive determinant; Gram matrix within
// 1e-12 of the identity, else an SVD) surely pass for the product a @ b,
// judged on a product rounded here with a wide margin, and without a
// floating-point condition that NumPy would report on the way.
bool clearly_orthogonal_product(const double* a, const double* b) {
    k::FpFlags flags;
    double p[9], g[9];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            p[3 * i + j] = a[3 * i] * b[j] + a[3 * i + 1] * b[3 + j] + a[3 * i + 2] * b[6 + j];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            g[3 * i + j] = p[3 * i] * p[3 * j] + p[3 * i + 1] * p[3 * j + 1] + p[3 * i + 2] * p[3 * j + 2];
    const double det = p[0] * (p[4] * p[8] - p[5] * p[7]) - p[1] * (p[3] * p[8] - p[5] * p[6]) +
                       p[2] * (p[3] * p[7] - p[4] * p[6]);
    bool ok = det > 0.5;
    for (int i = 0; i < 9; ++i)
        ok = ok && std::fabs(g[i] - (i % 4 == 0 ? 1.0 : 0.0)) < (i % 4 == 0 ? 1e-6 : 1e-13);
    return flags.clean(g) && ok;
}

}  // namespace

// R_pelvis = as_matrix of the pelvis quaternion, R_offset = as_matrix of
// from_euler('y', angle), R_torso = R_pelvis @ R_offset (NumPy's product),
// its quaternion by from_matrix, and pos_pelvis + R_pelvis @ offset (NumPy).
Ref pelvis_to_torso_pose(Call& c) {
    const ScipySteps& s = bound().scipy;
    double pelvis[4];
    if (!s.known || !r_intact(c) || !scipy_quat_from_wxyz(c.arg(1), pelvis)) return {};
    PyObject* angle = c.arg(2);
    if (!PyFloat_Check(angle) || !std::isfinite(PyFloat_AS_DOUBLE(angle))) return {};
    const double a = PyFloat_AS_DOUBLE(angle);
    const double waist[4] = {0.0, std::sin(a / 2), 0.0, std::cos(a / 2)};
    double m_pelvis[9], m_offset[9];
    k::matrix_xyzw(pelvis, m_pelvis);
    k::matrix_xyzw(waist, m_offset);
    if (s.from_matrix_checks && !clearly_orthogonal_product(m_pelvis, m_offset)) return {};

    Ref R_pelvis = matrix_array(m_pelvis);
    Ref R_offset = matrix_array(m_offset);
    Ref R_torso = ts::matmul(R_pelvis.get(), R_offset.get());
    PyArrayObject* product = reinterpret_cast<PyArrayObject*>(R_torso.get());
    if (!PyArray_CheckExact(R_torso.get()) || PyArray_TYPE(product) != NPY_FLOAT64 ||
        PyArray_SIZE(product) != 9 || !PyArray_IS_C_CONTIGUOUS(product))
        ts::raise(PyExc_SystemError, "pelvis_to_torso_pose: unexpected matrix product");
    double q[4];
    k::quat_from_matrix_xyzw(reinterpret_cast<const double*>(PyArray_DATA(product)), q);
    Ref w = float64_scalar(q[3]), x = float64_scalar(q[0]), y = float64_scalar(q[1]),
        z = float64_scalar(q[2]);
    Ref q_torso_wxyz = ts::list({w.get(), x.get(), y.get(), z.get()});
    Ref rotated = ts::matmul(R_pelvis.get(), c.arg(3));
    Ref pos_torso = ts::add(c.arg(0), rotated.get());
    return ts::tuple({pos_torso.get(), q_torso_wxyz.get()});
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
           two_positions(c.arg(0), c.arg(2), h.p_odom, h.p_offset) &&
           k::euler_xyz_from_xyzw(odom, h.e_odom) &&
           k::euler_xyz_from_xyzw(offset, h.e_offset);
}

}  // namespace

// Headings only: R.from_euler('z', yaw_odom - yaw_offset), and the position
// difference turned back by the offset's heading.
Ref reset_pose_yaw_only(Call& c) {
    HeadingPose h;
    if (!heading_pose(c, h)) return {};
    double q_new[4];
    k::elementary_xyzw(2, h.e_odom[2] - h.e_offset[2], q_new);
    Ref p_new = unturn_difference(h.e_offset[2], c.arg(0), c.arg(2));
    return pose_result(p_new, q_new);
}

// The heading re-zeroed, roll and pitch kept; the height is p_odom's own,
// written into the turned difference as the described steps write it.
Ref reset_pose_yaw_only_keep_rp(Call& c) {
    HeadingPose h;
    if (!heading_pose(c, h)) return {};
    const double angles[3] = {h.e_odom[0], h.e_odom[1], h.e_odom[2] - h.e_offset[2]};
    double q_new[4];
    k::from_euler_xyz_xyzw(angles, q_new);
    Ref p_new = unturn_difference(h.e_offset[2], c.arg(0), c.arg(2));
    Ref height = ts::item(c.arg(0), 2);
    Ref i2 = ts::py_int(2);
    ts::set_item(p_new.get(), i2.get(), height.get());
    return pose_result(p_new, q_new);
}

Ref reset_quat_yaw_only_keep_rp(Call& c) {
    double odom[4], offset[4], e_odom[3], e_offset[3];
    if (!rezero_quats(c, c.arg(0), c.arg(1), odom, offset) ||
        !k::euler_xyz_from_xyzw(odom, e_odom) ||
        !k::euler_xyz_from_xyzw(offset, e_offset))
        return {};
    k::FpFlags flags(e_odom, e_offset);
    const double angles[3] = {e_odom[0], e_odom[1], e_odom[2] - e_offset[2]};
    double q_new[4];
    k::from_euler_xyz_xyzw(angles, q_new);
    if (!flags.clean(q_new)) return {};
    return wxyz_array_from_xyzw(q_new);
}

}  // namespace math_transfrom::fast
