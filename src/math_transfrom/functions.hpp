// Bodies of the functions and methods of math_transfrom, one per table row.
#pragma once

#include "runtime/function.hpp"
#include "runtime/module.hpp"
#include "runtime/ufunc_loop.hpp"
#include "math_transfrom/scipy_rotation.hpp"

namespace math_transfrom {

using ts::Call;
using ts::Ref;

// Euler angles and rotation matrices
Ref euler_from_quaternion(Call& c);
Ref quatToEuler(Call& c);
Ref imu_quat_to_euler(Call& c);
Ref matrix_from_quat(Call& c);
Ref matrix_from_quat_r(Call& c);

// quaternion primitives
Ref quat_conjugate(Call& c);
Ref quat_inv(Call& c);
Ref quat_mul(Call& c);
Ref quat_mul_e(Call& c);
Ref quat_apply(Call& c);
Ref wxyz_to_xyzw(Call& c);
Ref xyzw_to_wxyz(Call& c);

// relative frames and body-frame velocity
Ref subtract_frame_transforms(Call& c);
Ref subtract_frame_transforms_r(Call& c);
Ref world_to_body_vel(Call& c);

// odometry re-zeroing and torso pose
Ref reset_pose_yaw_only(Call& c);
Ref reset_pose_yaw_only_keep_rp(Call& c);
Ref reset_quat_yaw_only_keep_rp(Call& c);
Ref reset_pose(Call& c);
Ref pelvis_to_torso_quat(Call& c);
Ref pelvis_to_torso_pose(Call& c);

// class TransformAlignment
extern const ts::ClassDef transform_alignment;

// Objects bound by the module body, kept for the identity checks that decide
// whether a native fast path may stand in for the described steps.
struct Bound {
    ts::Ref np;
    ts::Ref R;
    ts::Ref torch, tensor_type;  // torch and torch.Tensor
    ts::Ref quat_conjugate, quat_inv, quat_mul, quat_apply;
    ts::Ref wxyz_to_xyzw, xyzw_to_wxyz;
    // The float64 loops np.arctan2 and np.arcsin run on this CPU.
    ts::UfuncLoop arctan2, arcsin;
    // R instances keep their quaternions as a float64 (N, 4) array `_quat`
    // beside a `_single` flag (checked once on a probe rotation).
    bool rotation_fields = false;
    // The steps of the installed SciPy's Rotation that differ between releases.
    fast::ScipySteps scipy;
    // The module's logger, its class (logging.Logger), Logger.info,
    // Logger.isEnabledFor and logging.INFO.
    ts::Ref logger, logger_class, logger_info, logger_is_enabled, info_level;
};
const Bound& bound();

}  // namespace math_transfrom
