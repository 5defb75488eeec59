import math
import os
import sys

import mujoco
import numpy as np
import pytest
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
