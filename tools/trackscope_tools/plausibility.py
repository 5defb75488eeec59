"""Physical plausibility of a clip, computed with MuJoCo on the model.

`check_clip` poses the model in every frame of a clip and measures what the
clip asks of the robot: floor penetration, floating, foot skating,
self-collision (the model's own collision pairs), joint limits and speeds,
static balance, and the base wrench that no floor contact can supply. Each
figure has a warn and a fail threshold (FIGURES); the clip's verdict is the
worst of them.
"""

import copy
import dataclasses
import os

import numpy as np
from scipy.optimize import nnls

import mujoco

from .outputs import atomic_output
from .recording import clip_qpos, qpos_velocity
from .robot import FOOT_BODIES, ClipError, geom_lowest_z, robot_geoms
from .robot import tables as robot_tables

TOUCH_M = 0.01      # a geom whose lowest point is within this of the floor touches it
NEAR_M = 0.02       # a frame floats when no geom is within this of the floor
CONE_EDGES = 4      # linearised friction cone: a pyramid of this many edges
RIM_POINTS = 8      # points per cylinder rim taken as possible floor points


@dataclasses.dataclass(frozen=True)
class Figure:
    """One plausibility figure: what it measures and where it turns bad.
    `low_is_bad` figures warn at or below `warn` and fail at or below
    `fail`; the others at or above. A threshold of None is never reached."""
    unit: str
    definition: str
    warn: float | None
    fail: float | None
    low_is_bad: bool = False

    def level(self, value):
        """0 pass, 1 warn, 2 fail (None, a figure with no samples, passes)."""
        if value is None:
            return 0
        sign = -1.0 if self.low_is_bad else 1.0
        if self.fail is not None and sign * value >= sign * self.fail:
            return 2
        if self.warn is not None and sign * value >= sign * self.warn:
            return 1
        return 0


# Extended by extra checks (see check_clip's `extra`): a figure they return
# is judged by its entry here.
FIGURES = {
    "penetration_m": Figure(
        "m", "deepest point of any robot geom below the floor", 0.005, 0.02),
    "floating_fraction": Figure(
        "", f"share of frames in which no geom lies within {NEAR_M * 100:g} cm of the floor", 0.10, None),
    "foot_skate_mps": Figure(
        "m/s", f"mean horizontal speed of the floor points of geoms within {TOUCH_M * 100:g} cm of the "
        "floor in two consecutive frames", 0.03, 0.08),
    "self_collision_m": Figure(
        "m", "deepest penetration between geoms of bodies the model lets collide", 0.005, 0.02),
    "joint_limit_margin_rad": Figure(
        "rad", "smallest margin to the model's joint limits (negative: beyond)", -1e-4, -0.05, True),
    "joint_vel_max_rad_s": Figure(
        "rad/s", "largest joint speed", 15.0, 30.0),
    "com_support_margin_m": Figure(
        "m", "signed distance of the ground projection of the centre of mass to the support polygon "
        "of the floor points (positive inside), over frames with support", -0.01, None, True),
    "root_residual_ratio": Figure(
        "", "largest base wrench of the inverse dynamics that no contact forces inside the friction "
        "cones of the floor points can supply, over the robot's weight", 0.05, 0.15),
}
VERDICTS = ("pass", "warn", "fail")
WORST_FRAMES = 3

#: Centre-of-mass height of the package's robot standing with straight legs
#: (standing_arm): the size the thresholds above are set for. Lengths scale
#: with a robot's own height over it, speeds with its square root (equal
#: Froude number), ratios and angles not at all.
REFERENCE_ARM_M = 0.678

# The figure of --dynamic's check (controllers.wbc.feasibility, whose limits
# it names), joined to FIGURES only when that check runs.
DYNAMIC_FEASIBLE = Figure(
    "", "1 when the whole-body controller follows the clip on a free base without falling, within "
    "2 cm anchor RMS, 0.05 rad joint RMS, 5 mm stance-foot slip and 0.9-1.1 support", None, 0.5, True)


def foot_geoms(model):
    """Collision geoms of each foot body (left, right)."""
    geoms = robot_geoms(model)
    return [[g for g in geoms if model.geom_bodyid[g] == model.body(name).id] for name in FOOT_BODIES]


