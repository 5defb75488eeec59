"""The robot's model from an MJCF file, the package's or a user's.

`load` reads the file with `mujoco.MjSpec` (assets relative to the file),
checks it against the robot's tables before anything else (a free joint on
the pelvis, the 29 hinges, the 30 tracked bodies, a collision geom under
each foot; every problem in one message, with the nearest names the model
has), then makes it drivable in memory, never touching the file: torque
motors on the 29 joints, a floor, floor contacts, self-collision excludes
for links that overlap in the default pose, and the IMU site. The report
says, one line each, what it found and what it changed.
"""

import copy
import dataclasses
import difflib
import hashlib
import os

import numpy as np

import mujoco

from .catalog import model_path
from .robot import FOOT_BODIES, ClipError, default_qpos, sole_corners, tables

#: The site added at the pelvis origin of a model without a pelvis IMU site.
ORIGIN_IMU_SITE = "trackscope_pelvis_origin_imu"
#: The IMU's sensors, at the IMU site: name suffix -> sensor type.
IMU_SENSORS = (("quat", mujoco.mjtSensor.mjSENS_FRAMEQUAT), ("gyro", mujoco.mjtSensor.mjSENS_GYRO),
               ("accel", mujoco.mjtSensor.mjSENS_ACCELEROMETER))
#: The mocap body of the welded mount (load(..., mount=True)).
MOUNT_BODY = "trackscope_mount"
#: Contact bit of the floor contacts the adaptation adds: set in the floor's
#: contype and in the conaffinity of robot geoms that did not touch it, so
#: those geoms meet the floor and nothing else they did not meet before.
FLOOR_BIT = 1 << 5
OVERLAP_M = 1e-4        # deeper than this in the default pose counts as overlapping
FINGERPRINT_DECIMALS = 5

FREE = mujoco.mjtJoint.mjJNT_FREE
HINGE = mujoco.mjtJoint.mjJNT_HINGE
JOINT_KINDS = {int(mujoco.mjtJoint.mjJNT_FREE): "free", int(mujoco.mjtJoint.mjJNT_BALL): "ball",
               int(mujoco.mjtJoint.mjJNT_SLIDE): "slide", int(mujoco.mjtJoint.mjJNT_HINGE): "hinge"}


class ModelError(ClipError):
    """A model the tools cannot drive the robot with; the message lists
    every problem."""


@dataclasses.dataclass
class Imu:
    """Where the IMU sits: the site its sensors read (the model's pelvis IMU
    site, else one added at the pelvis origin), whether the model had it,
    and its pose in the pelvis frame."""
    site: str
    from_model: bool
    pos: np.ndarray
    quat: np.ndarray        # [w, x, y, z]


@dataclasses.dataclass
class UserModel:
    model: mujoco.MjModel
    path: str
    name: str
    fingerprint: str
    effort: np.ndarray      # (29,) N m, orig_names_joint order
    imu: Imu
    report: list


def _names(model, kind, count):
    return [getattr(model, kind)(i).name for i in range(count)]


def _nearest(name, candidates):
    near = difflib.get_close_matches(name, candidates, n=3, cutoff=0.6)
    return f" (nearest in the model: {', '.join(near)})" if near else " (nothing similar in the model)"


def robot_bodies(model, pelvis):
    """Ids of the bodies of the robot: the pelvis and everything below it."""
    return [b for b in range(model.nbody) if model.body_rootid[b] == pelvis and b >= pelvis]


def collision_geoms(model, bodies):
    """(geoms, how): the collision geoms on `bodies`. Those that can collide
    (contact bits or an explicit pair); if none can, the geoms of group 3
    (the usual collision group), else all of them."""
    bodies = set(bodies)
    paired = set(model.pair_geom1) | set(model.pair_geom2)
    own = [g for g in range(model.ngeom) if model.geom_bodyid[g] in bodies]
    live = [g for g in own if model.geom_contype[g] or model.geom_conaffinity[g] or g in paired]
    if live:
        return live, "by their contact bits and pairs"
    group3 = [g for g in own if model.geom_group[g] == 3]
    if group3:
        return group3, "none can collide: the geoms of group 3"
    return own, "none can collide: all the robot's geoms"


