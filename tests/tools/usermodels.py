"""Robot models other than the package's, built from it with mujoco.MjSpec,
for the tests of --model.

`second_model`: legs 8% longer, torso 3 kg heavier, position servos,
contacts only through explicit pairs, no IMU site and no fixed-link bodies.
`maker_model`: a robot file as a robot maker publishes it (motors, a visual
and a collision mesh on every link, joint friction, IMU sites on pelvis and
torso, no floor) and a scene file beside it that includes it. Its meshes
are the convex hulls of the package model's link shapes, written as OBJ.
"""

import os

import mujoco
import numpy as np

from trackscope_tools import robot

FIXED_LINKS = ("pelvis_contour_link", "imu_in_torso", "left_rubber_hand", "right_rubber_hand")
LEG_SCALE = 1.08
TORSO_EXTRA_KG = 3.0


def package_spec():
    return mujoco.MjSpec.from_file(robot.MODEL_PATH)


def _drop_fixed_links(mjspec, keep=()):
    for name in FIXED_LINKS:
        if name not in keep:
            mjspec.delete(mjspec.body(name))


def second_spec():
    mjspec = package_spec()
    mjspec.modelname = "trackscope_humanoid_long"
    _drop_fixed_links(mjspec)
    mjspec.delete(mjspec.site("imu_in_pelvis"))
    for side in ("left", "right"):
        for link in ("knee_link", "ankle_pitch_link"):
            body = mjspec.body(f"{side}_{link}")
            body.pos = np.asarray(body.pos) * LEG_SCALE
        for link in ("hip_yaw_link", "knee_link"):
            for geom in mjspec.body(f"{side}_{link}").geoms:
                if not np.isnan(geom.fromto[0]):
                    geom.fromto = np.asarray(geom.fromto) * [1, 1, LEG_SCALE, 1, 1, LEG_SCALE]
    chest = mjspec.geom("chest")
    chest.mass = chest.mass + TORSO_EXTRA_KG
    tabs = robot.tables()
    effort = np.asarray(tabs.effort_limit_sim)[tabs.target_indices_action]
    kp = np.asarray(tabs.kp)[tabs.target_indices_action]
    for act in list(mjspec.actuators):
        mjspec.delete(act)
    for name, limit, gain in zip(tabs.orig_names_joint, effort, kp):
        act = mjspec.add_actuator(name=name + "_servo", target=name, trntype=mujoco.mjtTrn.mjTRN_JOINT)
        act.set_to_position(kp=float(gain))
        act.ctrllimited = mujoco.mjtLimited.mjLIMITED_FALSE
        act.forcelimited = mujoco.mjtLimited.mjLIMITED_TRUE
        act.forcerange = [-float(limit), float(limit)]
    # Contacts only through pairs: the soles on the floor, the two shins,
    # and the pelvis against the left hip's roll housing (overlapping at rest).
    for geom in mjspec.geoms:
        geom.contype, geom.conaffinity = 0, 0
    for body in ("left_hip_roll_link", "left_knee_link", "right_knee_link"):
        for k, geom in enumerate(mjspec.body(body).geoms):
            geom.name = geom.name or f"{body}_geom{k}"
    mjspec.add_pair(geomname1="floor", geomname2="left_foot")
    mjspec.add_pair(geomname1="floor", geomname2="right_foot")
    mjspec.add_pair(geomname1="left_knee_link_geom1", geomname2="right_knee_link_geom1")
    mjspec.add_pair(geomname1="pelvis", geomname2="left_hip_roll_link_geom0")
    return mjspec