def foot_touches(model, qpos, tol=TOUCH_M):
    """(T, 2) bool: whether the left and right foot touch the floor in each
    frame of `qpos` (T, nq): some collision geom of the foot has its lowest
    point within `tol` of the floor (or below it)."""
    data = mujoco.MjData(model)
    feet = foot_geoms(model)
    out = np.zeros((len(qpos), len(feet)), dtype=bool)
    for t, q in enumerate(qpos):
        data.qpos[:] = q
        mujoco.mj_kinematics(model, data)
        for k, geoms in enumerate(feet):
            out[t, k] = min(geom_lowest_z(model, data, g) for g in geoms) <= tol
    return out


def lowest_z(model, geoms, xpos, xmat):
    """Lowest world z of each geom, (T, G) from poses (T, G, 3) and (T, G, 9):
    robot.geom_lowest_z over frames."""
    size = model.geom_size[geoms]
    kind = model.geom_type[geoms]
    row = xmat[..., 6:9]                              # third row of each rotation
    z = xpos[..., 2]
    out = z - np.einsum("tgk,gk->tg", np.abs(row), model.geom_aabb[geoms, 3:])   # other shapes: the box
    cases = {
        mujoco.mjtGeom.mjGEOM_SPHERE: lambda: z - size[:, 0],
        mujoco.mjtGeom.mjGEOM_CAPSULE: lambda: z - np.abs(row[..., 2]) * size[:, 1] - size[:, 0],
        mujoco.mjtGeom.mjGEOM_CYLINDER: lambda: (z - np.abs(row[..., 2]) * size[:, 1]
                                                 - size[:, 0] * np.hypot(row[..., 0], row[..., 1])),
        mujoco.mjtGeom.mjGEOM_BOX: lambda: z - np.einsum("tgk,gk->tg", np.abs(row), size),
    }
    for code, value in cases.items():
        mask = kind == code
        if mask.any():
            out[:, mask] = value()[:, mask]
    return out


def floor_candidates(model, geoms):
    """Points of each geom that can rest on the floor, as (geom index into
    `geoms`, local offset, drop): world point = geom pose applied to the
    offset, lowered by `drop`. Box corners, the bottoms of a capsule's end
    caps, a sphere's bottom, points on a cylinder's rims; other shapes by
    their bounding box's corners."""
    index, local, drop = [], [], []
    signs = np.array([[x, y, z] for x in (-1, 1) for y in (-1, 1) for z in (-1, 1)], dtype=float)
    angles = 2 * np.pi * np.arange(RIM_POINTS) / RIM_POINTS
    for k, g in enumerate(geoms):
        size, kind = model.geom_size[g], model.geom_type[g]
        if kind == mujoco.mjtGeom.mjGEOM_SPHERE:
            pts, lower = np.zeros((1, 3)), size[0]
        elif kind == mujoco.mjtGeom.mjGEOM_CAPSULE:
            pts, lower = np.array([[0, 0, -size[1]], [0, 0, size[1]]]), size[0]
        elif kind == mujoco.mjtGeom.mjGEOM_CYLINDER:
            rim = np.stack([size[0] * np.cos(angles), size[0] * np.sin(angles)], axis=1)
            pts = np.concatenate([np.column_stack([rim, np.full(RIM_POINTS, h)]) for h in (-size[1], size[1])])
            lower = 0.0
        else:
            half = size if kind == mujoco.mjtGeom.mjGEOM_BOX else model.geom_aabb[g, 3:]
            pts, lower = signs * half, 0.0
            if kind != mujoco.mjtGeom.mjGEOM_BOX:
                pts = pts + model.geom_aabb[g, :3]
        index += [k] * len(pts)
        local.append(pts)
        drop += [lower] * len(pts)
    return np.array(index), np.concatenate(local), np.array(drop)


def hull_xy(points):
    """Convex hull of 2-D points, counter-clockwise (monotone chain); one or
    two points for degenerate sets."""
    pts = np.unique(np.round(points, 9), axis=0)
    if len(pts) <= 2:
        return pts

    def half(seq):
        out = []
        for p in seq:
            while len(out) >= 2 and ((out[-1][0] - out[-2][0]) * (p[1] - out[-2][1])
                                     - (out[-1][1] - out[-2][1]) * (p[0] - out[-2][0])) <= 1e-12:
                out.pop()
            out.append(p)
        return out[:-1]
    order = pts[np.lexsort((pts[:, 1], pts[:, 0]))].tolist()
    return np.array(half(order) + half(order[::-1]))


