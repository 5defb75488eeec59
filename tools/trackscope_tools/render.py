"""Rendering: TrackscopeDrawer markers in MuJoCo scenes, offscreen frames,
the video, the contact sheet and the live viewer."""

import os
import time

import numpy as np

import mujoco
import trackscope

from .gl import GL_MISSING
from .outputs import AtomicOutput, atomic_output

REFERENCE, SIMULATED = 0, 1                 # TrackscopeDrawer humanoid ids
ARROW_RGBA = {REFERENCE: [1.0, 0.35, 0.2, 1.0], SIMULATED: [0.2, 0.85, 0.35, 1.0]}
ARROW_LIFT = 0.52                           # m above the anchor body, clear of the head


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


def draw(clip, model, record, mode, steps, frames=None, sink=None, live=None, progress=None):
    """Show recorded ticks: the model in its recorded state, the reference
    bodies red and (tracking) the simulated bodies green through
    TrackscopeDrawer, and an arrow for each anchor heading. Every
    `frames.every`-th tick is rendered and handed to sink(step, image)."""
    env = clip.env
    data = mujoco.MjData(model)
    markers = MarkerScene()
    drawer = trackscope.TrackscopeDrawer(markers)
    looked = False
    for step in steps:
        env.update_time_steps(step)
        body_pos, body_quat = env.body_pos_w, env.body_quat_w
        data.qpos[:] = record["qpos"][step]
        mujoco.mj_kinematics(model, data)
        mark(drawer, markers, clip, body_pos, body_quat, data, mode)
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


def mark(drawer, markers, clip, body_pos, body_quat, data, mode):
    """Markers of one tick: reference bodies (clip rows) and, unless
    kinematic, the simulated ones, each with its anchor's heading arrow."""
    heading = np.array([0.35, 0.0, 0.0])
    lift = np.array([0.0, 0.0, ARROW_LIFT])
    markers.clear()
    drawer.update_rg_view(body_pos[clip.tracked], body_quat[clip.tracked], REFERENCE)
    drawer.draw_arrow(body_pos[clip.anchor_row] + lift, body_quat[clip.anchor_row][[1, 2, 3, 0]],
                      heading, ARROW_RGBA[REFERENCE], horizontal_only=True, id=REFERENCE)
    if mode != "kinematic":
        drawer.update_rg_view(data.xpos[clip.tracked_ids], data.xquat[clip.tracked_ids], SIMULATED)
        drawer.draw_arrow(data.xpos[clip.anchor_id] + lift, data.xquat[clip.anchor_id][[1, 2, 3, 0]],
                          heading, ARROW_RGBA[SIMULATED], horizontal_only=True, id=SIMULATED)


def annotate(image, text):
    from PIL import Image, ImageDraw
    img = Image.fromarray(image)
    draw = ImageDraw.Draw(img)
    draw.rectangle([0, 0, img.width, 18], fill=(0, 0, 0))
    draw.text((6, 3), text, fill=(255, 255, 255))
    return np.asarray(img)


def caption(clip, step, mode):
    legend = "red: reference" if mode == "kinematic" else "red: reference, green: simulated"
    return f"{clip.name}  t = {step * clip.env.control_dt:.2f} s  {mode}; {legend}"


class VideoSink:
    """Captions rendered frames and streams them to a video: MP4 through
    imageio's ffmpeg plugin, or an animated GIF without it. Keeps the frames
    chosen for the contact sheet. The video is written under a temporary
    name: `close()` puts it in place, `discard()` removes it."""

    def __init__(self, path, fps, mode, count, sheet):
        import imageio.v2 as imageio
        try:
            import imageio_ffmpeg  # noqa: F401
            self.output = AtomicOutput(path)
            options, self.scale = dict(fps=fps, codec="libx264", quality=7, pixelformat="yuv420p",
                                       macro_block_size=8), 1
        except ImportError:
            self.output = AtomicOutput(os.path.splitext(path)[0] + ".gif")
            options, self.scale = dict(mode="I", duration=1000 / fps, loop=0), 2
        try:
            self.writer = imageio.get_writer(self.output.tmp, **options)
        except BaseException:
            self.output.discard()
            raise
        self.path = self.output.path
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
        try:
            self.writer.close()
        except BaseException:
            self.output.discard()
            raise
        self.output.commit()

    def discard(self):
        try:
            self.writer.close()
        except Exception:   # the stream is abandoned; its writer's last words do not matter
            pass
        finally:
            self.output.discard()


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
    with atomic_output(path) as tmp:
        sheet.save(tmp, format="PNG")
    return path


# Keys of the live view (GLFW key codes): pause, run the clip again from its
# first frame, let the gantry's band go.
KEY_PAUSE, KEY_RESET, KEY_RELEASE = 32, 259, ord("G")      # space, backspace, G
LIVE_KEYS = "space: pause/resume, backspace: reset the clip, G: release the gantry"


class LiveKeys:
    """Key presses of the live view, read by the loop at the next tick."""

    def __init__(self):
        self.paused = self.reset = self.release = False

    def __call__(self, keycode):
        if keycode == KEY_PAUSE:
            self.paused = not self.paused
        elif keycode == KEY_RESET:
            self.reset = True
        elif keycode == KEY_RELEASE:
            self.release = True

    def answer(self, sim):
        """What the loop does after this tick: "reset" or None; a release
        lets the band go."""
        if self.release:
            self.release = False
            sim.release()
        if self.reset:
            self.reset = False
            return "reset"
        return None


class LiveView:
    """Shows ticks in MuJoCo's passive viewer, at real time. As a loop's
    `watch` it shows each simulated tick with its markers and answers the
    keys of `LIVE_KEYS`."""

    def __init__(self, model, mode="tracking", viewer=None):
        self.model = model
        self.mode = mode
        self.shown = mujoco.MjData(model)
        self.keys = LiveKeys()
        if viewer is None:
            from mujoco import viewer as passive
            viewer = passive.launch_passive
        self.handle = viewer(model, self.shown, key_callback=self.keys)
        self.next = time.perf_counter()
        self.markers = MarkerScene()
        self.drawer = trackscope.TrackscopeDrawer(self.markers)

    def watch(self, sim, step):
        ref = sim.ref
        mark(self.drawer, self.markers, sim.clip, ref.body_pos, ref.body_quat, sim.data, self.mode)
        self(sim.data, self.markers, sim.env.control_dt)
        while self.keys.paused and not self.keys.reset and self.handle.is_running():
            self(sim.data, self.markers, sim.env.control_dt)
        return self.keys.answer(sim)

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
