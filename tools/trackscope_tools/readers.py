"""Motion readers: user files into a `Motion` (base pose and joint angles in
the model's joint order). Every file is untrusted input: pickles are read by
an unpickler that builds nothing but NumPy arrays and plain data."""

import csv
import importlib
import io
import os
import pickle

import numpy as np

from .catalog import EXTENSIONS, HEADERLESS_FPS, LAYOUTS, Layout  # noqa: F401
from .motion import Motion
from .robot import ClipError, tables

BASE_COLUMNS = ("base_x", "base_y", "base_z",
                "base_qw", "base_qx", "base_qy", "base_qz")
HEADERLESS_WIDTH = 36           # base position 3, base quaternion 4, 29 joints
PICKLE_KEYS = ("fps", "root_pos", "root_rot", "dof_pos")
QUAT_LAYOUTS = ("wxyz", "xyzw")


def detect_layout(path):
    """The layout of a motion file: by extension, and for a CSV by whether
    its first row is all numbers."""
    kind = EXTENSIONS.get(os.path.splitext(str(path))[1].lower())
    if kind is None:
        raise ClipError(f"{path}: unknown motion file type (expected .csv, .npy, .pkl or "
                        ".pickle, or name the layout with --layout)")
    if kind != "csv":
        return kind
    try:
        with open(path, newline="", encoding="utf-8-sig") as f:
            for row in csv.reader(f):
                fields = [v for v in row if v.strip()]
                if fields:
                    return "headerless-csv" if all(_is_number(v) for v in fields) else "named-csv"
    except UnicodeDecodeError:
        raise ClipError(f"{path}: not a text file") from None
    except csv.Error as e:
        raise ClipError(f"{path}: unreadable CSV ({e})") from None
    raise ClipError(f"{path}: empty file")


def read_motion(path, fps=None, quat_layout=None, joint_names=None, layout=None):
    """A motion file into a Motion. `layout`, `quat_layout` and `fps` default
    to what the file's layout implies; see `load_motion`."""
    return load_motion(path, fps, quat_layout, joint_names, layout)[0]


def load_motion(path, fps=None, quat_layout=None, joint_names=None, layout=None):
    """(Motion, line): the motion and one line saying how the file was read.

    `layout` is detected unless given; `quat_layout` defaults to the layout's
    order (ignored by a named-column CSV, whose columns say it); `fps`
    overrides the rate of the layout or of the file, and is required where
    neither supplies one."""
    path = str(path)
    layout = layout or detect_layout(path)
    if layout not in LAYOUTS:
        raise ClipError(f"unknown layout {layout!r} (have {', '.join(LAYOUTS)})")
    layout = LAYOUTS[layout]
    if quat_layout is not None and quat_layout not in QUAT_LAYOUTS:
        raise ClipError(f"unknown quaternion layout {quat_layout!r}")
    quat_layout = quat_layout or layout.quat_layout
    if fps is not None:
        fps = _positive_rate(fps, "frame rate")
    if joint_names is None:
        joint_names = tables().orig_names_joint
    joints = len(joint_names)
    file_fps = None
    if layout.name == "named-csv":
        base, angles = _read_named_csv(path, joint_names)
    elif layout.name == "headerless-csv":
        base, angles = _read_headerless_csv(path, joints)
    elif layout.name == "npy":
        base, angles = _read_npy(path, joints)
    else:
        base, angles, file_fps = _read_pickle(path, joints, need_fps=fps is None)
    if quat_layout == "xyzw":
        base[:, 3:7] = base[:, [6, 3, 4, 5]]

    rate = fps or file_fps or layout.fps
    if rate is None:
        raise ClipError(f"{path}: a {layout.label} does not say its frame rate: give --fps")
    source = "--fps" if fps else "from the file" if file_fps else "default"
    detail = ([f"{quat_layout} quaternions"] if layout.quat_layout else []) \
        + [f"{rate:g} fps" + ("" if source == "--fps" else f" {source}")]
    line = f"reading {os.path.basename(path)} as {layout.label} ({', '.join(detail)})"
    return make_motion(path, rate, base, angles), line