def support_margin(points, c):
    """Signed distance of `c` (2,) to the convex hull of `points` (N, 2):
    positive inside, negative outside (a point or a segment has no inside)."""
    hull = hull_xy(points)
    if len(hull) == 1:
        return -float(np.linalg.norm(c - hull[0]))
    a = hull
    b = np.roll(hull, -1, axis=0) if len(hull) > 2 else hull[::-1]
    ab = b - a
    s = np.clip(np.einsum("ij,ij->i", c - a, ab) / np.einsum("ij,ij->i", ab, ab), 0.0, 1.0)
    dist = float(np.min(np.linalg.norm(a + s[:, None] * ab - c, axis=1)))
    inside = len(hull) > 2 and bool(np.all(ab[:, 0] * (c - a)[:, 1] - ab[:, 1] * (c - a)[:, 0] >= 0))
    return dist if inside else -dist


def cone_edges(mu):
    """Edges of the linearised friction cone on a floor with normal +z,
    (CONE_EDGES, 3)."""
    angles = 2 * np.pi * np.arange(CONE_EDGES) / CONE_EDGES
    return np.column_stack([mu * np.cos(angles), mu * np.sin(angles), np.ones(CONE_EDGES)])


def floor_height(model):
    """Height of the world's plane (the floor), 0 without one."""
    for g in range(model.ngeom):
        if model.geom_bodyid[g] == 0 and model.geom_type[g] == mujoco.mjtGeom.mjGEOM_PLANE:
            return float(model.geom_pos[g, 2]), g
    return 0.0, -1


def floor_geoms(model, floor):
    """Robot geoms whose contype/conaffinity bits or an explicit pair let
    them collide with the floor geom (all robot collision geoms without a
    floor)."""
    geoms = robot_geoms(model)
    if floor < 0:
        return geoms
    ft, fa = model.geom_contype[floor], model.geom_conaffinity[floor]
    paired = {int(b if a == floor else a) for a, b in zip(model.pair_geom1, model.pair_geom2) if floor in (a, b)}
    return [g for g in geoms if (model.geom_contype[g] & fa) or (ft & model.geom_conaffinity[g]) or g in paired]


def _worst(series, low_is_bad=False):
    """Frames of the worst values of a per-frame series (NaN skipped)."""
    values = np.where(np.isnan(series), np.inf if low_is_bad else -np.inf, series)
    order = np.argsort(values if low_is_bad else -values, kind="stable")
    return [int(t) for t in order[:WORST_FRAMES] if np.isfinite(values[t])]


