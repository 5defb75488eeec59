"""Names and paths the commands need before anything heavy is imported
(the extension imports torch and MuJoCo): the model files, the built-in
motions and the reader layouts."""

import dataclasses
import os

MODEL_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "models")
MODEL_PATH = os.path.join(MODEL_DIR, "humanoid.xml")
#: Environment variable naming the default model in place of the package's.
MODEL_ENV = "TRACKSCOPE_MODEL"


def model_path(path=None):
    """The model a command uses: `path` (its --model), else $TRACKSCOPE_MODEL,
    else the package's."""
    return path or os.environ.get(MODEL_ENV) or MODEL_PATH

BUILTIN = ("stand", "squat_turn", "step_in_place")

HEADERLESS_FPS = 30.0

# What the worker processes of `convert` and `check` (--dynamic adding its
# own) import: loaded once by their fork server (dataset.worker_context).
CONVERT_MODULES = ("trackscope_tools.dataset", "trackscope_tools.usermodel", "trackscope_tools.readers",
                   "trackscope_tools.recording", "trackscope_tools.clipfile")
CHECK_MODULES = ("trackscope_tools.plausibility", "trackscope_tools.usermodel", "trackscope_tools.clipfile")
DYNAMIC_MODULES = ("trackscope", "trackscope_tools.controllers.wbc.feasibility")

# Motion file extensions and the reader each selects.
EXTENSIONS = {".csv": "csv", ".npy": "npy", ".pkl": "pickle", ".pickle": "pickle"}


@dataclasses.dataclass(frozen=True)
class Layout:
    name: str               # value of --layout
    label: str              # how the detection line names it
    quat_layout: str        # default base quaternion order (None: named columns)
    fps: float              # default frame rate (None: from the file or --fps)


LAYOUTS = {layout.name: layout for layout in (
    Layout("named-csv", "named-column CSV", None, None),
    Layout("headerless-csv", "headerless 36-column CSV", "xyzw", HEADERLESS_FPS),
    Layout("npy", ".npy array", "wxyz", None),
    Layout("pickle", "retargeting pickle", "xyzw", None),
)}