def make_motion(path, fps, base, joints):
    """Validate (N, 7) base rows [x, y, z, qw, qx, qy, qz] and (N, 29) joints."""
    if base.shape[0] < 2:
        raise ClipError(f"{path}: a motion needs at least 2 frames, got {base.shape[0]}")
    bad = ~np.isfinite(np.concatenate([base, joints], axis=1))
    if bad.any():
        frame = int(np.nonzero(bad.any(axis=1))[0][0])
        raise ClipError(f"{path}: non-finite value in frame {frame}")
    quat = base[:, 3:7]
    norm = np.linalg.norm(quat, axis=1)
    if (norm < 1e-6).any():
        frame = int(np.nonzero(norm < 1e-6)[0][0])
        raise ClipError(f"{path}: zero base quaternion in frame {frame}")
    return Motion(float(fps), base[:, :3].copy(), quat / norm[:, None], np.array(joints, dtype=np.float64))


def _positive_rate(value, what):
    try:
        rate = float(value)
    except (TypeError, ValueError):
        raise ClipError(f"{what} must be a positive number, got {value!r}") from None
    if not np.isfinite(rate) or rate <= 0:
        raise ClipError(f"{what} must be a positive number, got {value!r}")
    return rate


def _is_number(text):
    try:
        float(text)
    except ValueError:
        return False
    return True


def _csv_rows(path):
    try:
        with open(path, newline="", encoding="utf-8-sig") as f:
            return list(csv.reader(f))
    except UnicodeDecodeError:
        raise ClipError(f"{path}: not a text file") from None
    except csv.Error as e:
        raise ClipError(f"{path}: unreadable CSV ({e})") from None


def _read_named_csv(path, joint_names):
    rows = _csv_rows(path)
    if not rows:
        raise ClipError(f"{path}: empty file")
    header = [h.strip() for h in rows[0]]
    wanted = list(BASE_COLUMNS) + list(joint_names)
    missing = [c for c in wanted if c not in header]
    if missing:
        raise ClipError(f"{path}: missing column(s) {', '.join(missing)}")
    col = [header.index(c) for c in wanted]
    try:
        data = np.array([[float(r[i]) for i in col] for r in rows[1:] if r],
                        dtype=np.float64).reshape(-1, len(wanted))
    except (ValueError, IndexError) as e:
        raise ClipError(f"{path}: unreadable row ({e})") from None
    return data[:, :7], data[:, 7:]


def _read_headerless_csv(path, joints):
    width = 7 + joints
    try:    # NumPy's parser for the common well-formed file; any doubt goes row by row
        with open(path, encoding="utf-8-sig") as f:
            data = np.loadtxt(f, delimiter=",", comments=None, dtype=np.float64, ndmin=2)
        if data.shape[1] == width:
            return data[:, :7], data[:, 7:]
    except (ValueError, UnicodeDecodeError):
        pass
    values = []
    for number, row in enumerate(_csv_rows(path), start=1):
        if not any(f.strip() for f in row):
            continue
        if row and not row[-1].strip():
            row = row[:-1]          # a trailing separator
        if len(row) != width:
            raise ClipError(f"{path}: row {number} has {len(row)} columns, expected {width} "
                            f"(base position 3, base quaternion 4, {joints} joints)")
        try:
            values.append([float(f) for f in row])
        except ValueError:
            bad = next(k for k, f in enumerate(row) if not _is_number(f))
            raise ClipError(f"{path}: row {number}, column {bad + 1}: not a number: "
                            f"{row[bad].strip()[:40]!r}") from None
    data = np.array(values, dtype=np.float64).reshape(-1, width)
    return data[:, :7], data[:, 7:]


def _read_npy(path, joints):
    try:
        data = np.load(path, allow_pickle=False)
    except (OSError, ValueError) as e:
        raise ClipError(f"{path}: {e}") from None
    if data.ndim != 2 or data.shape[1] != 7 + joints or not np.issubdtype(data.dtype, np.number):
        raise ClipError(f"{path}: expected a (frames, {7 + joints}) array of numbers, "
                        f"got shape {data.shape} of {data.dtype}")
    data = data.astype(np.float64)
    return data[:, :7], data[:, 7:]


def _numpy_global(*paths):
    """The first of NumPy's module paths that this NumPy has."""
    def resolve():
        for path in paths:
            module, _, name = path.rpartition(".")
            try:
                return getattr(importlib.import_module(module), name)
            except (ImportError, AttributeError):
                continue
        raise pickle.UnpicklingError(f"this NumPy has none of {', '.join(paths)}")
    return resolve


def _latin1_bytes(text, encoding):
    # Protocols 0-2 store bytes as _codecs.encode(str, "latin1"); no other codec.
    if encoding not in ("latin1", "latin-1") or not isinstance(text, str):
        raise pickle.UnpicklingError(f"refused _codecs.encode with encoding {encoding!r}")
    return text.encode("latin1")


