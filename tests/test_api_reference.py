"""docs/API.md names every public name of the three modules: module-level
names, class members and the instance attributes the classes set."""

import os
import re
import sys

import pytest

import trackscope
import math_transfrom
import motion_env_wbt

sys.path.insert(0, os.path.dirname(__file__))
import clips  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


@pytest.fixture(scope="module")
def documented():
    """Identifiers inside code blocks and `code` spans of the reference."""
    text = open(os.path.join(ROOT, "docs", "API.md"), encoding="utf-8").read()
    fence = re.compile(r"^ *```[a-z]*\n(.*?)^ *```", re.S | re.M)
    blocks = fence.findall(text)
    spans = " ".join(blocks + re.findall(r"`([^`]+)`", fence.sub(" ", text)))
    return set(re.findall(r"[A-Za-z_][A-Za-z0-9_]*", spans))


def public(names):
    return {n for n in names if not n.startswith("_")}


@pytest.mark.parametrize("module", [math_transfrom, motion_env_wbt, trackscope],
                         ids=lambda m: m.__name__)
def test_module_names(module, documented):
    assert public(vars(module)) - documented == set()


@pytest.mark.parametrize("cls", [math_transfrom.TransformAlignment, motion_env_wbt.Wbt_env,
                                 motion_env_wbt.Wbt_env_sim, trackscope.TrackscopeDrawer],
                         ids=lambda c: c.__name__)
def test_class_members(cls, documented):
    assert public(vars(cls)) - documented == set()


def test_instance_attributes(tmp_path, documented):
    clips.write_standard(tmp_path)
    objects = [motion_env_wbt.Wbt_env(str(tmp_path)), motion_env_wbt.Wbt_env_sim(str(tmp_path)),
               math_transfrom.TransformAlignment(), trackscope.TrackscopeDrawer(None)]
    missing = set()
    for obj in objects:
        for name in public(vars(obj)):
            # Clip arrays are named after the clip: documented as <file>_suffix.
            if name.startswith("stand_"):
                name = name[len("stand"):]
            if name not in documented:
                missing.add(name)
    assert missing == set()
