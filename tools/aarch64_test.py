"""Run the test suite against trackscope's aarch64 wheel on an emulated aarch64.

Debian's arm64 CPython runs under qemu-user (`qemu-aarch64-static -L ROOT`,
so no binfmt registration is needed) from a root unpacked by mmdebstrap; NumPy,
SciPy, MuJoCo, PyTorch and the test tools come from their aarch64 wheels on
PyPI, installed by this machine's pip into a directory on PYTHONPATH; the
wheel under test goes into a fresh directory of its own.  The tests compare
the module against the NumPy that runs there, so every bit-exact test checks
the kernels against NumPy's aarch64 loops.

Run through `bash scripts/aarch64-test.sh`, which installs qemu-user-static
and mmdebstrap and builds the wheel when missing.
"""
from __future__ import annotations

import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import time
import zipfile
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
SUITE = "bookworm"
PYTHON = "3.11"  # Debian bookworm's CPython
DEBIAN_PACKAGES = ["python3.11", "libstdc++6", "ca-certificates"]
REQUIREMENTS = ["numpy", "scipy", "mujoco", "pytest", "hypothesis", "pyelftools"]
# The newest CPU-only aarch64 torch on PyPI: from 2.11 on (2.13.0 included)
# PyPI's aarch64 build links CUDA 13 and needs several GB of NVIDIA wheels.
TORCH = "torch==2.10.0"
# What pip would evaluate environment markers against, were it running there.
TARGET_ENVIRONMENT = {"platform_machine": "aarch64", "platform_system": "Linux", "sys_platform": "linux",
                      "python_version": PYTHON, "implementation_name": "cpython",
                      "platform_python_implementation": "CPython", "os_name": "posix"}
PLATFORMS = ["manylinux_2_17_aarch64", "manylinux2014_aarch64", "manylinux_2_28_aarch64",
             "manylinux_2_34_aarch64", "manylinux_2_36_aarch64"]  # glibc of bookworm: 2.36
# Left out by default: the import machinery and the hostile-input sweep run
# many fresh interpreters (each import of torch takes seconds under qemu), and
# the leak test measures resident memory; none of them compares numbers.
# Every differential (bit-exact) test file runs by default.  `--all` adds them.
SLOW_UNDER_EMULATION = ["test_import.py", "test_robustness.py", "test_leaks.py"]
# Type checking of the stubs (pyright, a Node program beside the interpreter)
# and the tools package (tests/tools: an ffmpeg binary, EGL rendering, ONNX
# Runtime and QP solvers, not installed there) start programs that
# do not run here without binfmt; neither depends on the architecture.
NOT_EMULATED = ["test_stubs.py", "tools"]


class SetupError(RuntimeError):
    pass


def log(message: str) -> None:
    print(message, flush=True)


def run(cmd: list, **kwargs) -> subprocess.CompletedProcess:
    proc = subprocess.run([str(c) for c in cmd], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, **kwargs)
    if proc.returncode != 0:
        tail = "\n".join(proc.stdout.splitlines()[-30:])
        raise SetupError(f"command failed ({proc.returncode}): {' '.join(map(str, cmd))}\n{tail}")
    return proc


def make_root(root: Path, mirror: str | None) -> None:
    """Unpack Debian's arm64 CPython (no maintainer scripts: nothing runs on the host)."""
    if (root / "usr" / "bin" / f"python{PYTHON}").exists():
        return
    partial = root.with_name(root.name + ".partial")
    shutil.rmtree(partial, ignore_errors=True)
    log(f"unpacking Debian {SUITE} arm64 ({', '.join(DEBIAN_PACKAGES)}) into {root}")
    cmd = ["mmdebstrap", "--quiet", "--variant=extract", "--mode=root", "--architectures=arm64",
           f"--include={','.join(DEBIAN_PACKAGES)}", SUITE, partial] + ([mirror] if mirror else [])
    run(cmd)
    # Empty site directories: without them qemu's path prefix would fall
    # through to the host's own directories of the same name.
    for site in ("usr/lib/python3/dist-packages", f"usr/local/lib/python{PYTHON}/dist-packages"):
        (partial / site).mkdir(parents=True, exist_ok=True)
    shutil.rmtree(root, ignore_errors=True)
    partial.rename(root)


def pip_target(target: Path, requirements: list[str], *options: str) -> None:
    """pip install aarch64 cp311 wheels into `target`."""
    cmd = [sys.executable, "-m", "pip", "install", "--disable-pip-version-check", "--quiet",
           "--only-binary", ":all:", "--implementation", "cp", "--python-version", PYTHON,
           "--abi", f"cp{PYTHON.replace('.', '')}", "--target", target, *options]
    for platform in PLATFORMS:
        cmd += ["--platform", platform]
    run(cmd + requirements)


