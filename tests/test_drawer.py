import math
import os
import sys
import types

import mujoco
import numpy as np
import pytest
import scipy
from scipy.spatial.transform import Rotation

from trackscope import TrackscopeDrawer

SPHERE_KEYS = ["pos", "size", "rgba", "type", "label", "id"]
ARROW_KEYS = ["pos", "mat", "size", "rgba", "type", "id"]


class Viewer:
    """Records the keyword arguments of every add_marker call, in order."""

    def __init__(self):
        self.markers = []

    def add_marker(self, **kwargs):
        self.markers.append(kwargs)
        return "ignored"


@pytest.mark.parametrize("humanoid_id, rgba, base", [
    (0, (1, 0, 0, 1), 0), (False, (1, 0, 0, 1), 0), (0.0, (1, 0, 0, 1), 0),
    (1, (0, 1, 0, 1), 1000), (np.int64(1), (0, 1, 0, 1), 1000),
])
def test_spheres(humanoid_id, rgba, base):
    viewer = Viewer()
    body_pos = np.arange(15.0).reshape(5, 3)
    assert TrackscopeDrawer(viewer).update_rg_view(body_pos, None, humanoid_id) is None
    assert [m["id"] for m in viewer.markers] == [base + j for j in range(5)]
    for j, m in enumerate(viewer.markers):
        assert list(m) == SPHERE_KEYS
        assert np.shares_memory(m["pos"], body_pos) and np.array_equal(m["pos"], body_pos[j])
        assert m["size"] == 0.05 and m["label"] == ""
        assert m["rgba"] == rgba and all(type(v) is int for v in m["rgba"])
        assert m["type"] == mujoco.mjtGeom.mjGEOM_SPHERE


@pytest.mark.parametrize("body_pos, humanoid_id", [(np.zeros((4, 3)), 2),
                                                   (np.zeros((4, 3)), None),
                                                   (np.zeros((0, 3)), 0)])
def test_no_spheres(body_pos, humanoid_id):
    viewer = Viewer()
    assert TrackscopeDrawer(viewer).update_rg_view(body_pos, None, humanoid_id) is None
    assert viewer.markers == []


def test_viewer_read_for_every_marker():
    first, second = Viewer(), Viewer()
    drawer = TrackscopeDrawer(first)

    def swap(**kwargs):
        first.markers.append(kwargs)
        drawer.viewer = second

    first.add_marker = swap
    drawer.update_rg_view(np.zeros((3, 3)), None, 1)
    assert [m["id"] for m in first.markers] == [1000]
    assert [m["id"] for m in second.markers] == [1001, 1002]


def arrow(root_quat, vec_local, **kwargs):
    viewer = Viewer()
    origin = np.array([0.1, 0.2, 0.3])
    color = kwargs.pop("color", [1, 0, 0, 1])
    assert TrackscopeDrawer(viewer).draw_arrow(origin, root_quat, vec_local, color,
                                               **kwargs) is None
    (marker,) = viewer.markers
    assert list(marker) == ARROW_KEYS and marker["pos"] is origin
    assert marker["type"] == mujoco.mjtGeom.mjGEOM_ARROW
    np.testing.assert_array_equal(marker["rgba"], np.array(color))
    assert marker["size"].dtype == np.float64 and marker["size"][:2].tolist() == [0.02, 0.02]
    return marker


S = math.sin(math.pi / 8)
C = math.cos(math.pi / 8)
H = math.sqrt(0.5)


@pytest.mark.parametrize("root_quat, vec, kwargs, direction, length", [
    ([0, 0, 0, 1], [1, 0, 0], {"scale": 2.0}, [1, 0, 0], 2.0),
    ([0, 0, 0, 1], [0, 0, 3], {}, [0, 0, 1], 3.0),
    ([0, 0, 0, 1], [0, 0, -1], {}, [0, 0, -1], 1.0),
    ([0, S, 0, C], [1, 0, 0], {}, [H, 0, -H], 1.0),
    ([0, S, 0, C], [1, 0, 0], {"horizontal_only": True}, [1, 0, 0], 1.0),
    (Rotation.from_euler("xyz", [0.3, -0.4, math.pi / 2]).as_quat(), [2, 0, 0],
     {"horizontal_only": 1, "scale": 0.5}, [0, 1, 0], 1.0),
])
def test_arrow_direction(root_quat, vec, kwargs, direction, length):
    marker = arrow(root_quat, vec, **kwargs)
    mat = marker["mat"]
    np.testing.assert_allclose(mat[:, 2], direction, atol=1e-12)
    np.testing.assert_allclose(mat @ mat.T, np.eye(3), atol=1e-12)
    assert np.linalg.det(mat) == pytest.approx(1.0)
    assert marker["size"][2] == pytest.approx(length, rel=1e-12)
    assert marker["id"] == 3000