def check(model, tabs=None):
    """Problems that keep `model` from driving the robot (empty: none)."""
    tabs = tabs or tables()
    bodies = _names(model, "body", model.nbody)
    joints = _names(model, "joint", model.njnt)
    problems = []
    pelvis = bodies.index("pelvis") if "pelvis" in bodies else None
    if pelvis is None:
        problems.append("no body 'pelvis'" + _nearest("pelvis", bodies))
    elif not any(model.jnt_type[j] == FREE and model.jnt_bodyid[j] == pelvis for j in range(model.njnt)):
        problems.append("no free joint on the body 'pelvis' (the robot's floating base)")
    for name in tabs.orig_names_joint:
        if name not in joints:
            problems.append(f"missing joint {name!r}" + _nearest(name, joints))
        elif model.jnt_type[joints.index(name)] != HINGE:
            kind = JOINT_KINDS.get(int(model.jnt_type[joints.index(name)]), "other")
            problems.append(f"joint {name!r} is a {kind} joint, not a hinge")
    for name in tabs.target_names:
        if name not in bodies and name != "pelvis":
            problems.append(f"missing body {name!r}" + _nearest(name, bodies))
    if pelvis is not None:
        robot = set(robot_bodies(model, pelvis))
        for j in range(model.njnt):
            if model.jnt_bodyid[j] not in robot:
                problems.append(f"joint {joints[j] or '#%d' % j!r} on body "
                                f"{bodies[model.jnt_bodyid[j]]!r} moves something that is not the robot")
        geoms, _ = collision_geoms(model, robot)
        for name in FOOT_BODIES:
            if name in bodies and not any(model.geom_bodyid[g] == bodies.index(name) for g in geoms):
                problems.append(f"no collision geom on {name!r} to stand on")
    return problems


def load(path=None, mount=False):
    """The checked and adapted model of `path` (see catalog.model_path for
    the default) as a UserModel. `mount` adds a mocap body (MOUNT_BODY)
    welded to the pelvis (the welded PD run). Raises ModelError naming
    every problem of a model that cannot drive the robot."""
    path = os.path.abspath(model_path(path))
    try:
        stat = os.stat(path)
    except OSError as e:
        raise ModelError(f"cannot read the model {path}: {e.strerror}") from None
    key = (path, stat.st_mtime_ns, stat.st_size, bool(mount))
    if key not in _CACHE:
        if len(_CACHE) > 8:
            _CACHE.clear()
        _CACHE[key] = _load(path, mount)
    loaded = _CACHE[key]
    return dataclasses.replace(loaded, model=copy.copy(loaded.model), report=list(loaded.report))


_CACHE = {}


def _compile(mjspec, path):
    try:
        return mjspec.compile()
    except ValueError as e:
        raise ModelError(f"cannot load the model {path}: {e}") from None


def _load(path, mount):
    tabs = tables()
    try:
        mjspec = mujoco.MjSpec.from_file(path)
    except ValueError as e:
        raise ModelError(f"cannot load the model {path}: {e}") from None
    model = _compile(mjspec, path)
    problems = check(model, tabs)
    if problems:
        raise ModelError(f"{path} cannot drive the robot ({len(problems)} problem(s)):\n  "
                         + "\n  ".join(problems))
    name = mjspec.modelname or os.path.splitext(os.path.basename(path))[0]
    report = [f"model {path} ({name})"]
    pelvis = model.body("pelvis").id
    robot = robot_bodies(model, pelvis)
    report += _found(model, tabs, robot)
    soles_at = len(report)
    for items, kind in ((mjspec.geoms, "geom"), (mjspec.joints, "joint")):
        _same_order(items, model, kind)

    report += _remove_joints(mjspec, model, tabs)
    effort, lines = _motors(mjspec, model, tabs)
    report += lines
    report += _floor(mjspec, model, robot)
    imu, line = _imu(mjspec, model, pelvis)
    report.append(line)
    # offscreen rendering at the replay's and the sheet's sizes
    mjspec.visual.global_.offwidth = max(mjspec.visual.global_.offwidth, 1280)
    mjspec.visual.global_.offheight = max(mjspec.visual.global_.offheight, 720)
    if mount:
        mjspec.worldbody.add_body(name=MOUNT_BODY, mocap=True)
        mjspec.add_equality(type=mujoco.mjtEq.mjEQ_WELD, name1=MOUNT_BODY, name2="pelvis",
                          objtype=mujoco.mjtObj.mjOBJ_BODY, solref=[0.01, 1.0],
                          data=[0, 0, 0, 0, 0, 0, 1.0, 0, 0, 0, 1.0, 0])
    model = _compile(mjspec, path)
    lines = _exclude_overlaps(mjspec, model, tabs)
    if lines:
        report += lines
        model = _compile(mjspec, path)
    else:
        report.append("self-collision: no links overlap in the default pose")
    report[soles_at:soles_at] = _soles(model)
    mass = float(model.body_subtreemass[model.body("pelvis").id])
    fp = fingerprint(model, tabs)
    report.append(f"mass {mass:.2f} kg; kinematic fingerprint {fp}")
    return UserModel(model, path, name, fp, effort, imu, report)