def target_constraints(work: Path) -> Path:
    """constraints.txt as it applies on the target (markers evaluated for
    aarch64 CPython 3.11), without torch, whose aarch64 release differs."""
    from packaging.requirements import Requirement

    lines = []
    for line in (REPO / "constraints.txt").read_text().splitlines():
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        req = Requirement(line)
        if req.name.lower() == "torch":
            continue
        if req.marker is None or req.marker.evaluate(dict(TARGET_ENVIRONMENT, extra="")):
            req.marker = None
            lines.append(str(req))
    path = work / "constraints-aarch64.txt"
    path.write_text("\n".join(lines) + "\n")
    return path


def target_requirements(metadata: str) -> list[str]:
    """A wheel's Requires-Dist entries that apply on aarch64 Linux, without extras."""
    from packaging.requirements import Requirement

    wanted = []
    for line in metadata.splitlines():
        if not line.startswith("Requires-Dist:"):
            continue
        req = Requirement(line.split(":", 1)[1].strip())
        if req.marker is None or req.marker.evaluate(dict(TARGET_ENVIRONMENT, extra="")):
            req.marker = None
            wanted.append(str(req))
    return wanted


def install_dependencies(work: Path, requirements: list[str], torch: str) -> Path:
    """aarch64 wheels of the test dependencies, in a directory keyed by the list.

    pip evaluates dependency markers for the machine it runs on, which would
    give torch x86_64's CUDA wheels: torch goes in alone, then what its
    metadata asks for on aarch64.
    """
    constraints = target_constraints(work)
    key = hashlib.sha256("\n".join(requirements + [torch, constraints.read_text()]).encode()).hexdigest()[:12]
    site = work / f"site-{key}"
    if (site / ".complete").exists():
        return site
    partial = work / f"site-{key}.partial"
    shutil.rmtree(partial, ignore_errors=True)
    log(f"installing aarch64 wheels of {torch} {' '.join(requirements)} into {site}")
    pip_target(partial, [torch], "--no-deps")
    (metadata,) = partial.glob("torch-*.dist-info/METADATA")
    # The same pinned versions as the set-up's, so a new release cannot change the run.
    pip_target(partial, requirements + target_requirements(metadata.read_text()), "-c", str(constraints))
    (partial / ".complete").write_text("\n".join(requirements + [torch]) + "\n")
    shutil.rmtree(site, ignore_errors=True)
    partial.rename(site)
    return site


def install_wheel(wheel: Path, work: Path) -> Path:
    """The wheel under test, unpacked into a fresh directory."""
    if not wheel.is_file():
        raise SetupError(f"no wheel at {wheel}")
    tag = wheel.name.split("-")
    if len(tag) < 5 or "aarch64" not in tag[-1] or tag[-3] != f"cp{PYTHON.replace('.', '')}":
        raise SetupError(f"{wheel.name} is not a cp{PYTHON.replace('.', '')} aarch64 wheel")
    dest = work / "site-trackscope"
    shutil.rmtree(dest, ignore_errors=True)
    with zipfile.ZipFile(wheel) as zf:  # a platlib wheel: install is unpacking
        zf.extractall(dest)
    return dest


def python_wrapper(root: Path, qemu: str, cpu: str, work: Path) -> Path:
    """An executable that runs the arm64 CPython under qemu.

    It is also what sys.executable names there (qemu's -0 sets argv[0]), so
    tests that start a fresh interpreter start an emulated one.
    """
    wrapper = work / "bin" / f"python{PYTHON}"
    wrapper.parent.mkdir(parents=True, exist_ok=True)
    wrapper.write_text(f'#!/bin/sh\nexec "{qemu}" -cpu {cpu} -L "{root}" -0 "$0" '
                       f'"{root}/usr/bin/python{PYTHON}" "$@"\n')
    wrapper.chmod(0o755)
    return wrapper


