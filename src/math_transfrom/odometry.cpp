#include "math_transfrom/functions.hpp"

namespace math_transfrom {

Ref reset_pose_yaw_only(Call&) { ts::raise(PyExc_NotImplementedError, "reset_pose_yaw_only"); }
Ref reset_pose_yaw_only_keep_rp(Call&) { ts::raise(PyExc_NotImplementedError, "reset_pose_yaw_only_keep_rp"); }
Ref reset_quat_yaw_only_keep_rp(Call&) { ts::raise(PyExc_NotImplementedError, "reset_quat_yaw_only_keep_rp"); }
Ref reset_pose(Call&) { ts::raise(PyExc_NotImplementedError, "reset_pose"); }
Ref pelvis_to_torso_quat(Call&) { ts::raise(PyExc_NotImplementedError, "pelvis_to_torso_quat"); }
Ref pelvis_to_torso_pose(Call&) { ts::raise(PyExc_NotImplementedError, "pelvis_to_torso_pose"); }

}  // namespace math_transfrom
