"""Small motion clips for the environment tests, written as .npz archives
under <root>/assets/motion_npz/."""

import os
import pickle

import numpy as np

JOINTS = 29
BODIES = 30
ANCHOR_ROW = 9  # torso_link on the clip's body axis

MEMBERS = ("fps", "joint_pos", "joint_vel", "body_pos_w", "body_quat_w",
           "body_lin_vel_w", "body_ang_vel_w")


def clip_dir(root):
    path = os.path.join(str(root), "assets", "motion_npz")
    os.makedirs(path, exist_ok=True)
    return path


def clip_path(root, name):
    path = os.path.join(clip_dir(root), name + ".npz")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    return path


def unit_quats_wxyz(rng, shape):
    q = rng.normal(size=shape + (4,))
    return q / np.linalg.norm(q, axis=-1, keepdims=True)


def make_clip(frames=5, bodies=BODIES, seed=0):
    """Clip arrays with distinct values per frame, body and column."""
    rng = np.random.default_rng(seed)
    return {
        "fps": np.array(50),
        "joint_pos": rng.normal(size=(frames, JOINTS)),
        "joint_vel": rng.normal(size=(frames, JOINTS)),
        "body_pos_w": rng.normal(size=(frames, bodies, 3)),
        "body_quat_w": unit_quats_wxyz(rng, (frames, bodies)),
        "body_lin_vel_w": rng.normal(size=(frames, bodies, 3)),
        "body_ang_vel_w": rng.normal(size=(frames, bodies, 3)),
    }


def write_clip(root, name, arrays, compressed=False):
    path = clip_path(root, name)
    (np.savez_compressed if compressed else np.savez)(path, **arrays)
    return path


def write_standard(root, name="stand", frames=5, seed=0, **extra):
    arrays = make_clip(frames, seed=seed)
    arrays.update(extra)
    write_clip(root, name, arrays)
    return arrays


def write_without(root, name, member, frames=5):
    arrays = make_clip(frames)
    del arrays[member]
    write_clip(root, name, arrays)
    return arrays


def write_object_member(root, name):
    """A valid archive whose joint_vel member holds pickled objects."""
    arrays = make_clip(3)
    arrays["joint_vel"] = np.array([{"a": 1}, None], dtype=object)
    write_clip(root, name, arrays)


class _Marker:
    """Unpickling this creates a directory: proof that a pickle ran."""

    def __init__(self, path):
        self.path = path

    def __reduce__(self):
        return (os.mkdir, (self.path,))


def write_pickle(root, name, marker):
    with open(clip_path(root, name), "wb") as f:
        pickle.dump({"joint_pos": _Marker(str(marker))}, f)


def write_corrupt(root, name):
    """Starts like a zip archive, then garbage."""
    with open(clip_path(root, name), "wb") as f:
        f.write(b"PK\x03\x04" + bytes(range(256)) * 4)


def write_plain_array(root, name):
    """A single .npy array stored under the .npz name."""
    with open(clip_path(root, name), "wb") as f:
        np.save(f, np.zeros((3, JOINTS)))