def clip_figures(model, qpos, joint_vel, fps):
    """The figures of FIGURES for a clip given as MuJoCo qpos rows (T, nq)
    and joint velocities (T, 29): (checks, worst_frames, details)."""
    frames = len(qpos)
    dt = 1.0 / fps
    data = mujoco.MjData(model)
    floor_z, floor_geom = floor_height(model)
    geoms = np.array(floor_geoms(model, floor_geom))
    if len(geoms) == 0:
        raise ClipError("the model has no robot geoms that collide with the floor")
    cand_geom, cand_local, cand_drop = floor_candidates(model, geoms)
    mu = np.maximum(model.geom_friction[geoms[cand_geom], 0],
                    model.geom_friction[floor_geom, 0] if floor_geom >= 0 else 0.0)
    robot_body = model.geom_bodyid > 0
    root = model.body("pelvis").id

    xpos = np.zeros((frames, len(geoms), 3))
    xmat = np.zeros((frames, len(geoms), 9))
    points = np.zeros((frames, len(cand_geom), 3))
    com = np.zeros((frames, 3))
    self_depth = np.zeros(frames)
    self_pair = [None] * frames
    for t in range(frames):
        data.qpos[:] = qpos[t]
        mujoco.mj_kinematics(model, data)
        mujoco.mj_comPos(model, data)
        mujoco.mj_collision(model, data)
        xpos[t] = data.geom_xpos[geoms]
        xmat[t] = data.geom_xmat[geoms]
        points[t] = xpos[t, cand_geom] + np.einsum("kij,kj->ki", xmat[t, cand_geom].reshape(-1, 3, 3), cand_local)
        com[t] = data.subtree_com[root]
        if data.ncon:
            dist = data.contact.dist[:data.ncon]
            pair = data.contact.geom[:data.ncon]
            own = robot_body[pair[:, 0]] & robot_body[pair[:, 1]] & (dist < 0)
            if own.any():
                k = int(np.argmin(np.where(own, dist, np.inf)))
                self_depth[t] = -float(dist[k])
                self_pair[t] = tuple(model.body(model.geom_bodyid[g]).name for g in pair[k])

    height = lowest_z(model, geoms, xpos, xmat) - floor_z          # (T, G)
    low = height.min(axis=1)
    points[..., 2] -= cand_drop + floor_z                           # heights above the floor
    touching = points[..., 2] <= TOUCH_M                            # (T, K) floor points

    penetration = np.maximum(-low, 0.0)
    floating = low > NEAR_M
    if frames > 1:
        both = touching[1:] & touching[:-1]
        speed = np.linalg.norm(points[1:, :, :2] - points[:-1, :, :2], axis=2) / dt
        skate = float(speed[both].mean()) if both.any() else 0.0
        skate_frames = np.where(both, speed, 0.0).max(axis=1)
    else:
        skate, skate_frames = 0.0, np.zeros(0)

    hinge = model.jnt_type == mujoco.mjtJoint.mjJNT_HINGE
    limited = hinge & model.jnt_limited.astype(bool)
    qadr = model.jnt_qposadr[limited]
    q = qpos[:, qadr]
    lo, hi = model.jnt_range[limited].T
    margins = np.minimum(q - lo, hi - q)
    limit_frames = margins.min(axis=1) if margins.size else np.full(frames, np.inf)
    speed_j = np.abs(np.asarray(joint_vel, dtype=np.float64))
    jvel_frames = speed_j.max(axis=1) if speed_j.size else np.zeros(frames)

    com_margin = np.full(frames, np.nan)
    for t in range(frames):
        if touching[t].any():
            com_margin[t] = support_margin(points[t, touching[t], :2], com[t, :2])

    residual = root_residuals(model, qpos, dt, com, points, touching, mu, floor_z)

    name_of = [model.joint(j).name for j in np.flatnonzero(limited)]
    limit_joint = name_of[int(np.argmin(margins.min(axis=0)))] if margins.size else None
    deepest = int(np.argmax(self_depth))
    checks = {
        "penetration_m": float(penetration.max()),
        "floating_fraction": float(floating.mean()),
        "foot_skate_mps": skate,
        "self_collision_m": float(self_depth.max()),
        "joint_limit_margin_rad": float(limit_frames.min()) if margins.size else None,
        "joint_vel_max_rad_s": float(jvel_frames.max()),
        "com_support_margin_m": None if np.isnan(com_margin).all() else float(np.nanmin(com_margin)),
        "root_residual_ratio": float(residual.max()),
    }
    worst = {
        "penetration_m": _worst(np.where(penetration > 1e-6, penetration, np.nan)),
        "floating_fraction": _worst(np.where(floating, low, np.nan)),
        "foot_skate_mps": _worst(np.where(skate_frames > 1e-6, skate_frames, np.nan)),
        "self_collision_m": _worst(np.where(self_depth > 0, self_depth, np.nan)),
        "joint_limit_margin_rad": _worst(limit_frames, low_is_bad=True),
        "joint_vel_max_rad_s": _worst(jvel_frames),
        "com_support_margin_m": _worst(com_margin, low_is_bad=True),
        "root_residual_ratio": _worst(residual),
    }
    details = {"joint_limit_margin_rad": limit_joint,
               "self_collision_m": "/".join(self_pair[deepest]) if self_pair[deepest] else None}
    return checks, worst, details


