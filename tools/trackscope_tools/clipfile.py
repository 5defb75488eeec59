"""Clip files: where they live, atomic writes, reading, and the format
checks of `trackscope-clip inspect`."""

import os
import zipfile

import numpy as np

import mujoco

from .outputs import atomic_output
from .robot import MEMBERS, ClipError, joint_limits
from .robot import tables as robot_tables

# Thresholds of `inspect`.
QUAT_NORM_TOL = 1e-4      # | |q| - 1 |
LIMIT_TOL = 1e-4          # rad beyond a joint limit
VEL_REL_TOL = 0.1         # residual RMS against finite differences, relative
VEL_ABS_TOL = 0.05        # ... plus this much (rad/s or m/s)
FK_TOL = 0.01             # m between stored body positions and the model's


def clip_path(root, name):
    return os.path.join(str(root), "assets", "motion_npz", name + ".npz")


def write_clip(path, clip):
    """Write a clip archive atomically, so no reader ever sees a
    half-written clip."""
    path = str(path)
    with atomic_output(path) as tmp, open(tmp, "wb") as f:
        np.savez(f, **clip)
    return path


def _member_dtype(archive, name):
    """The dtype in a member's .npy header, or None if it is not an array."""
    with archive.open(name) as f:
        try:
            version = np.lib.format.read_magic(f)
            if version == (1, 0):
                return np.lib.format.read_array_header_1_0(f)[2]
            if version == (2, 0):
                return np.lib.format.read_array_header_2_0(f)[2]
            return None
        except ValueError:
            return None


def read_clip(path):
    """The clip's arrays. A file that is not a zip archive of NumPy arrays,
    or that holds object arrays (which would need unpickling), is refused
    with a ClipError that says what it is: clips hold numbers only."""
    path = str(path)
    with open(path, "rb") as f:
        if not zipfile.is_zipfile(f):
            raise ClipError(f"{path} is not a clip archive (not a zip file)")
    try:
        with zipfile.ZipFile(path) as archive:
            names = archive.namelist()
            dtypes = {n: _member_dtype(archive, n) for n in names}
    except (zipfile.BadZipFile, OSError, EOFError) as e:
        raise ClipError(f"{path} is not a clip archive (a damaged zip file: {e})") from None
    strays = [n for n, d in dtypes.items() if d is None]
    if strays:
        raise ClipError(f"{path} is not a clip archive: {', '.join(strays)} "
                        f"{'is not a NumPy array' if len(strays) == 1 else 'are not NumPy arrays'}")
    objects = [n.removesuffix(".npy") for n, d in dtypes.items() if d.hasobject]
    if objects:
        raise ClipError(f"{path} holds object arrays ({', '.join(objects)}); refused: clips hold numbers only")
    try:
        with np.load(path, allow_pickle=False) as archive:
            return {k: archive[k] for k in archive.files}
    except (ValueError, zipfile.BadZipFile, EOFError) as e:
        raise ClipError(f"{path} is not a clip archive (a damaged member: {e})") from None


def load_clip(path):
    """read_clip, refusing an archive without the clip's arrays (named)."""
    clip = read_clip(path)
    missing = [m for m in MEMBERS if m not in clip]
    if missing:
        raise ClipError(f"{path} is not a clip archive: it lacks the clip's arrays {', '.join(missing)}"
                        if len(missing) == len(MEMBERS) else f"{path} lacks the clip's arrays {', '.join(missing)}")
    return clip


def recorded_model(clip):
    """(name, fingerprint) of the model a clip was recorded on, or None for
    a clip written before clips named their model."""
    try:
        return str(clip["model_name"][()]), str(clip["model_fingerprint"][()])
    except (KeyError, IndexError, TypeError, ValueError):
        return None


def model_mismatch(clip, model, tables=None):
    """The one warning line for a clip recorded on a model of another
    kinematic tree than `model`'s (None when they agree or the clip does
    not say)."""
    from .usermodel import fingerprint, model_name
    recorded = recorded_model(clip)
    if recorded is None:
        return None
    current = fingerprint(model, tables)
    if recorded[1] == current:
        return None
    return (f"recorded on {recorded[0]} (fingerprint {recorded[1]}), not on the model in use, "
            f"{model_name(model)} (fingerprint {current}): its body positions are that model's")


