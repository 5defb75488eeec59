"""The robot's tables as `motion_env_wbt.Wbt_env` holds them, as plain data.

The tools read joint and body names, index maps, gains, limits and defaults
from here instead of constructing an environment, which would import the
extension and with it PyTorch. tests/tools/test_tables.py checks every entry
equal, in value and type, to a real environment's; change both together.
"""

import numpy as np

# Bodies and joints in the model's order, then in the clip's (target) order.
orig_names = [
    'world', 'pelvis', 'left_hip_pitch_link', 'left_hip_roll_link', 'left_hip_yaw_link',
    'left_knee_link', 'left_ankle_pitch_link', 'left_ankle_roll_link', 'pelvis_contour_link',
    'right_hip_pitch_link', 'right_hip_roll_link', 'right_hip_yaw_link', 'right_knee_link',
    'right_ankle_pitch_link', 'right_ankle_roll_link', 'waist_yaw_link', 'waist_roll_link',
    'torso_link', 'imu_in_torso', 'left_shoulder_pitch_link', 'left_shoulder_roll_link',
    'left_shoulder_yaw_link', 'left_elbow_link', 'left_wrist_roll_link',
    'left_wrist_pitch_link', 'left_wrist_yaw_link', 'left_rubber_hand',
    'right_shoulder_pitch_link', 'right_shoulder_roll_link', 'right_shoulder_yaw_link',
    'right_elbow_link', 'right_wrist_roll_link', 'right_wrist_pitch_link',
    'right_wrist_yaw_link', 'right_rubber_hand',
]
orig_names_e = [
    'world', 'pelvis', 'left_hip_pitch_link', 'left_hip_roll_link', 'left_hip_yaw_link',
    'left_knee_link', 'left_ankle_pitch_link', 'left_ankle_roll_link', 'right_hip_pitch_link',
    'right_hip_roll_link', 'right_hip_yaw_link', 'right_knee_link', 'right_ankle_pitch_link',
    'right_ankle_roll_link', 'waist_yaw_link', 'waist_roll_link', 'torso_link',
    'left_shoulder_pitch_link', 'left_shoulder_roll_link', 'left_shoulder_yaw_link',
    'left_elbow_link', 'left_wrist_roll_link', 'left_wrist_pitch_link', 'left_wrist_yaw_link',
    'right_shoulder_pitch_link', 'right_shoulder_roll_link', 'right_shoulder_yaw_link',
    'right_elbow_link', 'right_wrist_roll_link', 'right_wrist_pitch_link',
    'right_wrist_yaw_link',
]
target_names = [
    'pelvis', 'left_hip_pitch_link', 'right_hip_pitch_link', 'waist_yaw_link',
    'left_hip_roll_link', 'right_hip_roll_link', 'waist_roll_link', 'left_hip_yaw_link',
    'right_hip_yaw_link', 'torso_link', 'left_knee_link', 'right_knee_link',
    'left_shoulder_pitch_link', 'right_shoulder_pitch_link', 'left_ankle_pitch_link',
    'right_ankle_pitch_link', 'left_shoulder_roll_link', 'right_shoulder_roll_link',
    'left_ankle_roll_link', 'right_ankle_roll_link', 'left_shoulder_yaw_link',
    'right_shoulder_yaw_link', 'left_elbow_link', 'right_elbow_link', 'left_wrist_roll_link',
    'right_wrist_roll_link', 'left_wrist_pitch_link', 'right_wrist_pitch_link',
    'left_wrist_yaw_link', 'right_wrist_yaw_link',
]
orig_names_joint = [
    'left_hip_pitch_joint', 'left_hip_roll_joint', 'left_hip_yaw_joint', 'left_knee_joint',
    'left_ankle_pitch_joint', 'left_ankle_roll_joint', 'right_hip_pitch_joint',
    'right_hip_roll_joint', 'right_hip_yaw_joint', 'right_knee_joint',
    'right_ankle_pitch_joint', 'right_ankle_roll_joint', 'waist_yaw_joint', 'waist_roll_joint',
    'waist_pitch_joint', 'left_shoulder_pitch_joint', 'left_shoulder_roll_joint',
    'left_shoulder_yaw_joint', 'left_elbow_joint', 'left_wrist_roll_joint',
    'left_wrist_pitch_joint', 'left_wrist_yaw_joint', 'right_shoulder_pitch_joint',
    'right_shoulder_roll_joint', 'right_shoulder_yaw_joint', 'right_elbow_joint',
    'right_wrist_roll_joint', 'right_wrist_pitch_joint', 'right_wrist_yaw_joint',
]
target_names_joint = [
    'left_hip_pitch_joint', 'right_hip_pitch_joint', 'waist_yaw_joint', 'left_hip_roll_joint',
    'right_hip_roll_joint', 'waist_roll_joint', 'left_hip_yaw_joint', 'right_hip_yaw_joint',
    'waist_pitch_joint', 'left_knee_joint', 'right_knee_joint', 'left_shoulder_pitch_joint',
    'right_shoulder_pitch_joint', 'left_ankle_pitch_joint', 'right_ankle_pitch_joint',
    'left_shoulder_roll_joint', 'right_shoulder_roll_joint', 'left_ankle_roll_joint',
    'right_ankle_roll_joint', 'left_shoulder_yaw_joint', 'right_shoulder_yaw_joint',
    'left_elbow_joint', 'right_elbow_joint', 'left_wrist_roll_joint', 'right_wrist_roll_joint',
    'left_wrist_pitch_joint', 'right_wrist_pitch_joint', 'left_wrist_yaw_joint',
    'right_wrist_yaw_joint',
]
orig_names_action = [
    'left_hip_pitch_joint', 'right_hip_pitch_joint', 'waist_yaw_joint', 'left_hip_roll_joint',
    'right_hip_roll_joint', 'waist_roll_joint', 'left_hip_yaw_joint', 'right_hip_yaw_joint',
    'waist_pitch_joint', 'left_knee_joint', 'right_knee_joint', 'left_shoulder_pitch_joint',
    'right_shoulder_pitch_joint', 'left_ankle_pitch_joint', 'right_ankle_pitch_joint',
    'left_shoulder_roll_joint', 'right_shoulder_roll_joint', 'left_ankle_roll_joint',
    'right_ankle_roll_joint', 'left_shoulder_yaw_joint', 'right_shoulder_yaw_joint',
    'left_elbow_joint', 'right_elbow_joint', 'left_wrist_roll_joint', 'right_wrist_roll_joint',
    'left_wrist_pitch_joint', 'right_wrist_pitch_joint', 'left_wrist_yaw_joint',
    'right_wrist_yaw_joint',
]
target_names_action = [
    'left_hip_pitch_joint', 'left_hip_roll_joint', 'left_hip_yaw_joint', 'left_knee_joint',
    'left_ankle_pitch_joint', 'left_ankle_roll_joint', 'right_hip_pitch_joint',
    'right_hip_roll_joint', 'right_hip_yaw_joint', 'right_knee_joint',
    'right_ankle_pitch_joint', 'right_ankle_roll_joint', 'waist_yaw_joint', 'waist_roll_joint',
    'waist_pitch_joint', 'left_shoulder_pitch_joint', 'left_shoulder_roll_joint',
    'left_shoulder_yaw_joint', 'left_elbow_joint', 'left_wrist_roll_joint',
    'left_wrist_pitch_joint', 'left_wrist_yaw_joint', 'right_shoulder_pitch_joint',
    'right_shoulder_roll_joint', 'right_shoulder_yaw_joint', 'right_elbow_joint',
    'right_wrist_roll_joint', 'right_wrist_pitch_joint', 'right_wrist_yaw_joint',
]

