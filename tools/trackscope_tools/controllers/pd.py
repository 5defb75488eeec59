"""Joint PD on the reference with the pelvis welded to it.

Torques kp * (q_ref - q) + kd * (qd_ref - qd) with the environment's gains;
the pelvis is welded to a mocap body that follows the reference base
(tracking.xml), since PD alone does not balance."""

import numpy as np

from ..robot import TRACKING_MODEL_PATH
from .base import Controller


class PDController(Controller):
    name = "pd"
    base = "welded"
    model_path = TRACKING_MODEL_PATH
    start_clearance = None

    def reset(self, sim):
        env = sim.clip.env
        self.kp = np.asarray(env.kp, dtype=np.float64)
        self.kd = np.asarray(env.kd, dtype=np.float64)

    def tick(self, sim, ref):
        self.q_ref, self.qd_ref = ref.joint_pos, ref.joint_vel
        row = sim.clip.pelvis_row
        sim.data.mocap_pos[0] = ref.body_pos[row]
        sim.data.mocap_quat[0] = ref.body_quat[row]

    def torque(self, sim):
        j = sim.clip.joints
        return self.kp * (self.q_ref - j.q(sim.data)) + self.kd * (self.qd_ref - j.qd(sim.data))
