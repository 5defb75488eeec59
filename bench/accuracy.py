#!/usr/bin/env python3
"""Worst difference, in units in the last place, between each native stand-in
for a SciPy Rotation round trip and SciPy itself (tests/reference.py), over
rotations whose angles sweep from 1e-300 to pi about each axis, alone and
mixed with ordinary angles.

Two measures per function:
  value ulps   |native - scipy| in ulps of each value itself, so a 1e-300 angle
               is judged against 1e-300 (relative accuracy, small values included);
  vector ulps  the same in ulps of the largest component of the result, for
               rotated vectors and positions: SciPy multiplies those through
               BLAS (fused multiply-adds in an order of its own), which no
               formula reproduces component by component.

    python bench/accuracy.py [--points N] [--json out.json]
"""

import argparse
import json
import sys
import warnings
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import reference as ref  # noqa: E402

from scipy.spatial.transform import Rotation  # noqa: E402

# One-result functions whose result is a vector; the others give quaternions.
VECTOR_OUTPUTS = {"world_to_body_vel", "TransformAlignment.align_xyz", "TransformAlignment.align_pos"}
# (subtract_frame_transforms_r and pelvis_to_torso_pose give (translation, quaternion).)


def ulps(got, want, scale=None):
    got = np.ravel(np.asarray(got, dtype=float))
    want = np.ravel(np.asarray(want, dtype=float))
    diff = np.abs(got - want)
    if scale is None:
        unit = np.spacing(np.maximum(np.abs(got), np.abs(want)))
    else:
        unit = np.spacing(np.max(np.abs(want)) if want.size else 0.0)
    with np.errstate(all="ignore"):
        return float(np.max(np.where(diff == 0, 0.0, diff / unit), initial=0.0))


def wxyz(angles):
    return np.roll(Rotation.from_euler("xyz", angles).as_quat(), 1)


def named_parts(name, got, want):
    """The results of one call, by what they are: angles, quaternions, vectors."""
    if name == "imu_quat_to_euler":
        return [(f"{name}: angles", got, want)]
    if isinstance(want, tuple):  # (position, quaternion)
        return [(f"{name}: position", got[0], want[0]), (f"{name}: quaternion", got[1], want[1])]
    kind = "vector" if name in VECTOR_OUTPUTS else "matrix" if name == "matrix_from_quat_r" else "quaternion"
    return [(f"{name}: {kind}", got, want)]


def sweep_angles(points):
    small = 10.0 ** np.linspace(-300, np.log10(np.pi), points)
    return np.concatenate([small, -small, [np.pi - 1e-9, np.pi - 1e-15, np.pi]])


def cases(angles, rng):
    """(name, native callable, plain callable, output parts) for one set of Euler angles."""
    import math_transfrom as mt

    q = wxyz(angles)
    offset = wxyz(rng.uniform(-3, 3, size=3) * [0.3, 0.3, 1.0])
    p1, p2 = rng.normal(size=3) * 10, rng.normal(size=3) * 10
    out = []
    for name, args in [("imu_quat_to_euler", (q,)),
                       ("reset_quat_yaw_only_keep_rp", (q, offset)),
                       ("reset_quat_yaw_only_keep_rp", (offset, q)),
                       ("reset_pose_yaw_only", (p1, q, p2, offset)),
                       ("reset_pose_yaw_only", (p1, offset, p2, q)),
                       ("reset_pose_yaw_only_keep_rp", (p1, q, p2, offset)),
                       ("reset_pose", (p1, q, p2, offset)),
                       ("pelvis_to_torso_quat", (q, float(angles[1]))),
                       ("pelvis_to_torso_pose", (p1, q, float(angles[2]), p2 / 10)),
                       ("world_to_body_vel", (p1, q)),
                       ("matrix_from_quat_r", (np.roll(q, -1),)),
                       ("subtract_frame_transforms_r", (p1, np.roll(q, -1), p2, np.roll(offset, -1)))]:
        out.append((name, lambda f=getattr(mt, name), a=args: f(*a), lambda f=getattr(ref, name), a=args: f(*a)))
    xyzw = np.roll(q, -1)
    for shape in ((4,), (1, 4)):  # set_base reducing the base to its heading
        base = xyzw.reshape(shape)
        out.append((f"TransformAlignment.set_base (yaw_only, {shape})",
                    lambda b=base: mt.TransformAlignment(b, yaw_only=True).R_base.as_quat(),
                    lambda b=base: ref.TransformAlignment(b, yaw_only=True).R_base.as_quat()))
    native, plain = mt.TransformAlignment(xyzw, p2), ref.TransformAlignment(xyzw, p2)
    for method, arg in [("align_quat", np.roll(offset, -1)), ("align_xyz", p1), ("align_pos", p1)]:
        out.append(("TransformAlignment." + method, lambda m=getattr(native, method), a=arg: m(a),
                    lambda m=getattr(plain, method), a=arg: m(a)))
    return out


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0] + " " + __doc__.splitlines()[1])
    ap.add_argument("--points", type=int, default=400,
                    help="angles between 1e-300 and pi, each also negated (default 400)")
    ap.add_argument("--json", metavar="PATH", help="also write the worst cases as JSON")
    ap.add_argument("--seed", type=int, default=0)
    args = ap.parse_args(argv)

    import trackscope  # noqa: F401
    import scipy

    rng = np.random.default_rng(args.seed)
    worst = {}
    warnings.simplefilter("ignore")  # gimbal lock: SciPy warns, both sides take SciPy's path
    count = 0
    for theta in sweep_angles(args.points):
        for axis in range(3):
            alone = np.zeros(3)
            mixed = rng.uniform(-1, 1, size=3)
            for angles in (alone, mixed):
                angles[axis] = theta if axis != 1 or abs(theta) <= np.pi / 2 else np.sign(theta) * (np.pi - abs(theta))
                for name, native, plain in cases(angles, rng):
                    for part, got, want in named_parts(name, native(), plain()):
                        entry = worst.setdefault(part, {"value_ulps": 0.0, "vector_ulps": 0.0,
                                                        "at_value": None, "at_vector": None})
                        value, vector = ulps(got, want), ulps(got, want, scale=True)
                        if value > entry["value_ulps"]:
                            entry["value_ulps"], entry["at_value"] = value, angles.tolist()
                        if vector > entry["vector_ulps"]:
                            entry["vector_ulps"], entry["at_vector"] = vector, angles.tolist()
                    count += 1
    print(f"scipy {scipy.__version__}  numpy {np.__version__}: {count:,} calls, angles 1e-300 .. pi "
          f"about each axis, alone and mixed")
    print(f"{'result':50s} {'value ulps':>11s} {'vector ulps':>12s}  worst value at (xyz angles)")
    for name, e in sorted(worst.items()):
        print(f"{name:50s} {e['value_ulps']:11.3g} {e['vector_ulps']:12.3g}  {e['at_value']}")
    if args.json:
        Path(args.json).write_text(json.dumps({"scipy": scipy.__version__, "numpy": np.__version__,
                                               "calls": count, "worst": worst}, indent=1))
        print(f"wrote {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
