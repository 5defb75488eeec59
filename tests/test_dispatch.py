"""The bit-exact native paths agree with NumPy and SciPy whatever loops
NumPy's CPU dispatch chose (its arctan2/arcsin take SVML on AVX-512, the C
library on the baseline): checked in fresh interpreters at the default
dispatch, without AVX-512 and on the baseline alone; and the kernels' four-row
lane variant gives the bits of their one-row loops."""

import json
import os
import subprocess
import sys

import numpy as np
import pytest

try:
    from numpy._core._multiarray_umath import __cpu_dispatch__
except ImportError:  # NumPy 1.x
    from numpy.core._multiarray_umath import __cpu_dispatch__

AVX512 = [t for t in __cpu_dispatch__ if "512" in t or t == "X86_V4"]
MODES = {"default": None, "no AVX-512": AVX512, "baseline only": list(__cpu_dispatch__)}

CHILD = r"""
import json, sys
import numpy as np
sys.path.insert(0, sys.argv[1])
import trackscope, math_transfrom as mt, reference as ref

try:
    from numpy.lib.introspect import opt_func_info
    targets = {name: next(iter(sigs.values()))["current"]
               for name, sigs in opt_func_info(func_name="^(arctan2|arcsin)$", signature="float64").items()}
except ImportError:  # NumPy 1.x has no introspection
    targets = {}

rng = np.random.default_rng(11)
quats = rng.normal(size=(3000, 4)) * 10.0 ** rng.uniform(-8, 2, size=(3000, 1))
h = np.sqrt(0.5)
special = [[1.0, 0.0, 1.0, 0.0], [h, 0.0, h, 0.0], [h, 0.0, -h, 0.0], [0.5, 0.5, 0.5, 0.5],
           [1.0, 5e-13, 0.0, 0.0], [1.0, 0.0, 0.0, -1e-300], [0.0, 0.0, 0.0, 0.0],
           [np.nan, 0.0, 0.0, 1.0], [-0.0, -0.0, 1.0, -0.0]]
mismatches = []
for q in [list(map(float, q)) for q in quats] + special:
    for arg in (q, np.array(q)):
        with np.errstate(all="ignore"):
            got, want = mt.quatToEuler(arg), ref.quatToEuler(arg)
        if got.tobytes() != want.tobytes():
            mismatches.append(["quatToEuler", q, got.tolist(), want.tolist()])

q1, q2, v = quats[:500], rng.normal(size=(500, 4)), rng.normal(size=(500, 3))
for name, args in [("quat_inv", (q1,)), ("quat_mul", (q1, q2)), ("quat_mul_e", (q1, q2)),
                   ("quat_apply", (q1, v)), ("matrix_from_quat", (q1,))]:
    got, want = getattr(mt, name)(*args), getattr(ref, name)(*args)
    if got.tobytes() != want.tobytes():
        mismatches.append([name])
def bits(x):
    return b"".join(bits(v) for v in x) if isinstance(x, (tuple, list)) else np.asarray(x).tobytes()

for q, p in zip(quats[:200], rng.normal(size=(200, 3))):
    x = q[[1, 2, 3, 0]]
    for name, args in [("imu_quat_to_euler", (q,)), ("world_to_body_vel", (p, q)),
                       ("reset_pose_yaw_only", (p, q, -p, quats[7])),
                       ("pelvis_to_torso_pose", (p, q, 0.3, p)),
                       ("subtract_frame_transforms_r", (p, x, -p, quats[9]))]:
        if bits(getattr(mt, name)(*args)) != bits(getattr(ref, name)(*args)):
            mismatches.append([name, q.tolist()])
print(json.dumps({"targets": targets, "mismatches": mismatches[:5]}))
"""


