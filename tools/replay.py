#!/usr/bin/env python3
"""Replay motion clips through Wbt_env at the control rate and show them.

For every clip: construct Wbt_env on it, reset(), and per 20 ms control tick
call update_time_steps and read the command and the anchor pose, as a
controller does. Then, in

  tracking mode (default)  simulate the robot in MuJoCo at sim_dt with
      sim_decimation physics steps per tick; joint torques are
      kp * (q_ref - q) + kd * (qd_ref - qd), clipped to the effort limits, with
      the gains and limits of the environment's tables. No balance controller
      exists here: the pelvis is welded to a mocap body that follows the
      reference base (models/tracking.xml).
  kinematic mode  pose the model from the reference.

Reference bodies are drawn red and simulated bodies green (TrackscopeDrawer,
humanoid ids 0 and 1), with an arrow for each anchor heading. Writes into
--out: replay.mp4 (or replay.gif without ffmpeg), contact_sheet.png,
tracking_error.png and summary.json, and prints the summary.
"""

import os
import subprocess
import sys

GL_PROBE = "import mujoco; c = mujoco.GLContext(16, 16); c.make_current(); c.free()"
GL_MISSING = ("no OpenGL for offscreen rendering: install EGL (Debian: apt-get install "
              "libegl1 libgl1-mesa-dri) or OSMesa (apt-get install libosmesa6), "
              "or run with --no-render")


