// Native stand-ins for the described NumPy steps.  Each returns the result
// when its inputs and the module globals allow the kernel, or an empty Ref
// (no error set) to send the call down the general path.
#pragma once

#include "runtime/function.hpp"

namespace math_transfrom::fast {

ts::Ref quat_conjugate(ts::Call& c);
ts::Ref quat_inv(ts::Call& c);
ts::Ref quat_mul(ts::Call& c);
ts::Ref quat_mul_e(ts::Call& c);
ts::Ref quat_apply(ts::Call& c);
ts::Ref wxyz_to_xyzw(ts::Call& c);
ts::Ref xyzw_to_wxyz(ts::Call& c);
ts::Ref matrix_from_quat(ts::Call& c);
ts::Ref quatToEuler(ts::Call& c);
ts::Ref subtract_frame_transforms(ts::Call& c);

// TransformAlignment methods on one pose (values to rounding of SciPy's).
ts::Ref align_quat(ts::Call& c);
ts::Ref align_xyz(ts::Call& c);

// One-quaternion SciPy round trips (values to rounding of SciPy's).
ts::Ref world_to_body_vel(ts::Call& c);
ts::Ref reset_pose(ts::Call& c);
ts::Ref pelvis_to_torso_quat(ts::Call& c);
ts::Ref reset_pose_yaw_only(ts::Call& c);
ts::Ref reset_pose_yaw_only_keep_rp(ts::Call& c);
ts::Ref reset_quat_yaw_only_keep_rp(ts::Call& c);
ts::Ref imu_quat_to_euler(ts::Call& c);

}  // namespace math_transfrom::fast