def root_residuals(model, qpos, dt, com, points, touching, mu, floor_z=0.0):
    """Per frame: the part of the base wrench the motion needs (inverse
    dynamics with constraints off, accelerations from differences of the
    velocities) that no forces inside the friction cones of the floor points
    supply, over the weight. The wrench is taken at the centre of mass, its
    moment as the force that makes it at the arm of the standing CoM height,
    so a moment residual (no support under the CoM) counts as a force one.

    Velocities are central differences of the positions and accelerations
    central differences of those, so frame t's acceleration spans frames
    t-2 to t+2: a point touching in any of them may push (a landing between
    two frames shows up one frame early)."""
    frames = len(qpos)
    inverse = copy.copy(model)
    inverse.opt.disableflags |= mujoco.mjtDisableBit.mjDSBL_CONSTRAINT
    data = mujoco.MjData(inverse)
    qvel = qpos_velocity(model, qpos, dt)
    qacc = np.gradient(qvel, dt, axis=0) if frames > 1 else np.zeros_like(qvel)
    root = model.body("pelvis").id
    weight = float(model.body_subtreemass[root] * np.linalg.norm(model.opt.gravity))
    arm = standing_arm(model)
    edges = np.stack([cone_edges(m) for m in mu])                  # (K, edges, 3)
    reach = touching.copy()
    for shift in (1, 2):
        reach[shift:] |= touching[:-shift]
        reach[:-shift] |= touching[shift:]
    out = np.zeros(frames)
    for t in range(frames):
        data.qpos[:] = qpos[t]
        data.qvel[:] = qvel[t]
        data.qacc[:] = qacc[t]
        mujoco.mj_inverse(inverse, data)
        rot = data.xmat[root].reshape(3, 3)
        force = data.qfrc_inverse[:3].copy()
        moment = rot @ data.qfrc_inverse[3:6] + np.cross(data.xpos[root] - com[t], force)
        need = np.concatenate([force, moment / arm])
        touch = np.flatnonzero(reach[t])
        if len(touch):
            lever = points[t, touch] + [0.0, 0.0, floor_z] - com[t]
            e = edges[touch]
            turn = np.cross(np.broadcast_to(lever[:, None], e.shape), e) / arm
            _, rest = nnls(np.concatenate([e, turn], axis=2).reshape(-1, 6).T, need)
        else:
            rest = float(np.linalg.norm(need))
        out[t] = rest / weight
    return out


def standing_arm(model):
    """Height of the centre of mass above the floor in the zero pose with
    the feet on the floor: the arm that turns a residual moment into a force."""
    data = mujoco.MjData(model)
    mujoco.mj_kinematics(model, data)
    mujoco.mj_comPos(model, data)
    geoms = robot_geoms(model)
    low = min(geom_lowest_z(model, data, g) for g in geoms)
    return float(data.subtree_com[model.body("pelvis").id][2] - low)


def size_scale(model):
    """How much larger the model's robot is than the package's (two
    decimals, so that a model of the same size judges exactly alike)."""
    return round(standing_arm(model) / REFERENCE_ARM_M, 2)


def scaled(figure, scale):
    """The figure with its thresholds for a robot `scale` times the size."""
    factor = {"m": scale, "m/s": float(np.sqrt(scale))}.get(figure.unit, 1.0)
    if factor == 1.0:
        return figure
    return dataclasses.replace(figure, warn=None if figure.warn is None else figure.warn * factor,
                               fail=None if figure.fail is None else figure.fail * factor)


def judge(checks, scale=1.0):
    """(verdict, reasons): the worst level over the figures (thresholds for
    a robot `scale` times the package's size), and one line per figure past
    a threshold."""
    level, reasons = 0, []
    for key, value in checks.items():
        figure = FIGURES.get(key)
        if figure is None:
            continue
        figure = scaled(figure, scale)
        k = figure.level(value)
        if k:
            bound = figure.fail if k == 2 else figure.warn
            side = "<=" if figure.low_is_bad else ">="
            reasons.append(f"{key} {value:.4g} {side} {bound:g} ({VERDICTS[k]})")
        level = max(level, k)
    return VERDICTS[level], reasons


def check_clip(clip, model, tables=None, name=None, path=None, extra=()):
    """The plausibility record of one clip (the arrays of a clip file).

    `extra` holds further checks, each a callable
    `(model, clip, qpos) -> (checks, worst_frames)` whose figures are
    judged by their FIGURES entries and join the record."""
    tables = tables or robot_tables()
    qpos = clip_qpos(clip, tables, model)
    fps = float(np.asarray(clip["fps"]).ravel()[0])
    checks, worst, details = clip_figures(model, qpos, clip["joint_vel"], fps)
    for more in extra:
        c, w = more(model, clip, qpos)
        checks.update(c)
        worst.update(w)
    scale = size_scale(model)
    verdict, reasons = judge(checks, scale)
    return {"name": name, "path": path, "frames": len(qpos), "seconds": len(qpos) / fps,
            "verdict": verdict, "threshold_scale": scale, "checks": checks, "worst_frames": worst, "details": details,
            "reasons": reasons}


