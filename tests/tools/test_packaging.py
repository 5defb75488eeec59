"""The tools as a distribution: the wheel carries the model and the console
commands, the extension's distribution carries neither, and the commands work
from any directory."""

import importlib.metadata
import os
import subprocess
import sys
import zipfile

import pytest

TOOLS = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "tools")


@pytest.fixture(scope="module")
def tools_wheel(tmp_path_factory):
    out = tmp_path_factory.mktemp("wheel")
    subprocess.run([sys.executable, "-m", "pip", "wheel", "--no-deps", "--no-build-isolation", "-q",
                    "-w", str(out), TOOLS], check=True)
    (wheel,) = out.glob("trackscope_tools-*.whl")
    return zipfile.ZipFile(wheel)


def test_tools_wheel_carries_the_model_and_the_commands(tools_wheel):
    names = tools_wheel.namelist()
    assert {"trackscope_tools/models/humanoid.xml", "trackscope_tools/wire/loopback.xml"} <= set(names)
    assert not [n for n in names if n.startswith(("tests/", "bench/")) or n.endswith((".so", "leakcheck.py"))]
    entry = next(n for n in names if n.endswith("entry_points.txt"))
    text = tools_wheel.read(entry).decode()
    for command in ("trackscope-clip = trackscope_tools.cli.clip:main",
                    "trackscope-replay = trackscope_tools.cli.replay:main",
                    "trackscope-sim = trackscope_tools.cli.sim:main",
                    "trackscope-deploy = trackscope_tools.cli.deploy:main"):
        assert command in text
    meta = tools_wheel.read(next(n for n in names if n.endswith("METADATA"))).decode()
    assert "Requires-Dist: trackscope==" in meta


def test_extension_distribution_holds_no_tools_or_models():
    files = [str(f) for f in importlib.metadata.files("trackscope") or []]
    assert any(f.endswith((".so", ".pyd")) for f in files)
    assert not [f for f in files if f.endswith((".xml", ".onnx")) or "trackscope_tools" in f]


def test_commands_work_from_any_directory(tmp_path):
    clip = os.path.join(os.path.dirname(sys.executable), "trackscope-clip")
    out = subprocess.run([clip, "model"], cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    path = out.stdout.strip()
    assert os.path.isabs(path) and path.endswith("humanoid.xml") and os.path.isfile(path)