@pytest.mark.parametrize("mode", MODES)
def test_native_bits_under_forced_dispatch(mode):
    disabled = MODES[mode]
    if disabled == []:
        pytest.skip("no such dispatch targets in this NumPy build")
    env = dict(os.environ)
    env.pop("NPY_DISABLE_CPU_FEATURES", None)
    if disabled:
        env["NPY_DISABLE_CPU_FEATURES"] = " ".join(disabled)
    run = subprocess.run([sys.executable, "-c", CHILD, os.path.dirname(__file__)], env=env,
                         capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stderr
    report = json.loads(run.stdout.splitlines()[-1])
    assert report["mismatches"] == []
    for target in report["targets"].values():  # the dispatch really changed
        if mode == "baseline only":
            assert target.startswith("baseline")
        elif mode == "no AVX-512":
            assert "512" not in target and "V4" not in target


# Row counts around the four-row blocks and one whose outputs bypass the
# cache, both float types; finite rows over many magnitudes with zero and -0
# components (the kernels' results stand), and rows with subnormal, infinite
# and NaN entries; packed rows take the lane variant where the CPU has one,
# reversed ones the row loop.
LANES_CHILD = r"""
import hashlib, json, sys
import numpy as np
sys.path.insert(0, sys.argv[1])
import trackscope, math_transfrom as mt, reference as ref

rng = np.random.default_rng(23)
digest, mismatches = hashlib.sha256(), []

def data(n, width, dtype, finite):
    a = (rng.normal(size=(n, width)) * 10.0 ** rng.uniform(-3, 3, size=(n, 1))).astype(dtype)
    special = [0.0, -0.0] + ([] if finite else [np.finfo(dtype).smallest_subnormal, np.inf, np.nan])
    mask = rng.random(size=a.shape) < 0.05
    a[mask] = rng.choice(special, size=int(mask.sum()))
    return a

def bits(x):
    return b"".join(bits(v) for v in x) if isinstance(x, tuple) else np.asarray(x).tobytes()

for dtype in (np.float64, np.float32):
    # 700,001 rows: outputs past the size from which the lane variant streams its stores
    for n, finite in [(n, True) for n in (1, 3, 4, 5, 7, 8, 9, 31, 1000, 700_001)] + [(9, False), (1000, False)]:
        q1, q2 = data(n, 4, dtype, finite), data(n, 4, dtype, finite)
        t1, t2, v = data(n, 3, dtype, finite), data(n, 3, dtype, finite), data(n, 3, dtype, finite)
        cases = [("quat_conjugate", (q1,)), ("quat_inv", (q1,)), ("quat_mul", (q1, q2)), ("quat_mul_e", (q1, q2)),
                 ("quat_apply", (q1, v)), ("matrix_from_quat", (q1,)),
                 ("subtract_frame_transforms", (t1, q1, t2, q2)),
                 ("subtract_frame_transforms", (t1, q1, None, q2)),
                 ("subtract_frame_transforms", (t1, q1, t2, None)),
                 ("subtract_frame_transforms", (t1, q1)),
                 ("quat_mul", (q1[::-1], q2)), ("quat_apply", (q1, v[:, ::-1])),
                 ("matrix_from_quat_r", (q1,))]
        for name, args in cases:
            try:
                with np.errstate(all="ignore"):
                    got, want = getattr(mt, name)(*args), getattr(ref, name)(*args)
            except ValueError as exc:  # from_quat's rejections: both raise
                try:
                    getattr(ref, name)(*args)
                except ValueError as ref_exc:
                    digest.update(str(exc).encode())
                    if str(exc) != str(ref_exc):
                        mismatches.append([name, np.dtype(dtype).name, n])
                    continue
                raise
            digest.update(bits(got))
            # NaN entries: a NaN made from two NaN operands may carry either's sign.
            same = all(np.array_equal(np.asarray(g).view(np.uint8), np.asarray(w).view(np.uint8))
                       or np.array_equal(g, w, equal_nan=True)
                       for g, w in zip(got if isinstance(got, tuple) else (got,),
                                       want if isinstance(want, tuple) else (want,)))
            if not same:
                mismatches.append([name, np.dtype(dtype).name, n])
print(json.dumps({"digest": digest.hexdigest(), "mismatches": mismatches[:5]}))
"""


def test_lane_kernels_match_row_kernels():
    reports = {}
    for mode in ("default", "off"):
        env = dict(os.environ)
        env.pop("TRACKSCOPE_SIMD", None)
        if mode == "off":
            env["TRACKSCOPE_SIMD"] = "off"
        run = subprocess.run([sys.executable, "-c", LANES_CHILD, os.path.dirname(__file__)], env=env,
                             capture_output=True, text=True, timeout=600)
        assert run.returncode == 0, run.stderr
        reports[mode] = json.loads(run.stdout.splitlines()[-1])
        assert reports[mode]["mismatches"] == [], mode
    assert reports["default"]["digest"] == reports["off"]["digest"]