@pytest.mark.parametrize("vec", [[0, 0, 0], [1e-7, 0, 0], [np.nan, 0, 0]])
def test_short_arrow(vec):
    marker = arrow([0, 0, 0, 1], vec, scale=5.0, id=7, color=(0.5, 0.5, 0.5, 1.0))
    assert marker["size"].tolist() == [0.02, 0.02, 0.0]
    assert np.array_equal(marker["mat"], np.eye(3)) and marker["id"] == 3007



# ---- differential: the plain drawer with a recording viewer ----------------

sys.path.insert(0, os.path.dirname(__file__))
import reference  # noqa: E402
from recording import recorded  # noqa: E402


def summary(value):
    """What a viewer can tell about a marker value: type, contents, and
    whether it is a view of something."""
    if isinstance(value, np.ndarray):
        return (type(value), value.dtype, value.shape, value.tolist(), value.base is not None)
    if isinstance(value, tuple):
        return (tuple, tuple(summary(v) for v in value))
    return (type(value), value)


class Recorder:
    def __init__(self, log, name):
        self.log, self.name = log, name

    def add_marker(self, **kwargs):
        self.log.append((self.name, [(k, summary(v)) for k, v in kwargs.items()]))


def run_both(scenario):
    """The scenario's log with the plain drawer and with ours."""
    logs = []
    for cls in (reference.TrackscopeDrawer, TrackscopeDrawer):
        log = []
        try:
            scenario(cls, log)
        except Exception as exc:  # the same error is part of the result
            log.append((type(exc), str(exc)))
        logs.append(log)
    return logs


class RowSwapping(np.ndarray):
    """Rows whose reading rebinds the drawer's viewer: the method looked up
    before the row is the one called."""

    def __getitem__(self, index):
        self.drawer.viewer = Recorder(self.log, f"after row {index}")
        return np.ndarray.__getitem__(self, index)


class Shaped:
    def __init__(self, shape, rows):
        self.shape, self.rows = shape, rows

    def __getitem__(self, index):
        return self.rows[index]


def spheres(body_pos, humanoid_id):
    def scenario(cls, log):
        cls(Recorder(log, "viewer")).update_rg_view(body_pos, None, humanoid_id)
    return scenario


def swapping(cls, log):
    body_pos = np.arange(9.0).reshape(3, 3).view(RowSwapping)
    drawer = cls(Recorder(log, "first"))
    body_pos.drawer, body_pos.log = drawer, log
    drawer.update_rg_view(body_pos, None, 1)


def method_kinds(cls, log):
    class Static:
        add_marker = staticmethod(lambda **kw: log.append(("static", sorted(kw))))

    class Fallback:
        def __getattr__(self, name):
            return lambda **kw: log.append(("getattr " + name, sorted(kw)))

    class Slotted:
        __slots__ = ()

        def add_marker(self, **kw):
            log.append(("slotted", sorted(kw)))

    for viewer in (Static(), Fallback(), Slotted(), object()):
        cls(viewer).update_rg_view(np.zeros((2, 3)), None, 0)


@pytest.mark.parametrize("scenario", [
    spheres(np.arange(15.0).reshape(5, 3), 0),
    spheres(np.arange(15.0).reshape(5, 3), 1),
    spheres(np.arange(15.0).reshape(5, 3).T[:, ::-1], True),
    spheres(np.arange(6, dtype=np.float32), np.int64(1)),
    spheres(np.arange(6).reshape(3, 2), 1.0),
    spheres(np.zeros((2, 3)).view(np.matrix), 0),
    spheres(Shaped((np.int64(2),), [[1.0, 2.0], [3.0, 4.0]]), 1),
    spheres(Shaped((2.0,), [[1.0, 2.0]]), 1),
    spheres(Shaped((3,), [[1.0], [2.0]]), 0),
    spheres(np.zeros(()), 0),
    swapping,
    method_kinds,
], ids=["red", "green", "strided", "1-D", "float id", "matrix", "shape np.int64", "shape float",
        "short rows", "0-d", "viewer swapped by a row", "method kinds"])