def _found(model, tabs, robot):
    geoms, how = collision_geoms(model, robot)
    other = [model.body(b).name or f"#{b}" for b in robot if model.body(b).name not in tabs.target_names]
    lines = [f"joints: free joint on pelvis, the {len(tabs.orig_names_joint)} hinges of orig_names_joint",
             f"bodies: the {len(tabs.target_names)} tracked bodies"
             + (f"; {len(other)} other link(s): {', '.join(other)}" if other else "; no other links"),
             f"collision geoms: {len(geoms)} on the robot, {how}"]
    return lines


def _soles(model):
    """A line per sole, of the adapted model (whose collision geoms all can
    collide)."""
    lines = []
    for foot in FOOT_BODIES:
        corners, kinds = sole_corners(model, model.body(foot).id)
        size = corners.max(axis=0) - corners.min(axis=0)
        lines.append(f"sole {foot}: {kinds}, {100 * size[0]:.1f} x {100 * size[1]:.1f} cm, "
                     f"{100 * -corners[0, 2]:.1f} cm below the ankle")
    return lines


def _remove_joints(mjspec, model, tabs):
    """Joints of the robot beyond the free joint and the 29 hinges (fingers,
    passive links): removed, their links fixed at the joint's zero."""
    keep = set(tabs.orig_names_joint)
    lines = []
    for j in range(model.njnt - 1, -1, -1):
        name = model.joint(j).name
        if model.jnt_type[j] == FREE or name in keep:
            continue
        mjspec.delete(mjspec.joints[j])
        lines.append(f"removed joint {name or '#%d' % j!r} on {model.body(model.jnt_bodyid[j]).name}: "
                     "not one of the robot's; its link is fixed")
    return lines[::-1]


def _actuator_kind(model, a):
    gain, bias = model.actuator_gaintype[a], model.actuator_biastype[a]
    if gain == mujoco.mjtGain.mjGAIN_FIXED and bias == mujoco.mjtBias.mjBIAS_NONE:
        return "motor"
    if bias == mujoco.mjtBias.mjBIAS_AFFINE and model.actuator_biasprm[a, 1] < 0:
        return "position servo"
    if bias == mujoco.mjtBias.mjBIAS_AFFINE and model.actuator_biasprm[a, 2] < 0:
        return "velocity servo"
    return "other actuator"


def _plural(n, word):
    return f"{n} {word}" + ("" if n == 1 else "s")