def _readable(clip, tables):
    """What keeps a clip from being checked, or None."""
    joints, bodies = len(tables.target_names_joint), len(tables.target_names)
    frames = np.shape(clip.get("joint_pos", ()))[:1]
    expect = {"fps": None, "joint_pos": (joints,), "joint_vel": (joints,),
              "body_pos_w": (bodies, 3), "body_quat_w": (bodies, 4)}
    for key, tail in expect.items():
        if key not in clip:
            return f"missing member {key!r}"
        a = clip[key]
        if not np.issubdtype(a.dtype, np.number) or not np.isfinite(a).all():
            return f"{key} is not finite numbers"
        if tail is not None and a.shape != frames + tail:
            return f"{key} has shape {a.shape}, expected {frames + tail}"
    if not frames or frames[0] == 0:
        return "the clip has no frames"
    fps = clip["fps"]
    if fps.size != 1 or not float(fps.ravel()[0]) > 0:
        return f"fps must be one positive number, got {fps!r}"
    return None


def check_file(path, model, tables=None, extra=()):
    """check_clip on a clip file; an unreadable or malformed file fails
    with its reason instead of raising."""
    from .clipfile import read_clip
    tables = tables or robot_tables()
    name = os.path.splitext(os.path.basename(str(path)))[0]
    try:
        clip = read_clip(path)
        problem = _readable(clip, tables)
    except ClipError as e:
        problem = f"cannot read the clip: {e}"
    except Exception as e:  # any unreadable file is reported, not raised
        problem = f"cannot read the clip: {type(e).__name__}: {e}"
    if not problem:
        try:
            return check_clip(clip, model, tables, name=name, path=str(path), extra=extra)
        except Exception as e:  # one bad clip must not stop a dataset
            problem = f"cannot check the clip: {type(e).__name__}: {e}"
    return failed_record(path, problem)


def failed_record(path, problem):
    """The record of a clip that could not be checked."""
    name = os.path.splitext(os.path.basename(str(path)))[0]
    return {"name": name, "path": str(path), "frames": 0, "seconds": 0.0, "verdict": "fail",
            "checks": {}, "worst_frames": {}, "details": {}, "reasons": [problem]}


def extra_checks(model_path, dynamic=False, here=True):
    """The further checks the options ask for, as check_clip's `extra`
    (--dynamic: the whole-body controller's dynamic_feasible on the robot of
    `model_path`, whose figure joins FIGURES here). `here=False`: only the
    figures, for a process that leaves the checks to its workers (and so
    never imports the controller and the extension)."""
    if not dynamic:
        return []
    FIGURES.setdefault("dynamic_feasible", DYNAMIC_FEASIBLE)
    if not here:
        return []
    import functools
    from .controllers.wbc import feasibility
    return [functools.partial(feasibility.dynamic_check, model_path=model_path)]


def worker_modules(dynamic=False):
    from .catalog import CHECK_MODULES, DYNAMIC_MODULES
    return CHECK_MODULES + (DYNAMIC_MODULES if dynamic else ())


_WORKER = {}


def check_task(path, _, options):
    """One clip file in a worker process: check_file's record, never an
    exception. `options`: (model path, dynamic), as extra_checks takes them."""
    try:
        if options not in _WORKER:
            from .robot import load_model
            _WORKER[options] = load_model(options[0]), extra_checks(*options)
        model, extra = _WORKER[options]
    except Exception as e:  # reported per clip, as check_file reports
        return failed_record(path, f"cannot check the clip: {type(e).__name__}: {e}")
    return check_file(path, model, robot_tables(), extra)


def check_files(paths, model, tables=None, extra=(), jobs=1, options=(None, False), on_result=None):
    """check_file's records of `paths`, in their order. One job: in this
    process with `model`, `tables` and `extra`. More: over that many worker
    processes, each loading what `options` names (see check_task); a clip
    whose worker dies fails with that reason and the others go on.
    `on_result(record)` is called as each clip is done."""
    on_result = on_result or (lambda record: None)
    paths = [str(p) for p in paths]
    if jobs <= 1 or len(paths) < 2:
        records = []
        for path in paths:
            records.append(check_file(path, model, tables, extra))
            on_result(records[-1])
        return records
    from .dataset import run_tasks
    done = {}

    def collect(record):
        done[record["path"]] = record
        on_result(record)

    def died(path, _):
        return failed_record(path, "the worker process died checking it (killed or crashed)")

    run_tasks([(p, None) for p in paths], min(jobs, len(paths)), tuple(options), collect,
              work=check_task, preload=worker_modules(options[1]), died=died)
    return [done[p] for p in paths]