def test_spheres_match_plain_drawer(scenario):
    plain, ours = run_both(scenario)
    assert ours == plain


def test_spheres_follow_a_rebound_range(monkeypatch):
    for module in (reference, sys.modules["trackscope"]):
        monkeypatch.setattr(module, "range", lambda n: [n - 1, 0], raising=False)
    plain, ours = run_both(spheres(np.arange(9.0).reshape(3, 3), 1))
    assert ours == plain and [m[1][-1] for m in ours] == [("id", (int, 1002)), ("id", (int, 1000))]


# ---- arrows: bit for bit against the plain drawer --------------------------

def exact(value):
    """A marker value down to its bits: type, dtype, shape, bytes, view or not."""
    if isinstance(value, np.ndarray):
        return (type(value), value.dtype, value.shape, value.tobytes(), value.base is not None)
    return (type(value), repr(value))


def arrow_outcome(cls, args, kwargs, errstate):
    """The marker (or the exception) and the warnings of one draw_arrow."""
    markers = []

    class Exact:
        def add_marker(self, **kw):
            markers.append([(k, exact(v)) for k, v in kw.items()])

    with recorded() as caught, np.errstate(all=errstate):
        try:
            cls(Exact()).draw_arrow(*args, **kwargs)
        except Exception as exc:
            markers.append((type(exc), str(exc)))
    return markers, [(w.category, str(w.message)) for w in caught]


def norm_calls(monkeypatch):
    """Counts calls of np.linalg.norm: none when the native steps run."""
    calls = []
    original = np.linalg.norm

    def counted(*args, **kwargs):
        calls.append(1)
        return original(*args, **kwargs)

    monkeypatch.setattr(np.linalg, "norm", counted)
    return calls


# Releases whose align_vectors and Euler steps the native arrow reproduces.
SCIPY_STEPS_KNOWN = tuple(int(p) for p in scipy.__version__.split(".")[:2]) in {
    (1, 13), (1, 14), (1, 15), (1, 17)}


def vectors(kind, rng, quat):
    """Direction vectors of one kind: ordinary, 10**±150 in size, of length
    just above or below 1e-6, turned onto the world's ±z axis up to a small
    angle (the Taylor and half-turn branches), exactly on it, ints, float32,
    tuples, with tiny components."""
    v = rng.normal(size=3)
    if kind == "scaled":
        return v * 10.0 ** rng.uniform(-150, 150)
    if kind == "near 1e-6":
        return v * (1e-6 / np.linalg.norm(v)) * (1 + rng.choice([-1, 1]) * rng.uniform(0, 4e-16))
    if kind == "near ±z":
        tilt = rng.normal(size=2) * 10.0 ** rng.uniform(-12, -1)
        return Rotation.from_quat(quat).inv().apply([tilt[0], tilt[1], rng.choice([-1.0, 1.0])])
    if kind == "on ±z":
        return [0.0, 0.0, rng.choice([-2.0, 1.0])]
    if kind == "ints":
        return [int(x) for x in rng.integers(-3, 4, size=3)]
    if kind == "float32":
        return v.astype(np.float32)
    if kind == "tuple":
        return tuple(float(x) for x in v)
    if kind == "tiny parts":
        return [rng.normal() * 1e-170, rng.normal() * 1e-300, rng.normal()]
    return v


KINDS = ["ordinary", "scaled", "near 1e-6", "near ±z", "on ±z", "ints", "float32", "tuple",
         "tiny parts"]