def _motors(mjspec, model, tabs):
    """Torque motors on the 29 joints in orig_names_joint order, limited to
    the effort limits: the model's own force ranges where it declares them
    (joint actuator force range, actuator force range, a motor's control
    range times its gear), else the tables'."""
    names = list(tabs.orig_names_joint)
    jids = [model.joint(n).id for n in names]
    table = np.asarray(tabs.effort_limit_sim, dtype=np.float64)[tabs.target_indices_action]
    on_joint = {}
    for a in range(model.nu):
        if model.actuator_trntype[a] == mujoco.mjtTrn.mjTRN_JOINT:
            on_joint.setdefault(int(model.actuator_trnid[a, 0]), a)
    effort, source = np.zeros(len(names)), []
    for k, j in enumerate(jids):
        a = on_joint.get(j)
        gear = abs(float(model.actuator_gear[a, 0])) if a is not None else 0.0
        if model.jnt_actfrclimited[j]:
            effort[k], where = np.abs(model.jnt_actfrcrange[j]).min(), "the joints' actuator force ranges"
        elif a is not None and model.actuator_forcelimited[a]:
            effort[k], where = gear * np.abs(model.actuator_forcerange[a]).min(), "the actuators' force ranges"
        elif a is not None and _actuator_kind(model, a) == "motor" and model.actuator_ctrllimited[a]:
            effort[k] = gear * abs(float(model.actuator_gainprm[a, 0])) * np.abs(model.actuator_ctrlrange[a]).min()
            where = "the motors' control ranges and gears"
        else:
            effort[k], where = table[k], "the tables (effort_limit_sim)"
        if not effort[k] > 0:
            effort[k], where = table[k], "the tables (effort_limit_sim)"
        source.append(where)

    kept = model.nu == len(names) and all(
        model.actuator_trntype[a] == mujoco.mjtTrn.mjTRN_JOINT and model.actuator_trnid[a, 0] == j
        and _actuator_kind(model, a) == "motor" and model.actuator_gear[a, 0] == 1.0
        and model.actuator_gainprm[a, 0] == 1.0 and model.actuator_ctrllimited[a]
        and np.allclose(model.actuator_ctrlrange[a], [-effort[k], effort[k]])
        for k, (a, j) in enumerate(zip(range(model.nu), jids)))
    lines = []
    if kept:
        lines.append(f"actuators: {_plural(model.nu, 'torque motor')} on the joints in the robot's order, kept")
    else:
        kinds = {}
        for a in range(model.nu):
            kinds[_actuator_kind(model, a)] = kinds.get(_actuator_kind(model, a), 0) + 1
        had = ", ".join(_plural(n, k) for k, n in kinds.items()) if kinds else "none"
        lines.append(f"actuators: {had} replaced by {len(names)} torque motors on the joints")
        lines += _replace_actuators(mjspec, model, names, effort)
    counts = {}
    for where in source:
        counts[where] = counts.get(where, 0) + 1
    lines.append("effort limits: " + ", ".join(f"{n} from {w}" for w, n in counts.items())
                 + f" ({effort.min():g} to {effort.max():g} N m)")
    return effort, lines


def _replace_actuators(mjspec, model, names, effort):
    lines = []
    # Rotor inertia and damping an actuator declares act on its joint (times
    # the gear squared); they move onto the joint so that the robot's
    # dynamics stay as the model has them.
    arm, damp = getattr(model, "actuator_armature", None), getattr(model, "actuator_damping", None)
    moved = 0
    for a in range(model.nu):
        if model.actuator_trntype[a] != mujoco.mjtTrn.mjTRN_JOINT or arm is None \
                or model.joint(int(model.actuator_trnid[a, 0])).name not in names:
            continue
        gear2 = float(model.actuator_gear[a, 0]) ** 2
        extra_arm = float(arm[a]) * gear2
        extra_damp = float(np.ravel(damp[a])[0]) * gear2 if damp is not None else 0.0
        if extra_arm or extra_damp:
            joint = mjspec.joint(model.joint(int(model.actuator_trnid[a, 0])).name)
            joint.armature = joint.armature + extra_arm
            joint.damping = np.asarray(joint.damping) + np.eye(len(np.ravel(joint.damping)))[0] * extra_damp
            moved += 1
    if moved:
        lines.append(f"armature and damping of {_plural(moved, 'replaced actuator')} moved onto their joints")
    for sensor in list(mjspec.sensors):
        if sensor.objtype in (mujoco.mjtObj.mjOBJ_ACTUATOR,):
            lines.append(f"removed sensor {sensor.name or '(unnamed)'}: it reads an actuator that is replaced")
            mjspec.delete(sensor)
    for act in list(mjspec.actuators):
        mjspec.delete(act)
    for name, limit in zip(names, effort):
        act = mjspec.add_actuator(name=name.removesuffix("_joint"), target=name, trntype=mujoco.mjtTrn.mjTRN_JOINT)
        act.set_to_motor()
        act.ctrllimited = mujoco.mjtLimited.mjLIMITED_TRUE
        act.ctrlrange = [-float(limit), float(limit)]
    return lines