# Per joint.
kp = [
    40.17923847137318, 40.17923847137318, 40.17923847137318, 99.09842777666113,
    99.09842777666113, 28.50124619574858, 40.17923847137318, 40.17923847137318,
    28.50124619574858, 99.09842777666113, 99.09842777666113, 14.25062309787429,
    14.25062309787429, 28.50124619574858, 28.50124619574858, 14.25062309787429,
    14.25062309787429, 28.50124619574858, 28.50124619574858, 14.25062309787429,
    14.25062309787429, 14.25062309787429, 14.25062309787429, 14.25062309787429,
    14.25062309787429, 16.77832748089279, 16.77832748089279, 16.77832748089279,
    16.77832748089279,
]
kd = [
    2.5578897650279457, 2.5578897650279457, 2.5578897650279457, 6.3088018534966395,
    6.3088018534966395, 1.814445686584846, 2.5578897650279457, 2.5578897650279457,
    1.814445686584846, 6.3088018534966395, 6.3088018534966395, 0.907222843292423,
    0.907222843292423, 1.814445686584846, 1.814445686584846, 0.907222843292423,
    0.907222843292423, 1.814445686584846, 1.814445686584846, 0.907222843292423,
    0.907222843292423, 0.907222843292423, 0.907222843292423, 0.907222843292423,
    0.907222843292423, 1.06814150219, 1.06814150219, 1.06814150219, 1.06814150219,
]
action_scales = [
    0.5475, 0.5475, 0.5475, 0.3507, 0.3507, 0.4386, 0.5475, 0.5475, 0.4386, 0.3507, 0.3507,
    0.4386, 0.4386, 0.4386, 0.4386, 0.4386, 0.4386, 0.4386, 0.4386, 0.4386, 0.4386, 0.4386,
    0.4386, 0.4386, 0.4386, 0.0745, 0.0745, 0.0745, 0.0745,
]
action_min = [
    -2.5307, -0.5236, -2.7576, -0.087267, -0.87267, -0.2618, -2.5307, -2.9671, -2.7576,
    -0.087267, -0.87267, -0.2618, -2.618, -0.52, -0.52, -3.0892, -1.5882, -2.618, -1.0472,
    -1.972222054, -1.614429558, -1.614429558, -3.0892, -2.2515, -2.618, -1.0472, -1.972222054,
    -1.614429558, -1.614429558,
]
action_max = [
    2.8798, 2.9671, 2.7576, 2.8798, 0.5236, 0.2618, 2.8798, 0.5236, 2.7576, 2.8798, 0.5236,
    0.2618, 2.618, 0.52, 0.52, 2.6704, 2.2515, 2.618, 2.0944, 1.972222054, 1.614429558,
    1.614429558, 2.6704, 1.5882, 2.618, 2.0944, 1.972222054, 1.614429558, 1.614429558,
]
effort_limit_sim = [
    88.0, 88.0, 88.0, 139.0, 139.0, 50.0, 88.0, 88.0, 50.0, 139.0, 139.0, 25.0, 25.0, 50.0,
    50.0, 25.0, 25.0, 50.0, 50.0, 25.0, 25.0, 25.0, 25.0, 25.0, 25.0, 5.0, 5.0, 5.0, 5.0,
]
default_joint_pos = [
    -0.312, -0.312, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.669, 0.669, 0.2, 0.2, -0.363, -0.363,
    0.2, -0.2, 0.0, 0.0, 0.0, 0.0, 0.6, 0.6, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0,
]
default_joint_vel = [
    0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0,
    0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0,
]