_RECONSTRUCT = _numpy_global("numpy._core.multiarray._reconstruct", "numpy.core.multiarray._reconstruct")
_SCALAR = _numpy_global("numpy._core.multiarray.scalar", "numpy.core.multiarray.scalar")
_FROMBUFFER = _numpy_global("numpy._core.numeric._frombuffer", "numpy.core.numeric._frombuffer")

# What a pickle may name: NumPy's array, dtype and scalar reconstruction (the
# module paths of NumPy 1 and 2; protocol 5 buffers) and plain containers.
SAFE_GLOBALS = {
    ("numpy.core.multiarray", "_reconstruct"): _RECONSTRUCT,
    ("numpy._core.multiarray", "_reconstruct"): _RECONSTRUCT,
    ("numpy.core.multiarray", "scalar"): _SCALAR,
    ("numpy._core.multiarray", "scalar"): _SCALAR,
    ("numpy.core.numeric", "_frombuffer"): _FROMBUFFER,
    ("numpy._core.numeric", "_frombuffer"): _FROMBUFFER,
    ("numpy", "ndarray"): lambda: np.ndarray,
    ("numpy", "dtype"): lambda: np.dtype,
    ("_codecs", "encode"): lambda: _latin1_bytes,
    ("builtins", "set"): lambda: set,
    ("builtins", "frozenset"): lambda: frozenset,
    ("builtins", "complex"): lambda: complex,
    ("builtins", "bytearray"): lambda: bytearray,
    ("collections", "OrderedDict"): lambda: __import__("collections").OrderedDict,
}


class RefusedGlobal(pickle.UnpicklingError):
    pass


class SafeUnpickler(pickle.Unpickler):
    """Builds NumPy arrays, dtypes and scalars and plain data; any other
    global a pickle names is refused before it is imported or called."""

    def find_class(self, module, name):
        make = SAFE_GLOBALS.get((module, name))
        if make is None:
            raise RefusedGlobal(f"{module}.{name}")
        return make()

    def persistent_load(self, pid):
        raise RefusedGlobal("a persistent object reference")


def safe_load_pickle(path):
    """The object in a pickle file, built only from admitted globals."""
    try:
        with open(path, "rb") as f:
            return SafeUnpickler(io.BytesIO(f.read())).load()
    except RefusedGlobal as e:
        raise ClipError(f"{path}: refused: the pickle names {e}; only NumPy arrays, numbers, "
                        "strings and plain containers are read (nothing was run)") from None
    except OSError:
        raise
    except Exception as e:  # whatever a malformed stream makes the admitted calls raise
        raise ClipError(f"{path}: not a readable pickle ({type(e).__name__}: {e})") from None


def _read_pickle(path, joints, need_fps=True):
    """(base rows, joints, fps of the file or None when not needed)."""
    obj = safe_load_pickle(path)
    if not isinstance(obj, dict):
        raise ClipError(f"{path}: expected a dict with keys {', '.join(PICKLE_KEYS)}, "
                        f"got {type(obj).__name__}")
    missing = [k for k in PICKLE_KEYS if k not in obj and (need_fps or k != "fps")]
    if missing:
        have = ", ".join(sorted(map(str, obj)))
        raise ClipError(f"{path}: missing key(s) {', '.join(missing)} (has {have})")
    arrays = {}
    for key, width in (("root_pos", 3), ("root_rot", 4), ("dof_pos", joints)):
        value = obj[key]
        try:
            a = np.asarray(value, dtype=np.float64)
        except (TypeError, ValueError):
            raise ClipError(f"{path}: {key} is not an array of numbers") from None
        if a.ndim != 2 or a.shape[1] != width:
            raise ClipError(f"{path}: {key} has shape {a.shape}, expected (frames, {width})")
        arrays[key] = a
    frames = {k: a.shape[0] for k, a in arrays.items()}
    if len(set(frames.values())) != 1:
        raise ClipError(f"{path}: frame counts differ: "
                        + ", ".join(f"{k} {n}" for k, n in frames.items()))
    base = np.concatenate([arrays["root_pos"], arrays["root_rot"]], axis=1)
    if not need_fps:
        return base, arrays["dof_pos"], None
    fps = obj["fps"]
    if isinstance(fps, np.ndarray) and fps.size == 1:
        fps = fps.reshape(()).item()
    if isinstance(fps, (bool, np.bool_)) or not isinstance(fps, (int, float, np.integer, np.floating)):
        raise ClipError(f"{path}: fps must be a positive number, got {fps!r}")
    return base, arrays["dof_pos"], _positive_rate(fps, f"{path}: fps")