def gl_backend():
    """MUJOCO_GL to render with: the caller's choice, else the first of egl
    and osmesa that opens a context (probed in a child process), else None."""
    if os.environ.get("MUJOCO_GL"):
        return os.environ["MUJOCO_GL"]
    for name in ("egl", "osmesa"):
        env = dict(os.environ, MUJOCO_GL=name)
        try:
            probe = subprocess.run([sys.executable, "-c", GL_PROBE], env=env, timeout=120,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        except (OSError, subprocess.TimeoutExpired):
            continue
        if probe.returncode == 0:
            return name
    return None


# MuJoCo fixes its OpenGL backend when it is imported, so choose it first.
if __name__ == "__main__" and not os.environ.get("MUJOCO_GL"):
    if "--live" in sys.argv[1:]:
        os.environ["MUJOCO_GL"] = "glfw"
    elif not {"--no-render", "-h", "--help"} & set(sys.argv[1:]):
        os.environ["MUJOCO_GL"] = gl_backend() or "disable"

import argparse  # noqa: E402
import json  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402
from scipy.spatial.transform import Rotation  # noqa: E402
from tqdm import tqdm  # noqa: E402

import mujoco  # noqa: E402
import trackscope  # noqa: E402
from motion_env_wbt import Wbt_env  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MODEL_DIR = os.path.join(ROOT, "models")
REFERENCE, SIMULATED = 0, 1                 # TrackscopeDrawer humanoid ids
ARROW_RGBA = {REFERENCE: [1.0, 0.35, 0.2, 1.0], SIMULATED: [0.2, 0.85, 0.35, 1.0]}
ARROW_LIFT = 0.52                           # m above the anchor body, clear of the head
JOINT_GROUPS = ("legs", "waist", "arms")


def joint_group(name):
    if "waist" in name:
        return "waist"
    if any(part in name for part in ("shoulder", "elbow", "wrist")):
        return "arms"
    return "legs"


# ----------------------------------------------------------------- viewer

class MarkerScene:
    """The viewer TrackscopeDrawer draws into: keeps markers by id (a later
    marker with the same id replaces the earlier one) and writes them as
    geoms into a MuJoCo scene. Markers with ids in `ghost_ids` (by default
    the spheres of humanoid 0, the reference) are drawn translucent, so
    bodies that coincide with them show through."""

    def __init__(self, ghost_ids=range(0, 1000), ghost_alpha=0.4):
        self.markers = {}
        self.ghost_ids = ghost_ids
        self.ghost_alpha = ghost_alpha

    def add_marker(self, **marker):
        self.markers[marker.get("id", len(self.markers))] = marker

    def clear(self):
        self.markers.clear()

    def draw(self, scene):
        """Append the markers to an mjvScene; returns how many fitted."""
        drawn = 0
        for marker_id, marker in self.markers.items():
            if scene.ngeom >= scene.maxgeom:
                break
            size = np.broadcast_to(np.asarray(marker.get("size", 0.05), dtype=np.float64), (3,))
            mat = np.asarray(marker.get("mat", np.eye(3)), dtype=np.float64).reshape(9)
            rgba = np.array(marker.get("rgba", (1, 1, 1, 1)), dtype=np.float32)
            if marker_id in self.ghost_ids:
                rgba[3] *= self.ghost_alpha
            geom = scene.geoms[scene.ngeom]
            mujoco.mjv_initGeom(geom, int(marker["type"]), size.copy(),
                                np.asarray(marker["pos"], dtype=np.float64).reshape(3), mat, rgba)
            geom.label = str(marker.get("label", ""))
            scene.ngeom += 1
            drawn += 1
        return drawn


class Frames:
    """Offscreen renderer with a fixed camera per clip."""

    def __init__(self, model, width, height, every=1):
        self.every = every
        try:
            self.renderer = mujoco.Renderer(model, height, width)
        except Exception as e:
            raise RuntimeError(f"{GL_MISSING} ({type(e).__name__}: {e})") from None
        self.camera = mujoco.MjvCamera()
        self.camera.type = mujoco.mjtCamera.mjCAMERA_FREE
        self.camera.distance = 2.5
        self.camera.elevation = -10.0
        self.camera.azimuth = 125.0
        self.option = mujoco.MjvOption()
        self.option.geomgroup[:] = 1

    def look_at(self, point):
        self.camera.lookat[:] = point

    def render(self, data, markers):
        self.renderer.update_scene(data, camera=self.camera, scene_option=self.option)
        markers.draw(self.renderer.scene)
        return self.renderer.render()

    def close(self):
        self.renderer.close()


# ---------------------------------------------------------------- replay

class JointMap:
    """The model's joints against the environment's joint order, through the
    environment's own index maps."""

    def __init__(self, model, env):
        hinges = [model.joint(i).name for i in range(1, model.njnt)]
        if hinges != list(env.orig_names_joint):
            raise RuntimeError("model joints are not in the order of orig_names_joint")
        actuated = [model.actuator_trnid[a, 0] for a in range(model.nu)]
        if actuated != list(range(1, model.njnt)):
            raise RuntimeError("model actuators do not follow the joint order")
        self.qadr = model.jnt_qposadr[1:]
        self.dadr = model.jnt_dofadr[1:]
        self.to_target = np.asarray(env.target_indices_joint)   # model order -> clip order
        self.to_model = np.asarray(env.target_indices_action)   # clip order -> model order
        self.names = list(env.target_names_joint)

    def q(self, data):
        return data.qpos[self.qadr][self.to_target]

    def qd(self, data):
        return data.qvel[self.dadr][self.to_target]


def set_state(model, data, jmap, base_pos, base_quat, lin_vel, ang_vel, q, qd):
    """Robot state from a reference frame (base pose [w, x, y, z], world
    velocities of the pelvis origin, joints in clip order)."""
    data.qpos[:3] = base_pos
    data.qpos[3:7] = base_quat
    data.qpos[jmap.qadr] = q[jmap.to_model]
    rot = Rotation.from_quat(np.asarray(base_quat)[[1, 2, 3, 0]])
    data.qvel[:3] = lin_vel
    data.qvel[3:6] = rot.inv().apply(ang_vel)   # free joint: body-frame angular velocity
    data.qvel[jmap.dadr] = qd[jmap.to_model]
    if model.nmocap:
        data.mocap_pos[0] = base_pos
        data.mocap_quat[0] = base_quat


def quat_angle_xyzw(a, b):
    return float((Rotation.from_quat(a).inv() * Rotation.from_quat(b)).magnitude())


def clip_frames(env):
    return int(getattr(env, f"{env.file}_time_step_total"))


class Clip:
    """A Wbt_env with the model-side facts the replay needs."""

    def __init__(self, env, model):
        self.env = env
        self.name = env.file
        self.frames = clip_frames(env)
        self.joints = JointMap(model, env)
        self.tracked = np.asarray(env.body_index)                       # clip rows drawn
        self.tracked_ids = np.asarray(env.target_indices)[self.tracked]  # the same bodies in the model
        self.anchor_row = env.body_index[env.motion_anchor_body_index[0]]
        self.anchor_id = env.target_indices[self.anchor_row]
        self.pelvis_row = env.target_names.index("pelvis")


def track(clip, model, mode):
    """Step through the clip at the control rate as a controller does, and
    simulate (tracking) or pose (kinematic) the robot. Returns the record:
    the state at the start of every tick, errors against that tick's
    reference, query latencies, torque saturation."""
    env, jmap = clip.env, clip.joints
    env.reset()
    total = clip.frames
    kp = np.asarray(env.kp, dtype=np.float64)
    kd = np.asarray(env.kd, dtype=np.float64)
    limit = np.asarray(env.effort_limit, dtype=np.float64)[0]
    data = mujoco.MjData(model)
    record = {"name": clip.name, "frames": total, "seconds": total * env.control_dt,
              "joint_names": jmap.names, "qpos": np.zeros((total, model.nq)),
              "joint_err": np.zeros((total, len(jmap.names))), "anchor_pos_err": np.zeros(total),
              "anchor_heading_err": np.zeros(total), "body_pos_err": np.zeros(total),
              "latency_ns": np.zeros(total, dtype=np.int64), "saturated": np.zeros(len(jmap.names))}
    row = clip.pelvis_row
    for step in range(total):
        start = time.perf_counter_ns()
        env.update_time_steps(step)
        command = env.command
        anchor_pos = env.anchor_pos_w
        anchor_quat = env.anchor_quat_w
        env.anchor_lim_vel_w
        env.anchor_ang_vel_w
        body_pos = env.body_pos_w
        body_quat = env.body_quat_w
        record["latency_ns"][step] = time.perf_counter_ns() - start

        q_ref, qd_ref = command[:len(kp)], command[len(kp):]
        if step == 0 or mode == "kinematic":
            set_state(model, data, jmap, body_pos[row], body_quat[row],
                      env.body_lin_vel_w[row], env.body_ang_vel_w[row], q_ref, qd_ref)
            mujoco.mj_forward(model, data)

        record["qpos"][step] = data.qpos
        record["joint_err"][step] = jmap.q(data) - q_ref
        sim_pos = env.motion_init_align.align_pos(data.xpos[clip.anchor_id][None])[0]
        sim_quat = env.motion_init_align.align_quat(data.xquat[clip.anchor_id][[1, 2, 3, 0]][None])[0]
        record["anchor_pos_err"][step] = np.linalg.norm(sim_pos - anchor_pos)
        record["anchor_heading_err"][step] = quat_angle_xyzw(sim_quat, anchor_quat)
        record["body_pos_err"][step] = np.abs(data.xpos[clip.tracked_ids] - body_pos[clip.tracked]).max()

        if mode == "tracking" and step + 1 < total:
            data.mocap_pos[0] = body_pos[row]
            data.mocap_quat[0] = body_quat[row]
            for _ in range(env.sim_decimation):
                tau = kp * (q_ref - jmap.q(data)) + kd * (qd_ref - jmap.qd(data))
                clipped = np.clip(tau, -limit, limit)
                record["saturated"] += clipped != tau
                data.ctrl[:] = clipped[jmap.to_model]
                mujoco.mj_step(model, data)
    record["saturated"] /= max((total - 1) * env.sim_decimation, 1)
    return record


def draw(clip, model, record, mode, steps, frames=None, sink=None, live=None, progress=None):
    """Show recorded ticks: the model in its recorded state, the reference
    bodies red and (tracking) the simulated bodies green through
    TrackscopeDrawer, and an arrow for each anchor heading. Every
    `frames.every`-th tick is rendered and handed to sink(step, image)."""
    env = clip.env
    data = mujoco.MjData(model)
    markers = MarkerScene()
    drawer = trackscope.TrackscopeDrawer(markers)
    heading = np.array([0.35, 0.0, 0.0])
    lift = np.array([0.0, 0.0, ARROW_LIFT])
    looked = False
    for step in steps:
        env.update_time_steps(step)
        body_pos, body_quat = env.body_pos_w, env.body_quat_w
        data.qpos[:] = record["qpos"][step]
        mujoco.mj_kinematics(model, data)
        markers.clear()
        drawer.update_rg_view(body_pos[clip.tracked], body_quat[clip.tracked], REFERENCE)
        drawer.draw_arrow(body_pos[clip.anchor_row] + lift, body_quat[clip.anchor_row][[1, 2, 3, 0]],
                          heading, ARROW_RGBA[REFERENCE], horizontal_only=True, id=REFERENCE)
        if mode == "tracking":
            drawer.update_rg_view(data.xpos[clip.tracked_ids], data.xquat[clip.tracked_ids], SIMULATED)
            drawer.draw_arrow(data.xpos[clip.anchor_id] + lift, data.xquat[clip.anchor_id][[1, 2, 3, 0]],
                              heading, ARROW_RGBA[SIMULATED], horizontal_only=True, id=SIMULATED)
        if frames is not None and step % frames.every == 0:
            if not looked:
                pelvis = body_pos[clip.pelvis_row]
                frames.look_at([pelvis[0], pelvis[1], 0.78])
                looked = True
            sink(step, frames.render(data, markers))
        if live is not None:
            live(data, markers, env.control_dt)
        if progress is not None:
            progress.update(1)


# --------------------------------------------------------------- outputs

def rms(a):
    return float(np.sqrt(np.mean(np.square(a)))) if np.size(a) else 0.0


def summarize(records, mode, model_path, out_files):
    clips = []
    latency = np.concatenate([r["latency_ns"] for r in records]) / 1000.0
    for r in records:
        err = r["joint_err"]
        per_joint = {n: {"rms_rad": rms(err[:, k]), "max_rad": float(np.abs(err[:, k]).max(initial=0))}
                     for k, n in enumerate(r["joint_names"])}
        worst = max(per_joint, key=lambda n: per_joint[n]["rms_rad"])
        clips.append({
            "name": r["name"], "frames": r["frames"], "seconds": round(r["seconds"], 6),
            "joint_rms_rad": rms(err), "joint_max_rad": float(np.abs(err).max(initial=0)),
            "worst_joint": {"name": worst, **per_joint[worst]},
            "anchor_pos_rms_m": rms(r["anchor_pos_err"]),
            "anchor_pos_max_m": float(r["anchor_pos_err"].max(initial=0)),
            "anchor_heading_max_rad": float(r["anchor_heading_err"].max(initial=0)),
            "body_pos_max_m": float(r["body_pos_err"].max(initial=0)),
            "torque_saturated_fraction": {n: float(s) for n, s in zip(r["joint_names"], r["saturated"]) if s},
            "per_joint": per_joint,
        })
    all_err = np.concatenate([r["joint_err"] for r in records])
    all_anchor = np.concatenate([r["anchor_pos_err"] for r in records])
    return {
        "mode": mode, "model": os.path.relpath(model_path, ROOT),
        "mujoco": mujoco.__version__,
        "clips": clips,
        "frames": int(sum(r["frames"] for r in records)),
        "seconds": round(float(sum(r["seconds"] for r in records)), 6),
        "joint_rms_rad": rms(all_err), "joint_max_rad": float(np.abs(all_err).max(initial=0)),
        "anchor_pos_rms_m": rms(all_anchor), "anchor_pos_max_m": float(all_anchor.max(initial=0)),
        "query_latency_us": {
            "median": float(np.median(latency)) if latency.size else 0.0,
            "p99": float(np.percentile(latency, 99)) if latency.size else 0.0,
            "ticks": int(latency.size),
            "queries": ["update_time_steps", "command", "anchor_pos_w", "anchor_quat_w",
                        "anchor_lim_vel_w", "anchor_ang_vel_w", "body_pos_w", "body_quat_w"],
        },
        "outputs": out_files,
    }


def print_summary(summary, stream=None):
    p = lambda *a: print(*a, file=stream or sys.stdout)  # noqa: E731
    p(f"trackscope replay, {summary['mode']} mode (MuJoCo {summary['mujoco']}, {summary['model']})")
    p(f"{'clip':<14}{'frames':>7}{'seconds':>9}{'joint RMS':>12}{'joint max':>12}"
      f"{'anchor RMS':>12}{'anchor max':>12}  worst joint (RMS)")
    for c in summary["clips"]:
        w = c["worst_joint"]
        p(f"{c['name']:<14}{c['frames']:>7}{c['seconds']:>9.2f}{c['joint_rms_rad']:>8.4f} rad"
          f"{c['joint_max_rad']:>8.4f} rad{c['anchor_pos_rms_m'] * 1000:>9.1f} mm"
          f"{c['anchor_pos_max_m'] * 1000:>9.1f} mm  {w['name']} ({w['rms_rad']:.4f} rad)")
    p(f"{'all':<14}{summary['frames']:>7}{summary['seconds']:>9.2f}{summary['joint_rms_rad']:>8.4f} rad"
      f"{summary['joint_max_rad']:>8.4f} rad{summary['anchor_pos_rms_m'] * 1000:>9.1f} mm"
      f"{summary['anchor_pos_max_m'] * 1000:>9.1f} mm")
    if summary["mode"] == "kinematic":
        worst = max(c["body_pos_max_m"] for c in summary["clips"])
        p(f"posed model against the clip's body positions: max {worst:.1e} m")
    lat = summary["query_latency_us"]
    p(f"Wbt_env queries per control tick: median {lat['median']:.1f} us, p99 {lat['p99']:.1f} us "
      f"over {lat['ticks']} ticks")
    for kind, path in summary["outputs"].items():
        p(f"{kind}: {path}")


def annotate(image, text):
    from PIL import Image, ImageDraw
    img = Image.fromarray(image)
    draw = ImageDraw.Draw(img)
    draw.rectangle([0, 0, img.width, 18], fill=(0, 0, 0))
    draw.text((6, 3), text, fill=(255, 255, 255))
    return np.asarray(img)


def caption(clip, step, mode):
    legend = "red: reference, green: simulated" if mode == "tracking" else "red: reference"
    return f"{clip.name}  t = {step * clip.env.control_dt:.2f} s  {mode}; {legend}"


class VideoSink:
    """Captions rendered frames and streams them to a video: MP4 through
    imageio's ffmpeg plugin, or an animated GIF without it. Keeps the frames
    chosen for the contact sheet."""

    def __init__(self, path, fps, mode, count, sheet):
        import imageio.v2 as imageio
        try:
            import imageio_ffmpeg  # noqa: F401
            self.path = path
            self.writer = imageio.get_writer(path, fps=fps, codec="libx264", quality=7,
                                             pixelformat="yuv420p", macro_block_size=8)
            self.scale = 1
        except ImportError:
            self.path = os.path.splitext(path)[0] + ".gif"
            self.writer = imageio.get_writer(self.path, mode="I", duration=1000 / fps, loop=0)
            self.scale = 2
        self.mode = mode
        self.picks = set(np.linspace(0, count - 1, min(sheet, count)).round().astype(int).tolist())
        self.sheet = []
        self.count = 0
        self.clip = None

    def __call__(self, step, image):
        text = caption(self.clip, step, self.mode)
        self.writer.append_data(annotate(image, text)[::self.scale, ::self.scale])
        if self.count in self.picks:
            self.sheet.append((image, text))
        self.count += 1

    def close(self):
        self.writer.close()


def write_contact_sheet(path, tiles, columns=4):
    """Grid of frames at half size, each captioned."""
    from PIL import Image
    small = [Image.fromarray(annotate(np.asarray(Image.fromarray(im).reduce(2)), text))
             for im, text in tiles]
    w, h = small[0].size
    rows = -(-len(small) // columns)
    sheet = Image.new("RGB", (w * columns, h * rows), (20, 20, 20))
    for i, im in enumerate(small):
        sheet.paste(im, ((i % columns) * w, (i // columns) * h))
    sheet.save(path)
    return path


def write_plot(path, records, mode):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, axes = plt.subplots(len(records), 1, figsize=(9, 2.6 * len(records)), squeeze=False)
    for ax, r in zip(axes[:, 0], records):
        t = np.arange(r["frames"]) * 0.02
        groups = np.array([joint_group(n) for n in r["joint_names"]])
        for g in JOINT_GROUPS:
            err = r["joint_err"][:, groups == g]
            ax.plot(t, np.sqrt(np.mean(err ** 2, axis=1)), label=f"{g} RMS")
        ax.set_ylabel("joint error (rad)")
        ax.set_title(f"{r['name']} ({mode})", fontsize=10)
        ax.grid(alpha=0.3)
        twin = ax.twinx()
        twin.plot(t, r["anchor_pos_err"] * 1000, "k--", lw=0.8, label="anchor position")
        twin.set_ylabel("anchor error (mm)")
        lines = ax.get_legend_handles_labels()
        more = twin.get_legend_handles_labels()
        ax.legend(lines[0] + more[0], lines[1] + more[1], loc="upper right", fontsize=8)
    axes[-1, 0].set_xlabel("time (s)")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return path


class LiveView:
    """Shows ticks in MuJoCo's passive viewer, at real time."""

    def __init__(self, model):
        import mujoco.viewer
        self.model = model
        self.shown = mujoco.MjData(model)
        self.handle = mujoco.viewer.launch_passive(model, self.shown)
        self.next = time.perf_counter()

    def __call__(self, data, markers, dt):
        if not self.handle.is_running():
            return
        with self.handle.lock():
            self.shown.qpos[:] = data.qpos
            mujoco.mj_kinematics(self.model, self.shown)
            self.handle.user_scn.ngeom = 0
            markers.draw(self.handle.user_scn)
        self.handle.sync()
        self.next = max(self.next + dt, time.perf_counter() - dt)
        time.sleep(max(0.0, self.next - time.perf_counter()))

    def close(self):
        self.handle.close()


def clip_names(root):
    folder = os.path.join(root, "assets", "motion_npz")
    try:
        names = sorted(f[:-4] for f in os.listdir(folder) if f.endswith(".npz"))
    except FileNotFoundError:
        return []
    return sorted(names, key=lambda n: n != "stand")


def build_parser():
    parser = argparse.ArgumentParser(
        prog="replay.py", description=__doc__,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--root", default="out",
                        help="project directory holding assets/motion_npz/<clip>.npz (default: out)")
    parser.add_argument("--clips", nargs="+", metavar="NAME",
                        help="clips to replay, in order (default: every clip under --root, stand first)")
    parser.add_argument("--mode", choices=("tracking", "kinematic"), default="tracking",
                        help="tracking: PD control in simulation (default); kinematic: pose the model")
    parser.add_argument("--out", default="out", help="folder for the video, images and summary (default: out)")
    parser.add_argument("--width", type=int, default=640, help="video width in pixels (default: 640)")
    parser.add_argument("--height", type=int, default=360, help="video height in pixels (default: 360)")
    parser.add_argument("--render-every", type=int, default=2, metavar="N",
                        help="render every N-th control tick; the video plays at 50/N fps (default: 2)")
    parser.add_argument("--sheet", type=int, default=8, metavar="N",
                        help="frames on the contact sheet (default: 8)")
    parser.add_argument("--no-render", action="store_true",
                        help="no video or contact sheet (no OpenGL needed); plot and summary only")
    parser.add_argument("--live", action="store_true",
                        help="also show the replay in MuJoCo's passive viewer (needs a display)")
    return parser


def main(argv=None):
    args = build_parser().parse_args(argv)
    if args.render_every < 1 or args.sheet < 1 or args.width < 16 or args.height < 16:
        print("replay.py: error: --render-every and --sheet must be at least 1, the size at least 16",
              file=sys.stderr)
        return 2
    names = args.clips or clip_names(args.root)
    if not names:
        print(f"replay.py: error: no clips under {os.path.join(args.root, 'assets', 'motion_npz')}; "
              "write some with: python tools/clip.py builtin --root " + args.root, file=sys.stderr)
        return 1
    if args.live and not os.environ.get("DISPLAY") and not os.environ.get("WAYLAND_DISPLAY"):
        print("replay.py: error: --live needs a display", file=sys.stderr)
        return 2
    render = not args.no_render
    if render and os.environ.get("MUJOCO_GL", "").lower() in ("disable", "disabled", "off"):
        print(f"replay.py: error: {GL_MISSING}", file=sys.stderr)
        return 1

    model_path = os.path.join(MODEL_DIR, "tracking.xml" if args.mode == "tracking" else "humanoid.xml")
    model = mujoco.MjModel.from_xml_path(model_path)
    clips = []
    for name in names:
        try:
            clips.append(Clip(Wbt_env(args.root, file=name), model))
        except (OSError, KeyError, ValueError) as e:
            print(f"replay.py: error: clip {name!r} under {args.root}: {type(e).__name__}: {e}",
                  file=sys.stderr)
            return 1
    os.makedirs(args.out, exist_ok=True)

    total = sum(c.frames for c in clips)
    records = []
    with tqdm(total=total, unit="tick", desc=args.mode, leave=False) as bar:
        for clip in clips:
            bar.set_postfix_str(clip.name)
            records.append(track(clip, model, args.mode))
            bar.update(clip.frames)

    outputs = {}
    if render or args.live:
        try:
            frames = Frames(model, args.width, args.height, args.render_every) if render else None
        except RuntimeError as e:
            print(f"replay.py: error: {e}", file=sys.stderr)
            return 1
        count = sum(len(range(0, c.frames, args.render_every)) for c in clips)
        sink = VideoSink(os.path.join(args.out, "replay.mp4"), 50.0 / args.render_every,
                         args.mode, count, args.sheet) if render and count else None
        live = None
        try:
            live = LiveView(model) if args.live else None
            with tqdm(total=total, unit="tick", desc="drawing", leave=False) as bar:
                for clip, record in zip(clips, records):
                    bar.set_postfix_str(clip.name)
                    steps = range(clip.frames) if live else range(0, clip.frames, args.render_every)
                    bar.update(clip.frames - len(steps))
                    if sink is not None:
                        sink.clip = clip
                    draw(clip, model, record, args.mode, steps, frames, sink, live, bar)
        finally:
            for closing in (live, frames, sink):
                if closing is not None:
                    closing.close()
        if sink is not None:
            outputs["video"] = sink.path
            outputs["contact_sheet"] = write_contact_sheet(os.path.join(args.out, "contact_sheet.png"),
                                                           sink.sheet)
    outputs["plot"] = write_plot(os.path.join(args.out, "tracking_error.png"), records, args.mode)
    outputs["summary"] = os.path.join(args.out, "summary.json")
    summary = summarize(records, args.mode, model_path, outputs)
    with open(outputs["summary"], "w") as f:
        json.dump(summary, f, indent=2)
    print_summary(summary)
    return 0


if __name__ == "__main__":
    sys.exit(main())