def clip_files(paths):
    """Clip files named by `paths`: files as given, folders searched
    recursively for .npz, each file once, folders' files in sorted order."""
    out, seen = [], set()
    for p in paths:
        p = str(p)
        if os.path.isdir(p):
            found = sorted(os.path.join(d, f) for d, _, files in os.walk(p) for f in files
                           if f.endswith(".npz") and not f.startswith("."))
        elif os.path.exists(p):
            found = [p]
        else:
            raise ClipError(f"no such clip or folder: {p}")
        for f in found:
            key = os.path.realpath(f)
            if key not in seen:
                seen.add(key)
                out.append(f)
    return out


# (figure, column heading, display unit, scale to it, format)
COLUMNS = (("penetration_m", "pen", "mm", 1e3, "{:.1f}"), ("floating_fraction", "float", "%", 100, "{:.0f}"),
           ("foot_skate_mps", "skate", "cm/s", 100, "{:.1f}"), ("self_collision_m", "self", "mm", 1e3, "{:.1f}"),
           ("joint_limit_margin_rad", "limit", "rad", 1, "{:+.3f}"),
           ("joint_vel_max_rad_s", "jvel", "rad/s", 1, "{:.1f}"),
           ("com_support_margin_m", "CoM", "cm", 100, "{:+.1f}"),
           ("root_residual_ratio", "residual", "/mg", 1, "{:.3f}"))


def format_table(results):
    """The check table: a row per clip, the figures in display units."""
    width = max([4] + [len(r["name"]) for r in results]) + 2
    head = f"{'clip':<{width}}{'frames':>7}" + "".join(f"{label + ' ' + unit:>13}" for _, label, unit, _, _ in COLUMNS)
    head += "  verdict"
    lines = [head]
    for r in results:
        cells = []
        for key, _, _, scale, fmt in COLUMNS:
            value = r["checks"].get(key)
            cells.append(f"{'-' if value is None else fmt.format(value * scale):>13}")
        lines.append(f"{r['name']:<{width}}{r['frames']:>7}" + "".join(cells) + f"  {r['verdict']}")
    return lines


def write_json(path, results):
    import json
    keys = ("name", "path", "verdict", "checks", "worst_frames", "details", "reasons", "frames", "seconds")

    with atomic_output(path) as tmp:
        with open(tmp, "w") as f:
            json.dump({"clips": [{k: r[k] for k in keys} for r in results],
                       "thresholds": {k: {"unit": f.unit, "warn": f.warn, "fail": f.fail,
                                          "low_is_bad": f.low_is_bad} for k, f in FIGURES.items()}},
                      f, indent=1)
    return str(path)


def write_plot(path, results):
    """One PNG for a set of clips: a panel per figure, each clip's value
    against the warn and fail thresholds (a histogram beyond 40 clips)."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    colour = {"pass": "tab:green", "warn": "tab:orange", "fail": "tab:red"}
    fig, axes = plt.subplots(2, 4, figsize=(16, 2.0 + 0.12 * min(len(results), 40) * 2), squeeze=False)
    checked = [r for r in results if r["checks"]]
    for ax, (key, _, unit, scale, _) in zip(axes.ravel(), COLUMNS):
        figure = FIGURES[key]
        rows = [(r["name"], r["checks"][key] * scale, figure.level(r["checks"][key]))
                for r in checked if r["checks"].get(key) is not None]
        if len(checked) <= 40:
            ax.barh(range(len(rows)), [v for _, v, _ in rows],
                    color=[colour[VERDICTS[k]] for _, _, k in rows])
            ax.set_yticks(range(len(rows)), [n for n, _, _ in rows], fontsize=7)
            ax.invert_yaxis()
        else:
            ax.hist([v for _, v, _ in rows], bins=30, color="tab:blue")
            ax.set_ylabel("clips")
        for bound, style in ((figure.warn, "--"), (figure.fail, "-")):
            if bound is not None:
                ax.axvline(bound * scale, color="tab:orange" if style == "--" else "tab:red", ls=style, lw=1)
        ax.set_title(f"{key} ({unit})", fontsize=9)
    fig.suptitle(f"plausibility of {len(results)} clip(s): dashed warn, solid fail")
    fig.tight_layout()
    try:
        with atomic_output(path) as tmp:
            fig.savefig(tmp, dpi=90, format="png")
        return str(path)
    finally:
        plt.close(fig)
