"""Joint PD on the reference with the pelvis on the welded mount.

Motor commands at the reference joint angles and velocities with the
environment's gains, held between ticks; the robot's pelvis is welded to a
mount that follows the reference base, since PD alone does not balance."""

from ..boundary import MotorCommand
from .base import Controller, gains, to_motor


class PDController(Controller):
    name = "pd"
    base = "welded"
    start_clearance = None

    def reset(self, clip, state):
        self.kp, self.kd = gains()
        self.command = MotorCommand.passive()

    def tick(self, state, ref):
        self.command = MotorCommand.pd(to_motor(ref.joint_pos), to_motor(ref.joint_vel), self.kp, self.kd)
        return self.command