# The tracked bodies as rows of target_names; the anchor (torso_link) as an
# entry of body_index and as a row of target_names.
body_index = [0, 4, 10, 18, 5, 11, 19, 9, 16, 22, 28, 17, 23, 29]
motion_anchor_body_index = [7]
robot_anchor_body_index = [9]

sim_dt = 0.005
sim_decimation = 4
control_dt = 0.02

# Index maps and float32 copies, from the lists above.
name_to_idx = {n: i for i, n in enumerate(orig_names)}
name_to_idx_e = {n: i for i, n in enumerate(orig_names_e)}
name_to_idx_joint = {n: i for i, n in enumerate(orig_names_joint)}
name_to_idx_action = {n: i for i, n in enumerate(orig_names_action)}
target_indices = [name_to_idx[n] for n in target_names]
target_indices_e = [name_to_idx_e[n] for n in target_names]
target_indices_joint = [name_to_idx_joint[n] for n in target_names_joint]
target_indices_action = [name_to_idx_action[n] for n in target_names_action]

kp_a = np.array(kp, dtype=np.float32)
kd_a = np.array(kd, dtype=np.float32)
action_min_a = np.array(action_min, dtype=np.float32)
action_max_a = np.array(action_max, dtype=np.float32)
effort_limit = np.array([effort_limit_sim], dtype=np.float32)
