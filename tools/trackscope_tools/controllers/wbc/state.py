"""The robot's state as the whole-body QP sees it: the decision layout and
MuJoCo's dynamics quantities of the current step."""

import numpy as np

import mujoco


class Layout:
    """Decision vector x = [qdd (nv), f (3 per contact corner), tau (nu)]."""

    def __init__(self, nv, ncorners, nu):
        self.nv, self.nf, self.nu = nv, 3 * ncorners, nu
        self.qdd = slice(0, nv)
        self.f = slice(nv, nv + self.nf)
        self.tau = slice(nv + self.nf, nv + self.nf + nu)
        self.n = nv + self.nf + nu


class State:
    """M, the bias h (Coriolis, gravity, minus the passive joint damping),
    contact corners and a cache of point Jacobians, for one solve.

    `data` must hold a forward pass of the current state (mj_forward)."""

    def __init__(self, model, data, corners):
        self.model, self.data = model, data
        self.root = model.body("pelvis").id
        nv = model.nv
        self.M = np.zeros((nv, nv))
        mujoco.mj_fullM(model, data, self.M)
        self.h = data.qfrc_bias - data.qfrc_passive
        self.qvel = data.qvel.copy()
        #: (body, world point) of every contact corner of the stance feet
        self.corners = corners
        self.layout = Layout(nv, len(corners), model.nu)
        self._jac = {}

    def jacobian(self, body, point=None):
        """(J, Jdot qd) of a point fixed on `body` (its origin by default):
        6 x nv rows [linear; angular] in the world frame."""
        point = self.data.xpos[body] if point is None else point
        key = (body, tuple(point))
        if key not in self._jac:
            model, data, nv = self.model, self.data, self.model.nv
            jac = np.zeros((6, nv))
            jdot = np.zeros((6, nv))
            mujoco.mj_jac(model, data, jac[:3], jac[3:], point, body)
            mujoco.mj_jacDot(model, data, jdot[:3], jdot[3:], point, body)
            self._jac[key] = (jac, jdot @ self.qvel)
        return self._jac[key]

    def com_jacobian(self):
        """(J, Jdot qd) of the robot's centre of mass (3 x nv): the mass-weighted
        sum over the bodies' centres of mass, as mj_jacSubtreeCom builds J."""
        if "com" not in self._jac:
            model, data, nv = self.model, self.data, self.model.nv
            jac = np.zeros((3, nv))
            mujoco.mj_jacSubtreeCom(model, data, jac, self.root)
            jdot = np.zeros((3, nv))
            part = np.zeros((3, nv))
            mass = model.body_mass
            for body in range(1, model.nbody):
                if mass[body] > 0:
                    mujoco.mj_jacDot(model, data, part, None, data.xipos[body], body)
                    jdot += mass[body] * part
            self._jac["com"] = (jac, jdot @ self.qvel / model.body_subtreemass[self.root])
        return self._jac["com"]
