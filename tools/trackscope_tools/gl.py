"""MuJoCo's OpenGL backend, chosen before `mujoco` is imported.

MuJoCo reads MUJOCO_GL once, when it is imported, so a command that renders
must set it first; importing `trackscope` imports MuJoCo too.
"""

import os
import subprocess
import sys

GL_PROBE = "import mujoco; c = mujoco.GLContext(16, 16); c.make_current(); c.free()"
GL_MISSING = ("no OpenGL for offscreen rendering: install EGL (Debian: apt-get install "
              "libegl1 libgl1-mesa-dri) or OSMesa (apt-get install libosmesa6), "
              "or run with --no-render")
DISABLED = ("disable", "disabled", "off")


def offscreen_backend():
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


def choose(live=False, render=True):
    """Set MUJOCO_GL for this process unless the caller set it or MuJoCo is
    already imported (then its choice stands)."""
    if os.environ.get("MUJOCO_GL") or "mujoco" in sys.modules:
        return
    if live:
        os.environ["MUJOCO_GL"] = "glfw"
    elif render:
        os.environ["MUJOCO_GL"] = offscreen_backend() or "disable"


def disabled():
    return os.environ.get("MUJOCO_GL", "").lower() in DISABLED
