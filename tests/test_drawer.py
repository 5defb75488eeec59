import math

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