def reordered_model(folder):
    """Ours with the left leg moved to the end of the pelvis's children: the
    same robot, its hinges, bodies and motors in another order."""
    mjspec, donor = package_spec(), package_spec()
    mjspec.delete(mjspec.body("left_hip_pitch_link"))
    for exclude in list(mjspec.excludes):
        if "left_hip" in exclude.bodyname1 + exclude.bodyname2:
            mjspec.delete(exclude)
    mjspec.body("pelvis").add_frame().attach_body(donor.body("left_hip_pitch_link"), "moved_", "")
    strip = lambda name: name.removeprefix("moved_")  # noqa: E731
    for kind in ("bodies", "joints", "geoms", "sites", "actuators"):
        for element in getattr(mjspec, kind):
            element.name = strip(element.name)
    for exclude in mjspec.excludes:
        exclude.bodyname1, exclude.bodyname2 = strip(exclude.bodyname1), strip(exclude.bodyname2)
    for act in mjspec.actuators:
        act.target = strip(act.target)
    mjspec.modelname = "trackscope_humanoid_reordered"
    return write_spec(mjspec, os.path.join(str(folder), "reordered.xml"))


def write_spec(mjspec, path, compile=True):
    os.makedirs(os.path.dirname(str(path)), exist_ok=True)
    if compile:
        mjspec.compile()
    with open(path, "w") as f:
        f.write(mjspec.to_xml())
    return str(path)


def second_model(folder, variant=None):
    """The second model's file in `folder`. `variant`: "misnamed" renames
    left_knee_joint; "broken" also renames a tracked body and takes the
    geoms off the right foot."""
    mjspec = second_spec()
    if variant in ("misnamed", "broken"):
        mjspec.joint("left_knee_joint").name = "left_knee"
        mjspec.actuator("left_knee_joint_servo").target = "left_knee"
    if variant == "broken":
        mjspec.body("waist_roll_link").name = "waist_roll"
        mjspec.delete(mjspec.pairs[1])          # the right foot's only contact: no collision geom left
    return write_spec(mjspec, os.path.join(str(folder), f"second_{variant or 'model'}.xml"))


def _sphere_points(n=48):
    """Roughly even points on the unit sphere (a Fibonacci lattice)."""
    k = np.arange(n) + 0.5
    z = 1 - 2 * k / n
    r = np.sqrt(1 - z * z)
    phi = np.pi * (1 + 5 ** 0.5) * k
    return np.column_stack([r * np.cos(phi), r * np.sin(phi), z])


def _geom_surface(model, g):
    """Points on a primitive geom's surface, in its body's frame."""
    size, kind = model.geom_size[g], model.geom_type[g]
    u = _sphere_points()
    if kind == mujoco.mjtGeom.mjGEOM_SPHERE:
        local = size[0] * u
    elif kind == mujoco.mjtGeom.mjGEOM_CAPSULE:
        local = size[0] * u + np.sign(u[:, 2:3]) * [0.0, 0.0, size[1]]
    elif kind == mujoco.mjtGeom.mjGEOM_CYLINDER:
        angle = np.linspace(0, 2 * np.pi, 16, endpoint=False)
        ring = np.column_stack([np.cos(angle), np.sin(angle)]) * size[0]
        local = np.concatenate([np.column_stack([ring, np.full(16, z)]) for z in (-size[1], size[1])])
    else:
        local = np.array([[x, y, z] for x in (1, -1) for y in (1, -1) for z in (1, -1)]) * size[:3]
    rot = np.zeros(9)
    mujoco.mju_quat2Mat(rot, model.geom_quat[g])
    return model.geom_pos[g] + local @ rot.reshape(3, 3).T


def write_hull_obj(path, points):
    """The convex hull of `points` as an OBJ file, faces wound outward."""
    from scipy.spatial import ConvexHull
    hull = ConvexHull(points)
    centre = points[hull.vertices].mean(axis=0)
    index = {v: k + 1 for k, v in enumerate(hull.vertices)}
    with open(path, "w") as f:
        f.writelines(f"v {x:.6f} {y:.6f} {z:.6f}\n" for x, y, z in points[hull.vertices])
        for tri in hull.simplices:
            a, b, c = points[tri]
            if np.dot(np.cross(b - a, c - a), a - centre) < 0:
                tri = tri[[0, 2, 1]]
            f.write("f " + " ".join(str(index[v]) for v in tri) + "\n")