def _floor(mjspec, model, robot):
    """A floor plane if the world has none, and floor contacts for the
    robot's collision geoms that do not meet it."""
    lines = []
    planes = [g for g in range(model.ngeom)
              if model.geom_bodyid[g] == 0 and model.geom_type[g] == mujoco.mjtGeom.mjGEOM_PLANE]
    if planes:
        floor = planes[0]
        name = model.geom(floor).name
        contype, conaffinity = int(model.geom_contype[floor]), int(model.geom_conaffinity[floor])
        lines.append(f"floor: the model's plane {name or '#%d' % floor!r} at z = {model.geom_pos[floor, 2]:g} m")
        floor_spec = mjspec.geoms[floor]
    else:
        taken = set(_names(model, "geom", model.ngeom))
        name = "floor" if "floor" not in taken else "trackscope_floor"
        floor_spec = mjspec.worldbody.add_geom(name=name, type=mujoco.mjtGeom.mjGEOM_PLANE, size=[0, 0, 0.05],
                                             contype=1, conaffinity=1, rgba=[0.46, 0.49, 0.52, 1])
        _floor_look(mjspec, floor_spec)
        floor, contype, conaffinity = None, 1, 1
        lines.append(f"floor: none in the model; a plane {name!r} added at z = 0")
    geoms, _ = collision_geoms(model, robot)
    paired = set()
    if floor is not None:
        for a, b in zip(model.pair_geom1, model.pair_geom2):
            if floor in (a, b):
                paired |= {a, b}
    missing = [g for g in geoms if g not in paired
               and not (model.geom_contype[g] & conaffinity or contype & model.geom_conaffinity[g])]
    if missing:
        floor_spec.contype = contype | FLOOR_BIT
        for g in missing:
            mjspec.geoms[g].conaffinity = int(model.geom_conaffinity[g]) | FLOOR_BIT
        lines.append(f"floor contacts: added for {_plural(len(missing), 'robot collision geom')} that did not "
                     f"meet the floor (contact bit {FLOOR_BIT}: the floor's contype, their conaffinity)")
    else:
        lines.append(f"floor contacts: all {_plural(len(geoms), 'robot collision geom')} meet the floor")
    return lines


def _same_order(items, model, kind):
    """The MjSpec's elements are the compiled model's, id for id (checked by
    name), so that ids found on the model address the MjSpec."""
    names = [getattr(model, kind)(i).name for i in range(len(items))]
    if len(items) != len(names) or any(item.name != name for item, name in zip(items, names)):
        raise ModelError(f"the model's {kind}s compile in another order than they are written")


def _floor_look(mjspec, floor):
    taken = {t.name for t in mjspec.textures} | {m.name for m in mjspec.materials}
    if "trackscope_grid" in taken:
        return
    mjspec.add_texture(name="trackscope_grid", type=mujoco.mjtTexture.mjTEXTURE_2D,
                     builtin=mujoco.mjtBuiltin.mjBUILTIN_CHECKER, rgb1=[0.42, 0.45, 0.48],
                     rgb2=[0.50, 0.53, 0.56], width=256, height=256)
    material = mjspec.add_material(name="trackscope_grid", texrepeat=[8, 8])
    material.textures[mujoco.mjtTextureRole.mjTEXROLE_RGB] = "trackscope_grid"
    floor.material = "trackscope_grid"


def _imu(mjspec, model, pelvis):
    """The IMU site (the pelvis site whose name holds "imu", else one added
    at the pelvis origin) and its three sensors."""
    sites = [s for s in range(model.nsite) if model.site_bodyid[s] == pelvis and "imu" in model.site(s).name.lower()]
    if sites:
        site = sites[0]
        imu = Imu(model.site(site).name, True, model.site_pos[site].copy(), model.site_quat[site].copy())
        line = f"IMU: the pelvis site {imu.site!r} at {np.round(imu.pos, 4).tolist()} m in the pelvis frame"
    else:
        imu = Imu(ORIGIN_IMU_SITE, False, np.zeros(3), np.array([1.0, 0.0, 0.0, 0.0]))
        mjspec.body("pelvis").add_site(name=ORIGIN_IMU_SITE)
        line = "IMU: no IMU site on the pelvis; the pelvis origin"
    for suffix, kind in IMU_SENSORS:
        mjspec.add_sensor(name=f"trackscope_imu_{suffix}", type=kind, objtype=mujoco.mjtObj.mjOBJ_SITE,
                        objname=imu.site)
    return imu, line


