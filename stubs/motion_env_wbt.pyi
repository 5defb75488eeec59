# Types of motion_env_wbt, a module of the trackscope extension: importable
# only after `import trackscope`.  It holds every public name of
# math_transfrom too (a star import at run time).
#
# Clip arrays ([w, x, y, z] for body_quat_w) are stored under the clip name:
# the default clip "stand" gives stand_joint_pos and so on; for another clip
# use getattr(env, env.file + "_joint_pos").  The per-frame properties
# joint_pos ... body_ang_vel_w are views into the stored clip; command and
# the anchor properties are new arrays.

from os import PathLike
from typing import Dict, List, Union

from math_transfrom import *
from numpy.lib.npyio import NpzFile

class Wbt_env:
    body_index: List[int]
    motion_anchor_body_index: List[int]
    robot_anchor_body_index: List[int]
    action_scales: List[float]
    default_joint_pos: List[float]
    default_joint_vel: List[float]
    kp: List[float]
    kd: List[float]
    effort_limit_sim: List[float]
    action_min: List[float]
    action_max: List[float]
    action_min_a: np.ndarray
    action_max_a: np.ndarray
    kp_a: np.ndarray
    kd_a: np.ndarray
    effort_limit: np.ndarray
    orig_names: List[str]
    orig_names_e: List[str]
    target_names: List[str]
    name_to_idx: Dict[str, int]
    name_to_idx_e: Dict[str, int]
    target_indices: List[int]
    target_indices_e: List[int]
    orig_names_joint: List[str]
    target_names_joint: List[str]
    name_to_idx_joint: Dict[str, int]
    target_indices_joint: List[int]
    target_names_action: List[str]
    orig_names_action: List[str]
    name_to_idx_action: Dict[str, int]
    target_indices_action: List[int]
    sim_decimation: int
    sim_dt: float
    control_dt: float
    file: str
    current_dir: Union[str, PathLike[str]]
    time_steps: int
    motion: NpzFile
    stand_fps: np.ndarray
    stand_joint_pos: np.ndarray
    stand_joint_vel: np.ndarray
    stand_body_pos_w: np.ndarray
    stand_body_quat_w: np.ndarray
    stand_body_lin_vel_w: np.ndarray
    stand_body_ang_vel_w: np.ndarray
    stand_time_step_total: int
    motion_init_align: TransformAlignment
    def __init__(
        self, current_dir: Union[str, PathLike[str]], file: str = "stand", time_steps: int = 0
    ) -> None:
        """Robot tables, then the clip <current_dir>/assets/motion_npz/<file>.npz."""
    def load_motion(self) -> None:
        """(Re)load the clip named by current_dir and file; all or nothing."""
    @property
    def command(self) -> np.ndarray:
        """(2J,): joint positions, then joint velocities of the current frame."""
    @property
    def joint_pos(self) -> np.ndarray:
        """(J,) view: joint positions of the current frame."""
    @property
    def joint_vel(self) -> np.ndarray:
        """(J,) view: joint velocities of the current frame."""
    @property
    def body_pos_w(self) -> np.ndarray:
        """(B, 3) view: body positions, world frame."""
    @property
    def body_quat_w(self) -> np.ndarray:
        """(B, 4) view: body orientations [w, x, y, z], world frame."""
    @property
    def body_lin_vel_w(self) -> np.ndarray:
        """(B, 3) view: body linear velocities, world frame."""
    @property
    def body_ang_vel_w(self) -> np.ndarray:
        """(B, 3) view: body angular velocities, world frame."""
    @property
    def anchor_pos_w(self) -> np.ndarray:
        """(3,) float64: anchor (torso_link) position relative to the reset base."""
    @property
    def anchor_quat_w(self) -> np.ndarray:
        """(4,) float64 [x, y, z, w]: anchor orientation relative to the reset base."""
    @property
    def anchor_lim_vel_w(self) -> np.ndarray:
        """(1, 3): anchor linear velocity, world frame (the name is spelled so)."""
    @property
    def anchor_ang_vel_w(self) -> np.ndarray:
        """(1, 3): anchor angular velocity, world frame."""
    def update_time_steps(self, step: int) -> None:
        """Select frame `step` (stored unchanged: no wrap-around or clamping)."""
    def reset(self) -> None:
        """Frame 0; re-base the anchor queries on the anchor body's frame-0 pose."""

