"""Type stubs: stubtest against the imported build, every public name and
instance attribute visible to mypy and pyright, the typed example, and what
a pip install puts next to the extension.

Checkers run in subprocesses on the build this process imported (its
directory goes first on PYTHONPATH); a development build that was not
installed reads the stub sources through MYPYPATH / pyright's stubPath.
"""

import ast
import importlib.metadata
import json
import os
import re
import subprocess
import sys

import pytest

import trackscope
import math_transfrom
import motion_env_wbt

sys.path.insert(0, os.path.dirname(__file__))
import clips  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
STUBS = os.path.join(ROOT, "stubs")
EXAMPLE = os.path.join(ROOT, "examples", "typed_control_loop.py")
SO_DIR = os.path.dirname(os.path.realpath(trackscope.__file__))
# trackscope first: importing it makes the other two importable.
MODULES = (trackscope, math_transfrom, motion_env_wbt)


def installed_distribution():
    """The distribution whose files hold the imported extension, or None."""
    try:
        dist = importlib.metadata.distribution("trackscope")
    except importlib.metadata.PackageNotFoundError:
        return None
    so = os.path.realpath(trackscope.__file__)
    if any(os.path.realpath(dist.locate_file(f)) == so for f in dist.files or ()):
        return dist
    return None


INSTALLED = installed_distribution() is not None
needs_install = pytest.mark.skipif(not INSTALLED, reason="development build, not pip-installed")


def checker_env():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (SO_DIR, env.get("PYTHONPATH")) if p)
    if not INSTALLED:
        env["MYPYPATH"] = STUBS
    return env


def run(args, cwd):
    return subprocess.run(args, cwd=str(cwd), env=checker_env(), capture_output=True, text=True,
                          timeout=600)


def test_stubtest_finds_no_difference_from_the_runtime(tmp_path):
    proc = run([sys.executable, "-m", "mypy.stubtest", "--mypy-config-file",
                os.path.join(ROOT, "pyproject.toml")] + [m.__name__ for m in MODULES], tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def public_names_module():
    """Imports every public runtime name of each module under an alias."""
    lines = []
    for m in MODULES:
        for name in sorted(k for k in vars(m) if not k.startswith("_")):
            lines.append(f"from {m.__name__} import {name} as {m.__name__}_{name}")
    return "\n".join(lines) + "\n"


@pytest.fixture(scope="module")
def checked_sources(tmp_path_factory):
    tmp = tmp_path_factory.mktemp("typed")
    (tmp / "public_names.py").write_text(public_names_module())
    config = {"stubPath": STUBS} if not INSTALLED else {}
    (tmp / "pyrightconfig.json").write_text(json.dumps(config))
    return tmp, [str(tmp / "public_names.py"), EXAMPLE]


def test_mypy_strict_sees_every_public_name_and_accepts_the_example(checked_sources):
    tmp, files = checked_sources
    proc = run([sys.executable, "-m", "mypy", "--strict", "--config-file",
                os.path.join(ROOT, "pyproject.toml"), "--cache-dir", str(tmp / "cache")] + files,
               tmp)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_pyright_sees_every_public_name_and_accepts_the_example(checked_sources):
    tmp, files = checked_sources
    pyright = os.path.join(os.path.dirname(sys.executable), "pyright")
    proc = run([pyright, "--outputjson", "--pythonpath", sys.executable] + files, tmp)
    report = json.loads(proc.stdout)
    errors = [d for d in report["generalDiagnostics"] if d["severity"] == "error"]
    assert errors == []
    # The two modules that live inside trackscope's shared object have no
    # source file of their own; pyright says so and nothing else.
    warnings = {(d["rule"], d["message"]) for d in report["generalDiagnostics"]
                if d["severity"] == "warning"}
    assert {rule for rule, _ in warnings} <= {"reportMissingModuleSource"}
    assert report["summary"]["filesAnalyzed"] == 2


def stub_class_members(module_name, class_name):
    tree = ast.parse(open(os.path.join(STUBS, module_name + ".pyi"), encoding="utf-8").read())
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == class_name)
    names = set()
    for node in cls.body:
        if isinstance(node, ast.AnnAssign):
            names.add(node.target.id)
        elif isinstance(node, ast.FunctionDef):
            names.add(node.name)
    return names


def environments(root):
    clips.write_standard(root)
    return motion_env_wbt.Wbt_env(str(root)), motion_env_wbt.Wbt_env_sim(str(root))


@pytest.mark.parametrize("cls", ["Wbt_env", "Wbt_env_sim", "TransformAlignment",
                                 "TrackscopeDrawer"])
def test_stubs_declare_every_instance_attribute(cls, tmp_path):
    env, env_sim = environments(tmp_path)
    instance, module = {
        "Wbt_env": (env, "motion_env_wbt"),
        "Wbt_env_sim": (env_sim, "motion_env_wbt"),
        "TransformAlignment": (math_transfrom.TransformAlignment(), "math_transfrom"),
        "TrackscopeDrawer": (trackscope.TrackscopeDrawer(object()), "trackscope"),
    }[cls]
    assert set(vars(instance)) - stub_class_members(module, cls) == set()


def test_example_runs_a_clip(tmp_path, capsys):
    clips.write_standard(tmp_path, frames=4)
    sys.path.insert(0, os.path.dirname(EXAMPLE))
    try:
        import typed_control_loop
    finally:
        sys.path.remove(os.path.dirname(EXAMPLE))
    assert typed_control_loop.main([str(tmp_path), "--steps", "3"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == 3
    # After reset the anchor's yaw is measured from its own first frame.
    heading = float(re.search(r"anchor yaw +(-?[\d.]+) deg", lines[0]).group(1))
    assert heading == pytest.approx(0.0, abs=0.01)
    with pytest.raises(SystemExit) as exit_info:
        typed_control_loop.main(["--help"])
    assert exit_info.value.code == 0


@needs_install
@pytest.mark.parametrize("module", [m.__name__ for m in MODULES])
def test_install_puts_stubs_beside_the_extension_and_as_stub_packages(module):
    source = open(os.path.join(STUBS, module + ".pyi"), "rb").read()
    for path in (os.path.join(SO_DIR, module + ".pyi"),
                 os.path.join(SO_DIR, module + "-stubs", "__init__.pyi")):
        assert open(path, "rb").read() == source, path


@needs_install
def test_distribution_metadata_carries_version_and_licence():
    dist = installed_distribution()
    pyproject = open(os.path.join(ROOT, "pyproject.toml"), encoding="utf-8").read()
    version = re.search(r'^version = "([^"]+)"', pyproject, re.M).group(1)
    assert importlib.metadata.version("trackscope") == version
    assert dist.metadata["License-Expression"] == "Apache-2.0"
    licence = [f for f in dist.files if f.name == "LICENSE"]
    assert len(licence) == 1
    assert licence[0].read_text() == open(os.path.join(ROOT, "LICENSE")).read()