def _exclude_overlaps(mjspec, model, tabs):
    """Pairs of links whose collision shapes overlap in the default pose:
    excluded from self-collision (an explicit pair between them removed)."""
    data = mujoco.MjData(model)
    data.qpos[:] = default_qpos(model, tabs)
    mujoco.mj_kinematics(model, data)
    mujoco.mj_collision(model, data)
    robot = set(robot_bodies(model, model.body("pelvis").id))
    deepest = {}
    for i in range(data.ncon):
        g1, g2 = data.contact.geom[i]
        b1, b2 = int(model.geom_bodyid[g1]), int(model.geom_bodyid[g2])
        if b1 in robot and b2 in robot and data.contact.dist[i] < -OVERLAP_M:
            key = (min(b1, b2), max(b1, b2))
            deepest[key] = max(deepest.get(key, 0.0), -float(data.contact.dist[i]))
    lines = []
    pairs = {(int(model.geom_bodyid[a]), int(model.geom_bodyid[b])): p
             for p, (a, b) in enumerate(zip(model.pair_geom1, model.pair_geom2))}
    removed = []
    for (b1, b2), depth in sorted(deepest.items()):
        found = [p for p in (pairs.get((b1, b2)), pairs.get((b2, b1))) if p is not None]
        removed += found
        n1, n2 = (_body_name(mjspec, model, b) for b in (b1, b2))
        mjspec.add_exclude(bodyname1=n1, bodyname2=n2)
        lines.append(f"self-collision: {n1} / {n2} overlap {1000 * depth:.1f} mm in the default pose; excluded"
                     + (" (their explicit pair removed)" if found else ""))
    # By the geoms' names: a pair names both, and the MjSpec's pairs need not
    # come in the compiled model's order.
    gone = {frozenset((model.geom(model.pair_geom1[p]).name, model.geom(model.pair_geom2[p]).name))
            for p in removed}
    for pair in list(mjspec.pairs):
        if frozenset((pair.geomname1, pair.geomname2)) in gone:
            mjspec.delete(pair)
    return lines


def _body_name(mjspec, model, body):
    name = model.body(body).name
    if not name:
        name = f"trackscope_link_{body}"
        mjspec.bodies[body].name = name
    return name


def fingerprint(model, tabs=None):
    """A digest of the robot's kinematic tree: the 30 tracked bodies' names,
    each one's offset from the nearest tracked body above it in the zero
    pose, and the 29 joints' axes and anchors in their bodies' frames.
    Masses, geoms and actuators do not enter it."""
    tabs = tabs or tables()
    data = mujoco.MjData(model)
    mujoco.mj_kinematics(model, data)
    ids = [model.body(n).id for n in tabs.target_names]
    tracked = set(ids)
    values = []
    for b in ids:
        parent = int(model.body_parentid[b])
        while parent and parent not in tracked:
            parent = int(model.body_parentid[parent])
        rot = data.xmat[parent].reshape(3, 3)
        rel = np.zeros(4)
        mujoco.mju_mulQuat(rel, _conj(data.xquat[parent]), data.xquat[b])
        values += list(rot.T @ (data.xpos[b] - data.xpos[parent])) if parent else [0.0] * 3
        values += list(rel * np.sign(rel[0] or 1.0)) if parent else [1.0, 0.0, 0.0, 0.0]
    for name in tabs.orig_names_joint:
        j = model.joint(name).id
        values += list(model.jnt_axis[j]) + list(model.jnt_pos[j])
    ints = np.rint(np.asarray(values) * 10 ** FINGERPRINT_DECIMALS).astype(np.int64) + 0
    digest = hashlib.sha256("\n".join(tabs.target_names).encode() + ints.tobytes())
    return digest.hexdigest()[:16]


def _conj(q):
    return np.array([q[0], -q[1], -q[2], -q[3]])


def model_name(model):
    """The MJCF model name (<mujoco model="...">)."""
    names = bytes(model.names)
    return names[:names.index(b"\0")].decode() if b"\0" in names else names.decode()
