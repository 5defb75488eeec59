"""Cost terms of the whole-body QP. Each task contributes weighted rows
w * |A x - b|^2, A over the leading columns of the decision vector (the
accelerations, see state.Layout), or a 1-D A for diagonal terms; a task on
accelerations asks for J qdd + Jdot qd = a_ref + kp * error + kd * (v_ref - v)."""

import numpy as np
from scipy.spatial.transform import Rotation


def _gains(kp):
    return kp, 2.0 * np.sqrt(kp)        # critically damped


class Task:
    weight = 1.0

    def cost(self, state):
        """(A, b, weight), or None when the task has nothing to ask for now."""
        raise NotImplementedError


class FrameTask(Task):
    """Position and/or orientation of a body, toward a world pose moving with
    a given velocity and acceleration."""

    def __init__(self, body, weight, kp, position=True, orientation=True, axes=None):
        self.body, self.weight = body, weight
        self.kp, self.kd = _gains(kp)
        self.position, self.orientation = position, orientation
        #: per-row weights of the position rows (e.g. to leave height free)
        self.axes = np.ones(3) if axes is None else np.asarray(axes, dtype=float)
        self.active = True
        self.set_target(np.zeros(3), np.eye(3))

    def set_target(self, pos, rot, lin_vel=None, ang_vel=None, lin_acc=None, ang_acc=None):
        z = np.zeros(3)
        self.pos, self.rot = np.asarray(pos, dtype=float), np.asarray(rot, dtype=float)
        self.lin_vel = z if lin_vel is None else lin_vel
        self.ang_vel = z if ang_vel is None else ang_vel
        self.lin_acc = z if lin_acc is None else lin_acc
        self.ang_acc = z if ang_acc is None else ang_acc

    def cost(self, state):
        if not self.active:
            return None
        data = state.data
        jac, bias = state.jacobian(self.body)
        vel = jac @ state.qvel
        blocks, targets = [], []
        if self.position:
            acc = self.lin_acc + self.kp * (self.pos - data.xpos[self.body]) + self.kd * (self.lin_vel - vel[:3])
            blocks.append(self.axes[:, None] * jac[:3])
            targets.append(self.axes * (acc - bias[:3]))
        if self.orientation:
            rot = data.xmat[self.body].reshape(3, 3)
            err = Rotation.from_matrix(self.rot @ rot.T).as_rotvec()
            acc = self.ang_acc + self.kp * err + self.kd * (self.ang_vel - vel[3:])
            blocks.append(jac[3:])
            targets.append(acc - bias[3:])
        return np.concatenate(blocks), np.concatenate(targets), self.weight


class ComTask(Task):
    """The robot's centre of mass toward the reference's."""

    def __init__(self, weight, kp):
        self.weight = weight
        self.kp, self.kd = _gains(kp)
        self.set_target(np.zeros(3))

    def set_target(self, pos, vel=None, acc=None):
        self.pos = np.asarray(pos, dtype=float)
        self.vel = np.zeros(3) if vel is None else vel
        self.acc = np.zeros(3) if acc is None else acc

    def cost(self, state):
        jac, bias = state.com_jacobian()
        com = state.data.subtree_com[state.root]
        acc = self.acc + self.kp * (self.pos - com) + self.kd * (self.vel - jac @ state.qvel)
        return jac, acc - bias, self.weight


class PostureTask(Task):
    """Joint angles toward the reference (model joint order), with the
    reference's joint acceleration as feed-forward."""

    def __init__(self, qadr, dadr, weight, kp):
        self.qadr, self.dadr, self.weight = np.asarray(qadr), np.asarray(dadr), weight
        self.kp, self.kd = _gains(kp)
        self.set_target(np.zeros(len(qadr)))

    def set_target(self, q, qd=None, qdd=None):
        z = np.zeros(len(self.qadr))
        self.q = np.asarray(q, dtype=float)
        self.qd = z if qd is None else qd
        self.qdd = z if qdd is None else qdd

    def cost(self, state):
        data = state.data
        acc = self.qdd + self.kp * (self.q - data.qpos[self.qadr]) + self.kd * (self.qd - data.qvel[self.dadr])
        a = np.zeros((len(self.dadr), state.layout.nv))
        a[np.arange(len(self.dadr)), self.dadr] = 1.0
        return a, acc, self.weight


class RegularisationTask(Task):
    """Small diagonal weights on accelerations, forces and torques, so the
    problem is strictly convex. Tangential corner forces weigh more: soft
    contacts creep under them, so the feet should not push against each
    other more than the motion needs."""

    def __init__(self, qdd=1e-4, force=1e-6, tangential=1e-4, torque=1e-5):
        self.weights = (qdd, force, tangential, torque)

    def cost(self, state):
        lay = state.layout
        qdd, force, tangential, torque = self.weights
        diag = np.zeros(lay.n)
        diag[lay.qdd], diag[lay.tau] = qdd, torque
        diag[lay.f] = np.tile([tangential, tangential, force], lay.nf // 3)
        return diag, np.zeros(lay.n), 1.0
