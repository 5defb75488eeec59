// Native stand-ins for the described NumPy and SciPy steps, one file per
// group of functions they stand in for (fast_<group>.cpp, beside <group>.cpp).
// Each returns the result when its inputs and the module globals allow the
// kernel, or an empty Ref (no error set) to send the call down the general
// path.
#pragma once

#include "runtime/function.hpp"

#include <vector>

namespace math_transfrom::fast {

// quaternion primitives: NumPy's bits (fast_primitives.cpp)
ts::Ref quat_conjugate(ts::Call& c);
ts::Ref quat_inv(ts::Call& c);
ts::Ref quat_mul(ts::Call& c);
ts::Ref quat_mul_e(ts::Call& c);
ts::Ref quat_apply(ts::Call& c);
ts::Ref wxyz_to_xyzw(ts::Call& c);
ts::Ref xyzw_to_wxyz(ts::Call& c);

// Euler angles and rotation matrices (fast_euler.cpp): NumPy's bits, and
// imu_quat_to_euler with SciPy's; euler_from_quaternion's arithmetic here,
// its atan2/asin by torch itself
ts::Ref euler_from_quaternion(ts::Call& c);
ts::Ref matrix_from_quat(ts::Call& c);
ts::Ref quatToEuler(ts::Call& c);
ts::Ref imu_quat_to_euler(ts::Call& c);
// matrix_from_quat_r, SciPy's bits (one quaternion or a stack)
ts::Ref matrix_from_quat_r(ts::Call& c);

// relative frames and body-frame velocity (fast_frames.cpp): NumPy's bits,
// and world_to_body_vel with SciPy's (its product made by NumPy)
ts::Ref subtract_frame_transforms(ts::Call& c);
ts::Ref world_to_body_vel(ts::Call& c);
// subtract_frame_transforms_r, SciPy's bits: the rotations here, the
// translations through the NumPy product SciPy itself makes
ts::Ref subtract_frame_transforms_r(ts::Call& c);

// odometry re-zeroing and torso orientation of one pose, with SciPy's bits
// (fast_odometry.cpp)
ts::Ref reset_pose(ts::Call& c);
ts::Ref pelvis_to_torso_quat(ts::Call& c);
ts::Ref reset_pose_yaw_only(ts::Call& c);
ts::Ref reset_pose_yaw_only_keep_rp(ts::Call& c);
ts::Ref reset_quat_yaw_only_keep_rp(ts::Call& c);
// pelvis_to_torso_pose, SciPy's bits, its matrix products made by NumPy
ts::Ref pelvis_to_torso_pose(ts::Call& c);

// TransformAlignment methods against a base of one pose (fast_alignment.cpp):
// SciPy's bits (align_xyz only where SciPy's apply() is known here).  In two steps
// around the caller's one read of R_base (which may run Python code):
// `take_*` accepts the input as the general steps convert it before that
// read, `align_*` computes from it and the base, or returns empty for the
// caller to go on with the base it has read.
struct AlignInput {
    std::vector<double> v;   // quaternion rows (4 each) or one vector's 3 values, as taken
    bool single = true;      // (4,) or (3,) rather than a stack
    PyObject* array = nullptr;  // align_xyz's input array, read only after R_base
};
bool take_align_quat(ts::Call& c, AlignInput& in);
ts::Ref align_quat(const AlignInput& in, PyObject* base);
bool take_align_xyz(ts::Call& c, AlignInput& in);
ts::Ref align_xyz(AlignInput& in, PyObject* base);
// align_pos's `pos - self.p_base` for a C-contiguous float64 pos (3,) or
// (N, 3) and a float64 p_base (3,) or (1, 3): NumPy's shape and bits; empty
// for other operands, or when the subtraction raised a floating-point
// exception (NumPy then reports it).
ts::Ref position_difference(PyObject* pos, PyObject* p_base);
// What the general steps hold after converting a taken input: a float64
// array of its values, rows of `k`.
ts::Ref taken_array(const AlignInput& in, int k);
// set_base: the raw quaternion of a base of one pose (false: not one pose),
// its heading as a new R (from_quat, as_euler, x and y zeroed, from_euler;
// empty near gimbal lock), and whether logger.info(...) would drop its record
// (the logger bound by the module, INFO disabled), so that its text need
// not be built.
bool base_quat_values(PyObject* quat, double* q, bool& single);
ts::Ref heading_base(const double* raw, bool single);
bool log_dropped(ts::Call& c);
// Whether instances of R (SciPy's Rotation) keep their quaternions where the
// stand-ins above read them; false when they do not, or on any error.
bool rotation_fields_readable(PyObject* R);

}  // namespace math_transfrom::fast