class Wbt_env_sim:
    body_index: List[int]
    motion_anchor_body_index: List[int]
    robot_anchor_body_index: List[int]
    action_scales: List[float]
    default_joint_pos: List[float]
    default_joint_vel: List[float]
    kp: List[float]
    kd: List[float]
    effort_limit_sim: List[float]
    action_min: List[float]
    action_max: List[float]
    action_min_a: np.ndarray
    action_max_a: np.ndarray
    kp_a: np.ndarray
    kd_a: np.ndarray
    effort_limit: np.ndarray
    orig_names: List[str]
    orig_names_e: List[str]
    target_names: List[str]
    name_to_idx: Dict[str, int]
    name_to_idx_e: Dict[str, int]
    target_indices: List[int]
    target_indices_e: List[int]
    orig_names_joint: List[str]
    target_names_joint: List[str]
    name_to_idx_joint: Dict[str, int]
    target_indices_joint: List[int]
    target_names_action: List[str]
    orig_names_action: List[str]
    name_to_idx_action: Dict[str, int]
    target_indices_action: List[int]
    sim_decimation: int
    sim_dt: float
    control_dt: float
    file: str
    current_dir: Union[str, PathLike[str]]
    time_steps: int
    motion: NpzFile
    stand_fps: np.ndarray
    stand_joint_pos: np.ndarray
    stand_joint_vel: np.ndarray
    stand_body_pos_w: np.ndarray
    stand_body_quat_w: np.ndarray
    stand_body_lin_vel_w: np.ndarray
    stand_body_ang_vel_w: np.ndarray
    stand_time_step_total: int
    def __init__(
        self, current_dir: Union[str, PathLike[str]], file: str = "stand", time_steps: int = 0
    ) -> None:
        """Robot tables, then the clip <current_dir>/assets/motion_npz/<file>.npz."""
    def load_motion(self) -> None:
        """(Re)load the clip named by current_dir and file; all or nothing."""
    @property
    def command(self) -> np.ndarray:
        """(2J,): joint positions, then joint velocities of the current frame."""
    @property
    def joint_pos(self) -> np.ndarray:
        """(J,) view: joint positions of the current frame."""
    @property
    def joint_vel(self) -> np.ndarray:
        """(J,) view: joint velocities of the current frame."""
    @property
    def body_pos_w(self) -> np.ndarray:
        """(B, 3) view: body positions, world frame."""
    @property
    def body_quat_w(self) -> np.ndarray:
        """(B, 4) view: body orientations [w, x, y, z], world frame."""
    @property
    def body_lin_vel_w(self) -> np.ndarray:
        """(B, 3) view: body linear velocities, world frame."""
    @property
    def body_ang_vel_w(self) -> np.ndarray:
        """(B, 3) view: body angular velocities, world frame."""
    @property
    def anchor_pos_w(self) -> np.ndarray:
        """(1, 3): anchor (torso_link) position as stored, world frame."""
    @property
    def anchor_quat_w(self) -> np.ndarray:
        """(1, 4) [w, x, y, z]: anchor orientation as stored, world frame."""
    @property
    def anchor_lim_vel_w(self) -> np.ndarray:
        """(1, 3): anchor linear velocity, world frame (the name is spelled so)."""
    @property
    def anchor_ang_vel_w(self) -> np.ndarray:
        """(1, 3): anchor angular velocity, world frame."""
    def update_time_steps(self, step: int) -> None:
        """Select frame `step` (stored unchanged: no wrap-around or clamping)."""
