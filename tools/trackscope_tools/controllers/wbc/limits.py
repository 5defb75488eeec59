"""Constraints of the whole-body QP: each limit contributes equality rows
(A x = b) or inequality rows (G x <= h) and bounds over the decision vector."""

import numpy as np


class Limit:
    def equalities(self, state):
        return None

    def inequalities(self, state):
        return None

    def bounds(self, state, lower, upper):
        """Tighten `lower` / `upper` (length layout.n) in place."""


class Dynamics(Limit):
    """Floating-base equations of motion: M qdd + h = S^T tau + Jc^T f, with
    h = qfrc_bias - qfrc_passive (the model's joint damping). The joints' dry
    friction (frictionloss) is left out: a bounded disturbance the feedback of
    the tasks absorbs."""

    def __init__(self, actuated_dofs):
        self.dofs = np.asarray(actuated_dofs)

    def equalities(self, state):
        lay, nv = state.layout, state.layout.nv
        a = np.zeros((nv, lay.n))
        a[:, lay.qdd] = state.M
        a[self.dofs, lay.tau.start + np.arange(lay.nu)] = -1.0
        for k, (body, point) in enumerate(state.corners):
            jac, _ = state.jacobian(body, point)
            a[:, lay.f.start + 3 * k: lay.f.start + 3 * k + 3] = -jac[:3].T
        return a, -state.h


class StanceFeet(Limit):
    """A stance foot does not accelerate: J qdd + Jdot qd = -kd v - kp e, the
    small feedback taking out the velocity left from touch-down and the creep
    of soft contacts (e: the foot's pose against where it stood down)."""

    def __init__(self, kp=100.0, kd=20.0):
        self.kp, self.kd = kp, kd
        self.anchors = {}           # body -> (position, rotation) where it stood down

    @property
    def bodies(self):
        return list(self.anchors)

    def stand(self, data, bodies):
        """The feet standing from now on; a foot that was not standing is
        anchored where it is."""
        self.anchors = {b: self.anchors.get(b) or (data.xpos[b].copy(), data.xmat[b].reshape(3, 3).copy())
                        for b in bodies}

    def equalities(self, state):
        if not self.anchors:
            return None
        rows, rhs = [], []
        for body, (pos, rot) in self.anchors.items():
            jac, bias = state.jacobian(body)
            err = np.concatenate([pos - state.data.xpos[body],
                                  rotvec(rot @ state.data.xmat[body].reshape(3, 3).T)])
            rows.append(jac)
            rhs.append(-bias - self.kd * (jac @ state.qvel) + self.kp * err)
        a = np.zeros((6 * len(rows), state.layout.n))
        a[:, state.layout.qdd] = np.concatenate(rows)
        return a, np.concatenate(rhs)


def rotvec(rot):
    """Rotation vector of a rotation matrix (small angles exact enough)."""
    return 0.5 * np.array([rot[2, 1] - rot[1, 2], rot[0, 2] - rot[2, 0], rot[1, 0] - rot[0, 1]])


class FrictionCones(Limit):
    """Corner forces inside the linearised friction cone of a level floor,
    |f_x|, |f_y| <= mu f_z, with f_z >= f_min."""

    def __init__(self, mu, f_min=1.0):
        self.mu, self.f_min = mu, f_min

    def inequalities(self, state):
        lay, nc = state.layout, len(state.corners)
        if not nc:
            return None
        g = np.zeros((4 * nc, lay.n))
        face = np.array([[1, 0, -self.mu], [-1, 0, -self.mu], [0, 1, -self.mu], [0, -1, -self.mu]])
        for k in range(nc):
            col = lay.f.start + 3 * k
            g[4 * k: 4 * k + 4, col: col + 3] = face
        return g, np.zeros(4 * nc)

    def bounds(self, state, lower, upper):
        lay = state.layout
        lower[lay.f.start + 2: lay.f.stop: 3] = self.f_min


class TorqueLimits(Limit):
    """|tau| <= the effort limits (model actuator order)."""

    def __init__(self, effort):
        self.effort = np.asarray(effort, dtype=float)

    def bounds(self, state, lower, upper):
        lay = state.layout
        lower[lay.tau] = np.maximum(lower[lay.tau], -self.effort)
        upper[lay.tau] = np.minimum(upper[lay.tau], self.effort)