def clip_model_warning(path, model, tables=None):
    """model_mismatch for a clip file ("<file>: ..."), None when the file
    agrees, does not say or cannot be read (its reader reports that)."""
    try:
        with np.load(str(path), allow_pickle=False) as archive:
            clip = {k: archive[k] for k in ("model_name", "model_fingerprint") if k in archive.files}
    except Exception:  # an unreadable clip is its reader's to report
        return None
    line = model_mismatch(clip, model, tables)
    return f"{os.path.basename(str(path))}: {line}" if line else None


def finite_difference_ang_vel(quat_wxyz, dt):
    """World angular velocities from orientations (T, ..., 4) [w, x, y, z]:
    central differences, one-sided at the ends. The rotation vector of
    q[t+1] * q[t-1]^-1 over its time span, as Rotation.as_rotvec gives it,
    in plain NumPy (four times faster than scipy's Rotation on a clip)."""
    n = quat_wxyz.shape[0]
    q = np.asarray(quat_wxyz, dtype=np.float64).reshape(n, -1, 4)
    with np.errstate(divide="ignore", invalid="ignore"):     # a zero quaternion gives NaN
        q = q / np.linalg.norm(q, axis=-1, keepdims=True)
    a = np.maximum(np.arange(n) - 1, 0)
    b = np.minimum(np.arange(n) + 1, n - 1)
    wa, va = q[a, :, :1], -q[a, :, 1:]              # q[a]^-1
    wb, vb = q[b, :, :1], q[b, :, 1:]
    w = wb * wa - np.sum(vb * va, axis=-1, keepdims=True)
    v = wb * va + wa * vb + np.cross(vb, va)
    v = np.where(w < 0, -v, v)                      # the shorter way round
    w = np.abs(w)
    s = np.linalg.norm(v, axis=-1, keepdims=True)
    angle = 2.0 * np.arctan2(s, w)
    scale = np.where(s > 0, angle / np.where(s > 0, s, 1.0), 2.0)     # angle / s, 2 at s = 0
    step = v * scale
    return (step / ((b - a) * dt)[:, None, None]).reshape(quat_wxyz.shape[:-1] + (3,))


def _velocity_residual(vel, fd):
    rms = float(np.sqrt(np.mean((vel - fd) ** 2)))
    bound = VEL_REL_TOL * float(np.sqrt(np.mean(fd ** 2))) + VEL_ABS_TOL
    return rms, bound