def _link_points(model, body):
    return np.concatenate([_geom_surface(model, g) for g in range(model.ngeom) if model.geom_bodyid[g] == body])


def maker_model(folder):
    """(robot file, scene file) of the maker-style model in `folder`, with
    its meshes in folder/meshes."""
    folder = str(folder)
    os.makedirs(os.path.join(folder, "meshes"), exist_ok=True)
    base = robot.load_model()
    mjspec = package_spec()
    mjspec.modelname = "maker_humanoid"
    mjspec.meshdir = "meshes"
    mjspec.modelfiledir = folder
    _drop_fixed_links(mjspec, keep=("left_rubber_hand", "right_rubber_hand"))
    mjspec.delete(mjspec.geom("floor"))
    for exclude in list(mjspec.excludes):        # the maker's file has its own idea of these
        mjspec.delete(exclude)
    for act in list(mjspec.actuators):
        mjspec.delete(act)
    tabs = robot.tables()
    effort = np.asarray(tabs.effort_limit_sim)[tabs.target_indices_action]
    for name, limit in zip(tabs.orig_names_joint, effort):
        mjspec.add_actuator(name=name.removesuffix("_joint"), target=name, trntype=mujoco.mjtTrn.mjTRN_JOINT,
                          gear=[2.0, 0, 0, 0, 0, 0], ctrllimited=mujoco.mjtLimited.mjLIMITED_TRUE,
                          ctrlrange=[-limit / 2.0, limit / 2.0])
    for joint in mjspec.joints[1:]:
        joint.frictionloss = 0.2
    for b in range(1, base.nbody):
        name = base.body(b).name
        if name in FIXED_LINKS:
            continue
        body = mjspec.body(name)
        write_hull_obj(os.path.join(folder, "meshes", f"{name}.obj"), _link_points(base, b))
        for geom in list(body.geoms):
            mjspec.delete(geom)
        body.mass = float(base.body_mass[b])
        body.ipos = base.body_ipos[b]
        body.iquat = base.body_iquat[b]
        body.inertia = base.body_inertia[b]
        body.explicitinertial = True
        mjspec.add_mesh(name=name, file=f"{name}.obj")
        body.add_geom(type=mujoco.mjtGeom.mjGEOM_MESH, meshname=name, contype=0, conaffinity=0, group=2,
                      density=0, rgba=[0.7, 0.7, 0.75, 1])
        body.add_geom(type=mujoco.mjtGeom.mjGEOM_MESH, meshname=name, group=3, density=0,
                      contype=1, conaffinity=1)
    mjspec.site("imu_in_pelvis").pos = [-0.04, 0.0, -0.07]
    finger = mjspec.body("left_rubber_hand").add_body(name="left_finger", pos=[0.01, 0, 0])
    finger.add_joint(name="left_finger_joint", axis=[0, 1, 0], range=[0, 1.2])
    finger.add_geom(type=mujoco.mjtGeom.mjGEOM_BOX, size=[0.02, 0.01, 0.005], mass=0.02, group=2,
                    contype=0, conaffinity=0)
    mjspec.body("torso_link").add_site(name="imu_in_torso", pos=[-0.03, 0.0, 0.1])
    robot_file = write_spec(mjspec, os.path.join(folder, "robot.xml"), compile=False)
    scene = os.path.join(folder, "scene.xml")
    with open(scene, "w") as f:
        f.write('<mujoco model="maker_scene">\n  <include file="robot.xml"/>\n  <worldbody>\n'
                '    <light pos="0 0 3" dir="0 0 -1" directional="true"/>\n'
                '    <geom name="ground" type="plane" size="0 0 0.05"/>\n  </worldbody>\n</mujoco>\n')
    return robot_file, scene