@pytest.mark.parametrize("errstate", ["warn", "raise"])
@pytest.mark.parametrize("horizontal_only", [False, True])
@pytest.mark.parametrize("kind", KINDS)
def test_arrows_give_the_plain_drawers_bits(kind, horizontal_only, errstate):
    rng = np.random.default_rng([KINDS.index(kind), horizontal_only])
    for trial in range(150):
        quat = rng.normal(size=4) * 10.0 ** rng.uniform(-3, 3)  # not of unit norm
        if trial % 7 == 0:
            quat = [0.0, 0.0, 0.0, 1.0] if trial % 2 else list(quat)
        if kind == "on ±z":  # turned about z only: exactly on the world's z axis
            quat = [0.0, 0.0, *rng.normal(size=2)]
        vec = vectors(kind, rng, quat)
        scale = [1.0, 2.5, 1e-3, 3, 1e300][trial % 5]
        args = (np.zeros(3), quat, vec, [1, 0, 0, 1])
        kwargs = {"scale": scale, "horizontal_only": horizontal_only, "id": trial}
        assert (arrow_outcome(TrackscopeDrawer, args, kwargs, errstate)
                == arrow_outcome(reference.TrackscopeDrawer, args, kwargs, errstate)), (quat, vec)


@pytest.mark.parametrize("args, kwargs, native", [
    (([0, 0, 0, 1], [1.0, 0.5, 0.2]), {}, True),
    ((np.array([0.1, 0.2, 0.3, 0.9]), np.array([0.0, 0.0, -1.0])), {"horizontal_only": 1}, True),
    (([0, 0, 0, 1], [0, 0, 0]), {"scale": 2}, True),
    ((np.array([0.1, 0.2, 0.3, 0.9], np.float32), (1, 2.5, 3)), {"horizontal_only": None}, True),
    # gimbal lock, where as_euler warns
    (([0, math.sin(math.pi / 4), 0, math.cos(math.pi / 4)], [1.0, 0, 0]),
     {"horizontal_only": True}, False),
    (([0, 0, 0, 1], np.array([1, 2, 3], dtype=np.float16)), {}, False),
    (([0, 0, 0, 1], [1.0, np.float64(2.0), 3.0]), {"horizontal_only": np.True_}, True),
    (([0, 0, 0, 1], [1.0, np.float32(2.0), 3.0]), {}, False),
    (([0, 0, 0, 1], [1.0, 0, 0]), {"scale": np.float32(2)}, False),
    (([0, 0, 0, 1], [1.0, 0, 0]), {"horizontal_only": np.array([1])}, False),
    (([0, 0, 0, 1], [1.0, 0, 0]), {"scale": 2**60}, False),
    (([0, 0, 0, 0], [1.0, 0, 0]), {}, None),  # rejected by from_quat
    (([0, 0, np.inf, 1], [1.0, 0, 0]), {}, False),
    (([0, 0, 0, 1], [np.inf, 0, 0]), {}, False),
    (([0, 0, 0, 1], [1e300, 1e300, 0]), {}, False),
    (([0, 0, 0, 1, 0], [1.0, 0, 0]), {}, None),
])
def test_arrows_outside_the_native_steps(monkeypatch, args, kwargs, native):
    """Inputs the native steps do not read, or where NumPy or SciPy report a
    condition, take the general steps (np.linalg.norm is called), with the
    plain drawer's outcome."""
    full = (np.zeros(3), *args, (0.5, 0.5, 0.5, 1.0))
    want = arrow_outcome(reference.TrackscopeDrawer, full, kwargs, "warn")
    calls = norm_calls(monkeypatch)
    assert arrow_outcome(TrackscopeDrawer, full, kwargs, "warn") == want
    # A SciPy release whose steps are not known takes the general steps throughout.
    assert native is None or (not calls) == (native and SCIPY_STEPS_KNOWN)


@pytest.mark.parametrize("name", ["sRot", "np"])
def test_arrows_follow_rebound_globals(monkeypatch, name):
    """A module global rebound by the caller is the one the steps use."""
    class Counting(Rotation):
        calls = 0

        @classmethod
        def from_quat(cls, *args, **kwargs):
            Counting.calls += 1
            return Rotation.from_quat(*args, **kwargs)

    replacement = Counting if name == "sRot" else types.SimpleNamespace(**vars(np))
    monkeypatch.setattr(sys.modules["trackscope"], name, replacement)
    monkeypatch.setattr(reference, "R" if name == "sRot" else name, replacement)
    args = (np.zeros(3), [0.0, 0.0, 0.6, 0.8], [1.0, 2.0, 3.0], [1, 0, 0, 1])
    want = arrow_outcome(reference.TrackscopeDrawer, args, {}, "warn")
    assert arrow_outcome(TrackscopeDrawer, args, {}, "warn") == want
    assert name == "np" or Counting.calls == 2