def inspect_clip(path, model=None, tables=None):
    """(lines, problems): a description of the clip and the list of what is
    wrong with it (empty for a good clip)."""
    tables = tables or robot_tables()
    lines, problems = [], []
    try:
        clip = read_clip(path)
    except ClipError as e:
        return [f"{path}"], [f"cannot read the clip: {e}"]
    except Exception as e:  # any unreadable file is reported, not raised
        return [f"{path}"], [f"cannot read the clip: {type(e).__name__}: {e}"]

    missing = [m for m in MEMBERS if m not in clip]
    if len(missing) == len(MEMBERS):
        return [f"{path}"], [f"{path} is not a clip archive: it lacks the clip's arrays {', '.join(missing)}"]
    for m in missing:
        problems.append(f"missing member {m!r}")
    fps = None
    if "fps" in clip:
        f = clip["fps"]
        if f.size == 1 and np.issubdtype(f.dtype, np.number) and np.isfinite(f).all() and float(f.ravel()[0]) > 0:
            fps = float(f.ravel()[0])
        else:
            problems.append(f"fps must be one positive number, got {f!r}")
    frames = clip["joint_pos"].shape[0] if "joint_pos" in clip and clip["joint_pos"].ndim else 0
    head = f"{path}: {frames} frames"
    if fps:
        head += f", {frames / fps:.2f} s at {fps:g} fps"
    lines.append(head)
    lines.append(f"  {'member':<18}{'shape':<16}dtype")
    stamp = ("model_name", "model_fingerprint")
    for k, a in clip.items():
        note = "" if k in MEMBERS else "  (the clip's model)" if k in stamp else "  (not used)"
        lines.append(f"  {k:<18}{str(a.shape):<16}{a.dtype}" + note)
    recorded = recorded_model(clip)
    mismatch = model_mismatch(clip, model, tables) if model is not None else None
    if recorded is None:
        lines.append("  model not recorded (a clip from before clips named their model)")
    elif mismatch:
        lines.append(f"  warn  {mismatch}")
    else:
        lines.append(f"  model {recorded[0]}, kinematic fingerprint {recorded[1]}"
                     + (" (the model in use)" if model is not None else ""))

    joints, bodies = len(tables.target_names_joint), len(tables.target_names)
    expect = {"joint_pos": (frames, joints), "joint_vel": (frames, joints),
              "body_pos_w": (frames, bodies, 3), "body_quat_w": (frames, bodies, 4),
              "body_lin_vel_w": (frames, bodies, 3), "body_ang_vel_w": (frames, bodies, 3)}
    shaped = True
    for k, shape in expect.items():
        if k not in clip:
            shaped = False
        elif clip[k].shape != shape or not np.issubdtype(clip[k].dtype, np.number):
            problems.append(f"{k} has shape {clip[k].shape} and dtype {clip[k].dtype}, "
                            f"expected {shape} numbers")
            shaped = False
    if not shaped or frames == 0:
        if shaped:
            problems.append("the clip has no frames")
        return lines, problems

    arrays = {k: np.asarray(clip[k], dtype=np.float64) for k in expect}
    nonfinite = {k: int((~np.isfinite(a)).sum()) for k, a in arrays.items()}
    if any(nonfinite.values()):
        problems += [f"{k}: {n} non-finite values" for k, n in nonfinite.items() if n]
        return lines, problems
    lines.append("  ok    finite values")

    norm_err = np.abs(np.linalg.norm(arrays["body_quat_w"], axis=-1) - 1.0)
    t, b = np.unravel_index(np.argmax(norm_err), norm_err.shape)
    if norm_err[t, b] > QUAT_NORM_TOL:
        problems.append(f"body_quat_w is not unit: |norm - 1| = {norm_err[t, b]:.3g} at frame {t}, "
                        f"body {tables.target_names[b]}")
    else:
        lines.append(f"  ok    unit quaternions (max |norm - 1| {norm_err.max():.1e})")

    lo, hi = joint_limits(tables)
    q = arrays["joint_pos"]
    over = np.maximum(lo - q, q - hi)
    t, j = np.unravel_index(np.argmax(over), over.shape)
    if over[t, j] > LIMIT_TOL:
        problems.append(f"joint limits: {tables.target_names_joint[j]} = {q[t, j]:.4f} rad at frame {t}, "
                        f"range [{lo[j]:.4f}, {hi[j]:.4f}] ({int((over > LIMIT_TOL).any(axis=1).sum())} frames out)")
    else:
        lines.append(f"  ok    joint limits (closest margin {-over.max():.3f} rad, {tables.target_names_joint[j]})")

    if fps and frames >= 3:
        dt = 1.0 / fps
        for label, vel, fd, unit in (
                ("joint velocities", arrays["joint_vel"], np.gradient(q, dt, axis=0), "rad/s"),
                ("body linear velocities", arrays["body_lin_vel_w"],
                 np.gradient(arrays["body_pos_w"], dt, axis=0), "m/s"),
                ("body angular velocities", arrays["body_ang_vel_w"],
                 finite_difference_ang_vel(arrays["body_quat_w"], dt), "rad/s")):
            rms, bound = _velocity_residual(vel, fd)
            if rms > bound:
                problems.append(f"{label} disagree with finite differences of the positions: "
                                f"residual RMS {rms:.3g} {unit}, allowed {bound:.3g}")
            else:
                lines.append(f"  ok    {label} match finite differences (residual RMS {rms:.1e} {unit})")

    if model is not None:
        err = kinematics_error(model, tables, arrays)
        if err > FK_TOL:
            why = "the other model's kinematics, see above" if mismatch else \
                "recorded on another model, or joint columns out of order"
            lines.append(f"  note  body positions differ from the model by up to {err:.3f} m: {why}")
        else:
            lines.append(f"  ok    body poses match the model's kinematics (max {err:.1e} m)")
    lines.append("  see   trackscope-clip check for physical plausibility (floor contact, "
                 "self-collision, balance)")
    return lines, problems


def kinematics_error(model, tables, clip):
    """Largest distance between the clip's body positions and MuJoCo's
    kinematics of the clip's base pose and joint angles."""
    from .recording import clip_qpos
    from .robot import RobotIndex
    data = mujoco.MjData(model)
    bodies = RobotIndex(model, tables).bodies
    worst = 0.0
    for t, qpos in enumerate(clip_qpos(clip, tables, model)):
        data.qpos[:] = qpos
        mujoco.mj_kinematics(model, data)
        worst = max(worst, float(np.abs(data.xpos[bodies] - clip["body_pos_w"][t]).max()))
    return worst