def find_wheel(dist: Path) -> Path:
    wheels = sorted(dist.glob(f"trackscope-*-cp{PYTHON.replace('.', '')}-*aarch64*.whl"),
                    key=lambda p: p.stat().st_mtime)
    if not wheels:
        raise SetupError(f"no cp{PYTHON.replace('.', '')} aarch64 wheel in {dist}: "
                         f"run bash scripts/wheels.sh --python {PYTHON} --arch aarch64")
    return wheels[-1]


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="bash scripts/aarch64-test.sh",
        description="Run the test suite but the import-machinery, hostile-input and leak tests "
                    "(--all: with them) against the aarch64 wheel on Debian's arm64 CPython under "
                    "qemu-user. Arguments after -- go to pytest.")
    parser.add_argument("--wheel", type=Path,
                        help=f"the wheel to test (default: the newest dist/trackscope-*-cp{PYTHON.replace('.', '')}-*aarch64*.whl)")
    parser.add_argument("--all", action="store_true",
                        help=f"also run {', '.join(SLOW_UNDER_EMULATION)} (about 4 minutes more); "
                        f"{' and '.join(NOT_EMULATED)} never run here: their tools cannot start "
                        "under qemu-user")
    parser.add_argument("--requirement", action="append", default=[], metavar="REQ",
                        help="replace the default requirement of the same name, e.g. "
                        "--requirement 'numpy<2' --requirement 'scipy<1.14' (repeatable; defaults: "
                        f"{' '.join(REQUIREMENTS)})")
    parser.add_argument("--torch", default=TORCH,
                        help="exact torch requirement (default: %(default)s, the newest CPU-only "
                        "aarch64 build on PyPI)")
    parser.add_argument("--work", type=Path, default=REPO / "build" / "aarch64",
                        help="root, wheel directories and wrapper (default: build/aarch64/)")
    parser.add_argument("--cpu", default="max",
                        help="CPU qemu emulates: 'max' has every feature NumPy dispatches on "
                        "(SVE included), 'cortex-a57' plain ARMv8.0 ASIMD (default: %(default)s)")
    parser.add_argument("--mirror", help="Debian mirror for mmdebstrap (default: mmdebstrap's)")
    parser.add_argument("--qemu", default="qemu-aarch64-static", help="qemu-user binary "
                        "(default: %(default)s)")
    parser.add_argument("pytest_args", nargs="*", help="extra pytest arguments (after --)")
    return parser.parse_args(argv)


def requirements_for(args: argparse.Namespace) -> list[str]:
    def name(req: str) -> str:
        return req.split("=")[0].split("<")[0].split(">")[0].split("!")[0].split("~")[0].strip().lower()

    reqs = {name(r): r for r in REQUIREMENTS}
    for r in args.requirement:
        reqs[name(r)] = r
    reqs.pop("torch", None)
    return list(reqs.values())


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    work = args.work.resolve()
    work.mkdir(parents=True, exist_ok=True)
    qemu = shutil.which(args.qemu)
    if not qemu:
        print(f"error: {args.qemu} not found (Debian package qemu-user-static)", file=sys.stderr)
        return 1
    start = time.monotonic()
    try:
        wheel = (args.wheel or find_wheel(REPO / "dist")).resolve()
        root = work / "root"
        make_root(root, args.mirror)
        if not args.torch.startswith("torch==") or not args.torch[7:]:
            raise SetupError("--torch must pin one release (torch==X.Y.Z): a range pulls another build")
        deps = install_dependencies(work, requirements_for(args), args.torch)
        under_test = install_wheel(wheel, work)
    except SetupError as err:
        print(f"error: {err}", file=sys.stderr)
        return 1
    python = python_wrapper(root, qemu, args.cpu, work)
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "VIRTUAL_ENV"))}
    env.update(PYTHONPATH=f"{under_test}{os.pathsep}{deps}", PYTHONNOUSERSITE="1",
               PYTHONDONTWRITEBYTECODE="1")
    setup = time.monotonic() - start
    probe = subprocess.run(
        [python, "-c", "import platform, numpy, trackscope; "
         "features = numpy._core._multiarray_umath.__cpu_features__; "
         "print(platform.machine(), 'NumPy', numpy.__version__, "
         "'(' + ' '.join(sorted(k for k, v in features.items() if v)) + ')', trackscope.__file__)"],
        env=env, capture_output=True, text=True)
    if probe.returncode != 0 or not probe.stdout.startswith("aarch64 "):
        print(f"error: the emulated interpreter does not start:\n{probe.stdout}{probe.stderr}", file=sys.stderr)
        return 1
    log(f"setup {setup:.0f} s; testing {wheel.name} under {args.qemu} -cpu {args.cpu}: {probe.stdout.strip()}")
    left_out = NOT_EMULATED + ([] if args.all else SLOW_UNDER_EMULATION)
    tests = [str(REPO / "tests")] + [f"--ignore={REPO / 'tests' / t}" for t in left_out]
    cmd = [python, "-m", "pytest", "-q", "-p", "no:cacheprovider", "--rootdir", REPO, *tests,
           *args.pytest_args]
    start = time.monotonic()
    code = subprocess.run([str(c) for c in cmd], env=env, cwd=REPO).returncode
    log(f"emulated aarch64 test run: {time.monotonic() - start:.0f} s, exit code {code}")
    return code


if __name__ == "__main__":
    sys.exit(main())
