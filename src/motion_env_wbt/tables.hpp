// Fixed description of the 29-joint humanoid: tracked bodies, per-joint
// gains and limits, and the body and joint name orders.  Every environment
// instance receives fresh Python lists built from these rows.
#pragma once

namespace motion_env_wbt::tables {

// Tracked bodies as indices into the clip's body axis (order of `target_names`).
inline constexpr long body_index[] = {0, 4, 10, 18, 5, 11, 19, 9, 16, 22, 28, 17, 23, 29};
// The anchor as a position within `body_index` (entry 7 is body 9, torso_link).
inline constexpr long motion_anchor_body_index[] = {7};
// The anchor among the caller's robot-side bodies.
inline constexpr long robot_anchor_body_index[] = {9};

// Joints in policy order (`target_names_joint`, `orig_names_action`).
struct JointGains {
    const char* name;
    double action_scale;
    double default_pos;  // radians
    double kp;
    double kd;
    double effort_limit;
};

inline constexpr JointGains joints_policy_order[] = {
    {"left_hip_pitch_joint", 0.5475, -0.312, 40.17923847137318, 2.5578897650279457, 88.0},
    {"right_hip_pitch_joint", 0.5475, -0.312, 40.17923847137318, 2.5578897650279457, 88.0},
    {"waist_yaw_joint", 0.5475, 0.0, 40.17923847137318, 2.5578897650279457, 88.0},
    {"left_hip_roll_joint", 0.3507, 0.0, 99.09842777666113, 6.3088018534966395, 139.0},
    {"right_hip_roll_joint", 0.3507, 0.0, 99.09842777666113, 6.3088018534966395, 139.0},
    {"waist_roll_joint", 0.4386, 0.0, 28.50124619574858, 1.814445686584846, 50.0},
    {"left_hip_yaw_joint", 0.5475, 0.0, 40.17923847137318, 2.5578897650279457, 88.0},
    {"right_hip_yaw_joint", 0.5475, 0.0, 40.17923847137318, 2.5578897650279457, 88.0},
    {"waist_pitch_joint", 0.4386, 0.0, 28.50124619574858, 1.814445686584846, 50.0},
    {"left_knee_joint", 0.3507, 0.669, 99.09842777666113, 6.3088018534966395, 139.0},
    {"right_knee_joint", 0.3507, 0.669, 99.09842777666113, 6.3088018534966395, 139.0},
    {"left_shoulder_pitch_joint", 0.4386, 0.2, 14.25062309787429, 0.907222843292423, 25.0},
    {"right_shoulder_pitch_joint", 0.4386, 0.2, 14.25062309787429, 0.907222843292423, 25.0},
    {"left_ankle_pitch_joint", 0.4386, -0.363, 28.50124619574858, 1.814445686584846, 50.0},
    {"right_ankle_pitch_joint", 0.4386, -0.363, 28.50124619574858, 1.814445686584846, 50.0},
    {"left_shoulder_roll_joint", 0.4386, 0.2, 14.25062309787429, 0.907222843292423, 25.0},
    {"right_shoulder_roll_joint", 0.4386, -0.2, 14.25062309787429, 0.907222843292423, 25.0},
    {"left_ankle_roll_joint", 0.4386, 0.0, 28.50124619574858, 1.814445686584846, 50.0},
    {"right_ankle_roll_joint", 0.4386, 0.0, 28.50124619574858, 1.814445686584846, 50.0},
    {"left_shoulder_yaw_joint", 0.4386, 0.0, 14.25062309787429, 0.907222843292423, 25.0},
    {"right_shoulder_yaw_joint", 0.4386, 0.0, 14.25062309787429, 0.907222843292423, 25.0},
    {"left_elbow_joint", 0.4386, 0.6, 14.25062309787429, 0.907222843292423, 25.0},
    {"right_elbow_joint", 0.4386, 0.6, 14.25062309787429, 0.907222843292423, 25.0},
    {"left_wrist_roll_joint", 0.4386, 0.0, 14.25062309787429, 0.907222843292423, 25.0},
    {"right_wrist_roll_joint", 0.4386, 0.0, 14.25062309787429, 0.907222843292423, 25.0},
    {"left_wrist_pitch_joint", 0.0745, 0.0, 16.77832748089279, 1.06814150219, 5.0},
    {"right_wrist_pitch_joint", 0.0745, 0.0, 16.77832748089279, 1.06814150219, 5.0},
    {"left_wrist_yaw_joint", 0.0745, 0.0, 16.77832748089279, 1.06814150219, 5.0},
    {"right_wrist_yaw_joint", 0.0745, 0.0, 16.77832748089279, 1.06814150219, 5.0},
};

// Joints in robot-model order (`orig_names_joint`, `target_names_action`).
struct JointLimits {
    const char* name;
    double action_min;  // radians
    double action_max;  // radians
};

inline constexpr JointLimits joints_model_order[] = {
    {"left_hip_pitch_joint", -2.5307, 2.8798},
    {"left_hip_roll_joint", -0.5236, 2.9671},
    {"left_hip_yaw_joint", -2.7576, 2.7576},
    {"left_knee_joint", -0.087267, 2.8798},
    {"left_ankle_pitch_joint", -0.87267, 0.5236},
    {"left_ankle_roll_joint", -0.2618, 0.2618},
    {"right_hip_pitch_joint", -2.5307, 2.8798},
    {"right_hip_roll_joint", -2.9671, 0.5236},
    {"right_hip_yaw_joint", -2.7576, 2.7576},
    {"right_knee_joint", -0.087267, 2.8798},
    {"right_ankle_pitch_joint", -0.87267, 0.5236},
    {"right_ankle_roll_joint", -0.2618, 0.2618},
    {"waist_yaw_joint", -2.618, 2.618},
    {"waist_roll_joint", -0.52, 0.52},
    {"waist_pitch_joint", -0.52, 0.52},
    {"left_shoulder_pitch_joint", -3.0892, 2.6704},
    {"left_shoulder_roll_joint", -1.5882, 2.2515},
    {"left_shoulder_yaw_joint", -2.618, 2.618},
    {"left_elbow_joint", -1.0472, 2.0944},
    {"left_wrist_roll_joint", -1.972222054, 1.972222054},
    {"left_wrist_pitch_joint", -1.614429558, 1.614429558},
    {"left_wrist_yaw_joint", -1.614429558, 1.614429558},
    {"right_shoulder_pitch_joint", -3.0892, 2.6704},
    {"right_shoulder_roll_joint", -2.2515, 1.5882},
    {"right_shoulder_yaw_joint", -2.618, 2.618},
    {"right_elbow_joint", -1.0472, 2.0944},
    {"right_wrist_roll_joint", -1.972222054, 1.972222054},
    {"right_wrist_pitch_joint", -1.614429558, 1.614429558},
    {"right_wrist_yaw_joint", -1.614429558, 1.614429558},
};

// Bodies of the robot model.
inline constexpr const char* orig_names[] = {
    "world",
    "pelvis",
    "left_hip_pitch_link",
    "left_hip_roll_link",
    "left_hip_yaw_link",
    "left_knee_link",
    "left_ankle_pitch_link",
    "left_ankle_roll_link",
    "pelvis_contour_link",
    "right_hip_pitch_link",
    "right_hip_roll_link",
    "right_hip_yaw_link",
    "right_knee_link",
    "right_ankle_pitch_link",
    "right_ankle_roll_link",
    "waist_yaw_link",
    "waist_roll_link",
    "torso_link",
    "imu_in_torso",
    "left_shoulder_pitch_link",
    "left_shoulder_roll_link",
    "left_shoulder_yaw_link",
    "left_elbow_link",
    "left_wrist_roll_link",
    "left_wrist_pitch_link",
    "left_wrist_yaw_link",
    "left_rubber_hand",
    "right_shoulder_pitch_link",
    "right_shoulder_roll_link",
    "right_shoulder_yaw_link",
    "right_elbow_link",
    "right_wrist_roll_link",
    "right_wrist_pitch_link",
    "right_wrist_yaw_link",
    "right_rubber_hand",
};

// The model's bodies without the contour, IMU and rubber-hand frames.
inline constexpr const char* orig_names_e[] = {
    "world",
    "pelvis",
    "left_hip_pitch_link",
    "left_hip_roll_link",
    "left_hip_yaw_link",
    "left_knee_link",
    "left_ankle_pitch_link",
    "left_ankle_roll_link",
    "right_hip_pitch_link",
    "right_hip_roll_link",
    "right_hip_yaw_link",
    "right_knee_link",
    "right_ankle_pitch_link",
    "right_ankle_roll_link",
    "waist_yaw_link",
    "waist_roll_link",
    "torso_link",
    "left_shoulder_pitch_link",
    "left_shoulder_roll_link",
    "left_shoulder_yaw_link",
    "left_elbow_link",
    "left_wrist_roll_link",
    "left_wrist_pitch_link",
    "left_wrist_yaw_link",
    "right_shoulder_pitch_link",
    "right_shoulder_roll_link",
    "right_shoulder_yaw_link",
    "right_elbow_link",
    "right_wrist_roll_link",
    "right_wrist_pitch_link",
    "right_wrist_yaw_link",
};

// The clip's body axis.
inline constexpr const char* target_names[] = {
    "pelvis",
    "left_hip_pitch_link",
    "right_hip_pitch_link",
    "waist_yaw_link",
    "left_hip_roll_link",
    "right_hip_roll_link",
    "waist_roll_link",
    "left_hip_yaw_link",
    "right_hip_yaw_link",
    "torso_link",
    "left_knee_link",
    "right_knee_link",
    "left_shoulder_pitch_link",
    "right_shoulder_pitch_link",
    "left_ankle_pitch_link",
    "right_ankle_pitch_link",
    "left_shoulder_roll_link",
    "right_shoulder_roll_link",
    "left_ankle_roll_link",
    "right_ankle_roll_link",
    "left_shoulder_yaw_link",
    "right_shoulder_yaw_link",
    "left_elbow_link",
    "right_elbow_link",
    "left_wrist_roll_link",
    "right_wrist_roll_link",
    "left_wrist_pitch_link",
    "right_wrist_pitch_link",
    "left_wrist_yaw_link",
    "right_wrist_yaw_link",
};

inline constexpr long sim_decimation = 4;
inline constexpr double sim_dt = 0.005;  // seconds

}  // namespace motion_env_wbt::tables
