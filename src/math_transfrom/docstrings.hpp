// Docstrings of math_transfrom, verbatim.
#pragma once

namespace math_transfrom::docs {

inline constexpr const char* quat_conjugate =
    "Return the conjugate of a quaternion (w, x, y, z).";
inline constexpr const char* quat_inv =
    "Compute inverse of quaternion(s).";
inline constexpr const char* quat_mul =
    "Multiply two quaternions.";
inline constexpr const char* quat_mul_e =
    "Multiply two quaternions using the PyTorch optimized version.";
inline constexpr const char* quat_apply =
    "Rotate vector(s) by quaternion(s).";
inline constexpr const char* wxyz_to_xyzw =
    "把 [w, x, y, z] 转换成 [x, y, z, w]";
inline constexpr const char* xyzw_to_wxyz =
    "把 [x, y, z, w] 转换成 [w, x, y, z]";
inline constexpr const char* euler_from_quaternion =
    "\n    Convert a quaternion into euler angles (roll, pitch, yaw)\n    roll is rotation around x in radians (counterclockwise)\n    pitch is rotation around y in radians (counterclockwise)\n    yaw is rotation around z in radians (counterclockwise)\n    ";
inline constexpr const char* imu_quat_to_euler =
    "\n    将 Unitree IMU 四元数转换为 roll, pitch, yaw\n    :param quat: array-like, Unitree 输出 [w, x, y, z]\n    :return: tuple (roll, pitch, yaw) 单位 rad\n    ";
inline constexpr const char* matrix_from_quat =
    "Convert rotations given as quaternions to rotation matrices (NumPy version).\n\n    Args:\n        quaternions: The quaternion orientation in (w, x, y, z). Shape is (..., 4).\n\n    Returns:\n        Rotation matrices. The shape is (..., 3, 3).\n    ";
inline constexpr const char* matrix_from_quat_r =
    "Convert quaternion to rotation matrix.\n    Args:\n        quat: (4,) [x,y,z,w]\n    Returns:\n        mat: (3,3)\n    ";
inline constexpr const char* subtract_frame_transforms =
    "\n    Compute frame 2 relative to frame 1 given their poses in frame 0.\n    ";
inline constexpr const char* subtract_frame_transforms_r =
    "\n    Compute T12 = T01^{-1} * T02 using scipy Rotation.\n    t01, q01: (N,3), (N,4) [x,y,z,w]\n    t02, q02: optional, same shape\n    Returns: t12 (N,3), q12 (N,4)\n    ";
inline constexpr const char* world_to_body_vel =
    "\n    Convert linear velocity from world frame to body frame.\n\n    Args:\n        lin_vel_w: (3,) linear velocity in world frame\n        quat: (4,) quaternion [w, x, y, z] representing body orientation\n\n    Returns:\n        lin_vel_b: (3,) linear velocity in body frame\n    ";
inline constexpr const char* reset_pose =
    "\n    将 odom 坐标系下的位姿，转换到以 (p_offset, q_offset) 为新零点的坐标系\n\n    Args:\n        p_odom: (3,) numpy array, 当前在 odom 下的位置\n        q_odom: (4,) numpy array, 当前在 odom 下的四元数 [x, y, z, w]\n        p_offset: (3,) numpy array, 重置那一刻在 odom 下的位置\n        q_offset: (4,) numpy array, 重置那一刻在 odom 下的四元数 [x, y, z, w]\n\n    Returns:\n        p_new: (3,) numpy array, 在新零点坐标系下的位置\n        q_new: (4,) numpy array, 在新零点坐标系下的四元数\n    ";
inline constexpr const char* reset_pose_yaw_only =
    "\n    将 odom 坐标系下的位姿，转换到以 (p_offset, q_offset) 为新零点的坐标系，\n    只考虑 yaw（偏航）旋转。\n    ";
inline constexpr const char* reset_pose_yaw_only_keep_rp =
    "\n    将 odom 坐标系下的位姿，转换到以 (p_offset, q_offset) 为新零点的坐标系，\n    只重置 yaw（偏航），保持当前位置的 roll/pitch。\n    ";
inline constexpr const char* pelvis_to_torso_quat =
    "\n    imu_quat: 来自 self.low_state.imu_state.quaternion\n              注意 SDK 给的是 [w, x, y, z]\n    waist_pitch_angle: 当前腰部关节角度 (rad)\n\n    return: [x, y, z, w] torso_link 相对 world 的四元数\n    ";
inline constexpr const char* pelvis_to_torso_pose =
    "\n    pos_pelvis: pelvis 世界位置, shape (3,)\n    q_pelvis: pelvis 世界姿态四元数 [w,x,y,z]\n    waist_pitch_angle: 腰关节角度 rad\n    pelvis_to_torso_offset: pelvis->torso 固定偏移 [x,y,z] (URDF origin xyz)\n    ";
inline constexpr const char* alignment_init =
    "\n        quat: (4,) [x,y,z,w], default identity\n        pos: (3,), default zero\n        ";
inline constexpr const char* alignment_class =
    "Align rotation and/or translation relative to a base reference.";
inline constexpr const char* align_quat =
    "Align rotation relative to base. Input/Output: [x,y,z,w]";
inline constexpr const char* align_xyz =
    "Align a vector ignoring translation";
inline constexpr const char* align_pos =
    "Align position relative to base. Input: (3,) or (N,3), Output: same shape";
inline constexpr const char* align_transform =
    "Full SE3 alignment, returns (quat, pos)";
inline constexpr const char* reset_quat_yaw_only_keep_rp =
    "\n    将 odom 坐标系下的位姿，转换到以 (p_offset, q_offset) 为新零点的坐标系，\n    只重置 yaw（偏航），保持当前位置的 roll/pitch。\n    ";

}  // namespace math_transfrom::docs
