"""Import machinery: entry module, ModuleTableFinder, module attributes,
body order and failure cleanup.

Anything that depends on a first import runs in a fresh interpreter that
finds the same build as this process (located through trackscope.__file__).
"""

import importlib
import json
import os
import shutil
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import trackscope
import math_transfrom
import motion_env_wbt

sys.path.insert(0, os.path.dirname(__file__))
import reference as ref  # noqa: E402

SO_PATH = trackscope.__file__
SO_DIR = os.path.dirname(SO_PATH)
NAMES = ("math_transfrom", "motion_env_wbt", "trackscope")

MATH_FUNCTIONS = ref.FUNCTION_NAMES


def run_python(code, cwd):
    """Run `code` in a fresh interpreter; its last stdout line is JSON."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (SO_DIR, env.get("PYTHONPATH")) if p)
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=str(cwd), env=env,
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


def public(module):
    return [k for k in vars(module) if not k.startswith("_")]


# --------------------------------------------------------------------------
# First import, observed from a recording finder at sys.meta_path[0]
# --------------------------------------------------------------------------

IMPORT_SEQUENCE = r"""
import json, sys

def public(m):
    return [k for k in vars(m) if not k.startswith("_")]

def attrs(m):
    spec = m.__spec__
    return {
        "file": m.__file__, "cached": m.__cached__, "doc": m.__doc__,
        "package": m.__package__, "has_builtins": "__builtins__" in vars(m),
        "loader": type(m.__loader__).__name__, "spec_name": spec.name,
        "origin": spec.origin, "has_location": spec.has_location,
        "initializing": getattr(spec, "_initializing", None),
    }

events, snapshots = [], {}
watched = ("mujoco", "scipy.spatial.transform", "motion_env_wbt", "math_transfrom", "torch")

class Recorder:
    def find_spec(self, name, path=None, target=None):
        if name in watched and name not in events:
            events.append(name)
            mods = sys.modules
            snapshots[name] = {
                "loaded": [n for n in ("math_transfrom", "motion_env_wbt", "trackscope") if n in mods],
                "public": {n: public(mods[n]) for n in ("math_transfrom", "motion_env_wbt", "trackscope") if n in mods},
            }
            if name == "mujoco":
                snapshots[name]["attrs"] = attrs(mods["trackscope"])
            if name == "math_transfrom":
                snapshots[name]["attrs"] = attrs(mods["motion_env_wbt"])
            if name == "torch":
                snapshots[name]["attrs"] = attrs(mods["math_transfrom"])
                # Planted mid-body: the star imports must copy only the public one.
                vars(mods["math_transfrom"])["planted"] = self
                vars(mods["math_transfrom"])["_hidden"] = self
        return None

recorder = Recorder()
sys.meta_path.insert(0, recorder)
before = list(sys.meta_path)
import trackscope
import math_transfrom, motion_env_wbt
after = list(sys.meta_path)
finder = math_transfrom.__loader__

print(json.dumps({
    "events": events,
    "snapshots": snapshots,
    "meta_path_ok": after == before[:2] + [finder] + before[2:],
    "finder_count": sum(type(f) is type(finder) for f in sys.meta_path),
    "math_public": public(math_transfrom),
    "planted": [hasattr(m, "planted") and m.planted is recorder for m in (motion_env_wbt, trackscope)],
    "hidden": [hasattr(m, "_hidden") for m in (motion_env_wbt, trackscope)],
}))
# The planted recorder ties math_transfrom into a cycle; interpreter exit
# with such a cycle is covered by test_interpreter_exit_with_module_cycle.
sys.stdout.flush()
import os
os._exit(0)
"""


@pytest.fixture(scope="module")
def first_import(tmp_path_factory):
    return run_python(IMPORT_SEQUENCE, tmp_path_factory.mktemp("seq"))


def test_bodies_start_in_dependency_order(first_import):
    assert first_import["meta_path_ok"] and first_import["finder_count"] == 1
    assert first_import["events"] == [
        "mujoco", "scipy.spatial.transform", "motion_env_wbt", "math_transfrom", "torch"]
    snaps = first_import["snapshots"]
    # Each module is in sys.modules before its first statement runs.
    assert snaps["mujoco"]["loaded"] == ["trackscope"]
    assert snaps["mujoco"]["public"]["trackscope"] == []
    assert snaps["math_transfrom"]["loaded"] == ["motion_env_wbt", "trackscope"]
    assert snaps["math_transfrom"]["public"] == {
        "motion_env_wbt": ["np"], "trackscope": ["mujoco", "np", "sRot"]}
    # While math_transfrom runs, the importers have not received its names.
    torch_snap = snaps["torch"]
    assert torch_snap["loaded"] == ["math_transfrom", "motion_env_wbt", "trackscope"]
    assert torch_snap["public"] == {
        "math_transfrom": ["np", "Optional", "Tuple", "R"],
        "motion_env_wbt": ["np"],
        "trackscope": ["mujoco", "np", "sRot"],
    }


@pytest.mark.parametrize("event, name", [
    ("mujoco", "trackscope"), ("math_transfrom", "motion_env_wbt"), ("torch", "math_transfrom")])
def test_attributes_are_set_before_first_statement(first_import, event, name):
    a = first_import["snapshots"][event]["attrs"]
    assert a["file"] == os.path.join(SO_DIR, name + ".py")
    assert a["origin"] == a["file"]
    assert a["has_location"] is True
    assert a["initializing"] is True
    assert a["cached"] is None and a["doc"] is None
    assert a["has_builtins"]
    assert a["loader"] == "ModuleTableFinder"
    assert a["spec_name"] == name
    assert not a["package"]


def test_star_imports_copy_public_names_only(first_import):
    assert first_import["planted"] == [True, True]
    assert first_import["hidden"] == [False, False]


def test_math_transfrom_namespace_order(first_import):
    assert first_import["math_public"] == (
        ["np", "Optional", "Tuple", "R", "planted", "torch", "logging", "logger"]
        + MATH_FUNCTIONS + ["TransformAlignment"])


# --------------------------------------------------------------------------
# State after import, in this process
# --------------------------------------------------------------------------

def test_reimport_returns_existing_modules():
    assert [sys.modules[n] for n in NAMES] == [math_transfrom, motion_env_wbt, trackscope]
    before = {n: dict(vars(sys.modules[n])) for n in NAMES}
    for name in NAMES:
        assert importlib.import_module(name) is sys.modules[name]
    for name in NAMES:
        now = vars(sys.modules[name])
        assert now.keys() == before[name].keys()
        assert all(now[k] is before[name][k] for k in now)


@pytest.mark.parametrize("importer, source", [
    (trackscope, motion_env_wbt), (motion_env_wbt, math_transfrom), (trackscope, math_transfrom)])
def test_star_import_shares_objects(importer, source):
    assert public(source)
    for name in public(source):
        assert getattr(importer, name) is getattr(source, name), name
    assert trackscope.np is np


@pytest.mark.parametrize("name", ["math_transfrom", "motion_env_wbt"])
def test_module_attributes(name):
    module, finder = sys.modules[name], math_transfrom.__loader__
    spec = module.__spec__
    assert (module.__name__, module.__file__) == (name, SO_DIR + "/" + name + ".py")
    assert module.__cached__ is None and module.__doc__ is None and not module.__package__
    assert module.__loader__ is finder and spec.loader is finder
    assert (spec.name, spec.origin, spec.has_location) == (name, module.__file__, True)
    assert spec.submodule_search_locations is None and spec._initializing is False
    assert vars(module)["__builtins__"] is vars(__import__("builtins"))


def test_entry_module_attributes():
    # The interpreter sets __file__ and __spec__ after the init function returns.
    assert (trackscope.__name__, trackscope.__file__) == ("trackscope", SO_PATH)
    assert trackscope.__doc__ is None and trackscope.__cached__ is None
    assert trackscope.__loader__ is math_transfrom.__loader__ and not trackscope.__package__


def test_logger_and_imported_names():
    from scipy.spatial.transform import Rotation
    import logging, typing, torch  # noqa: E401
    mt = math_transfrom
    assert mt.logger is logging.getLogger("math_transfrom")
    assert mt.R is Rotation and trackscope.sRot is Rotation
    assert (mt.Optional, mt.Tuple, mt.torch, mt.logging) == (typing.Optional, typing.Tuple, torch, logging)
    assert not hasattr(mt, "__all__")


# --------------------------------------------------------------------------
# ModuleTableFinder
# --------------------------------------------------------------------------

@pytest.fixture
def finder():
    return math_transfrom.__loader__


@pytest.mark.parametrize("name", ["math_transfrom", "motion_env_wbt", "trackscope"])
def test_find_spec_for_table_names(finder, name):
    for spec in (finder.find_spec(name), finder.find_spec(name, None, None),
                 finder.find_spec(fullname=name, path=["x"], target=math_transfrom)):
        assert type(spec).__name__ == "ModuleSpec"
        assert (spec.name, spec.loader, spec.parent, spec.origin) == (name, finder, "", None)
        assert spec.submodule_search_locations is None
    assert finder.is_package(name) is False


@pytest.mark.parametrize("name", ["numpy", "math_transfrom.quat_mul", "pkg.math_transfrom",
                                  "Math_transfrom", "", "trackscope2", b"math_transfrom", 42])
def test_find_spec_for_other_names(finder, name):
    assert finder.find_spec(name) is None
    assert finder.find_spec(name, None, None) is None
    assert finder.is_package(name) is None


def test_create_module_is_new_and_empty(finder):
    spec = finder.find_spec("math_transfrom")
    module = finder.create_module(spec)
    assert type(module) is type(math_transfrom) and module is not math_transfrom
    assert module.__name__ == "math_transfrom" and public(module) == []
    assert sys.modules["math_transfrom"] is math_transfrom


def test_exec_module_and_reload(tmp_path):
    out = run_python(r"""
        import importlib, importlib.util, json, sys
        import trackscope, math_transfrom
        finder = math_transfrom.__loader__
        old = math_transfrom.quat_mul

        # A module made from the finder's ModuleSpec runs its body afresh.
        spec = finder.find_spec("math_transfrom")
        fresh = importlib.util.module_from_spec(spec)
        finder.exec_module(fresh)
        r1 = [
            sys.modules["math_transfrom"] is fresh,
            fresh.quat_mul is not old,
            fresh.quat_mul.__globals__ is vars(fresh),
            fresh.__spec__._initializing is False,
            fresh.quat_mul([0, 1, 0, 0], [0, 0, 1, 0]).tolist() == [0, 0, 0, 1],
        ]

        # reload re-runs the body on the same module object.
        before = fresh.quat_inv
        again = importlib.reload(fresh)
        r2 = [again is fresh, fresh.quat_inv is not before,
              fresh.quat_inv([2.0, 0, 0, 0]).tolist() == [0.5, 0, 0, 0]]
        print(json.dumps([r1, r2]))
    """, tmp_path)
    assert out == [[True] * 5, [True] * 3]


def test_star_import_survives_all_changing_during_lookup(tmp_path):
    # A module __getattr__ run by `from math_transfrom import *` in
    # motion_env_wbt's body replaces the __all__ being walked: names are
    # fetched one index at a time, as the interpreter's own import does.
    out = run_python(r"""
        import importlib.util, json, sys
        import trackscope, math_transfrom
        names = ["quat_mul", "missing_name", "quat_inv"] + ["quat_conjugate"] * 50
        math_transfrom.__all__ = names
        def __getattr__(attr):
            if attr == "missing_name" and "importlib" not in sys._getframe(1).f_code.co_filename:
                names[:] = [object()]
            return 1.5
        math_transfrom.__getattr__ = __getattr__
        finder = math_transfrom.__loader__
        fresh = importlib.util.module_from_spec(finder.find_spec("motion_env_wbt"))
        finder.exec_module(fresh)
        names[:] = ["quat_mul", 7]
        try:
            finder.exec_module(importlib.util.module_from_spec(finder.find_spec("motion_env_wbt")))
        except TypeError as exc:
            error = str(exc)
        print(json.dumps([sorted(k for k in vars(fresh) if not k.startswith("_")), error]))
    """, tmp_path)
    assert out == [["Wbt_env", "Wbt_env_sim", "missing_name", "np", "quat_mul"],
                   "Item in math_transfrom.__all__ must be str, not int"]


# --------------------------------------------------------------------------
# Before the extension / repeated loading
# --------------------------------------------------------------------------

def test_submodules_need_the_extension_first(tmp_path):
    out = run_python(r"""
        import json, sys
        errors = []
        for name in ("math_transfrom", "motion_env_wbt"):
            try:
                __import__(name)
            except ModuleNotFoundError as e:
                errors.append([type(e).__name__, e.name, str(e)])
        import trackscope
        import math_transfrom
        print(json.dumps({"errors": errors, "ok": math_transfrom.quat_conjugate([1, 2, 3, 4]).tolist()}))
    """, tmp_path)
    assert out["errors"] == [
        ["ModuleNotFoundError", "math_transfrom", "No module named 'math_transfrom'"],
        ["ModuleNotFoundError", "motion_env_wbt", "No module named 'motion_env_wbt'"],
    ]
    assert out["ok"] == [1, -2, -3, -4]


@pytest.mark.parametrize("statement", [
    "math_transfrom.self_ref = math_transfrom",
    "trackscope.loop = [trackscope, math_transfrom]; trackscope.loop.append(trackscope.loop)",
])
def test_interpreter_exit_with_module_cycle(tmp_path, statement):
    out = run_python("import json, trackscope, math_transfrom\n" + statement
                     + "\nprint(json.dumps(True))", tmp_path)
    assert out is True


def test_entry_reimport_after_removal_keeps_single_finder(tmp_path):
    out = run_python(r"""
        import json, sys
        import trackscope, math_transfrom
        f = math_transfrom.quat_mul
        del sys.modules["trackscope"]
        import trackscope as again
        finder = math_transfrom.__loader__
        print(json.dumps([
            sum(type(x) is type(finder) for x in sys.meta_path),
            again.quat_mul is f,
            math_transfrom.quat_mul is f,
        ]))
    """, tmp_path)
    assert out == [1, True, True]


# --------------------------------------------------------------------------
# Package context
# --------------------------------------------------------------------------

def test_import_from_package(tmp_path):
    pkg = tmp_path / "pkg"
    pkg.mkdir()
    (pkg / "__init__.py").write_text("")
    shutil.copy(SO_PATH, pkg / os.path.basename(SO_PATH))
    out = run_python(r"""
        import json, sys
        import pkg.trackscope as entry
        import math_transfrom, motion_env_wbt
        finder = math_transfrom.__loader__
        print(json.dumps({
            "name": entry.__name__, "package": entry.__package__,
            "in_modules": [n for n in ("pkg.trackscope", "trackscope", "math_transfrom", "motion_env_wbt") if n in sys.modules],
            "names": [math_transfrom.__name__, motion_env_wbt.__name__],
            "packages": [math_transfrom.__package__, motion_env_wbt.__package__],
            "files": [math_transfrom.__file__, motion_env_wbt.__file__],
            "spec_entry": finder.find_spec("pkg.trackscope") is not None,
            "spec_plain": finder.find_spec("trackscope") is not None,
            "spec_math": finder.find_spec("math_transfrom") is not None,
            "spec_pkg_math": finder.find_spec("pkg.math_transfrom") is not None,
            "shared": entry.quat_mul is math_transfrom.quat_mul,
            "attr": sys.modules["pkg"].trackscope is entry,
        }))
    """, tmp_path)
    pkg_dir = str(pkg)
    assert out["name"] == "pkg.trackscope"
    assert out["package"] == "pkg"
    assert out["in_modules"] == ["pkg.trackscope", "math_transfrom", "motion_env_wbt"]
    assert out["names"] == ["math_transfrom", "motion_env_wbt"]
    assert not any(out["packages"])
    assert out["files"] == [pkg_dir + "/math_transfrom.py", pkg_dir + "/motion_env_wbt.py"]
    assert out["spec_entry"] and not out["spec_plain"]
    assert out["spec_math"] and not out["spec_pkg_math"]
    assert out["shared"] and out["attr"]


# --------------------------------------------------------------------------
# Failure of a body: the exception surfaces unchanged, nothing is left behind
# --------------------------------------------------------------------------

FAILING_IMPORT = r"""
import json, sys
BLOCKED = %r
RETRY = %r

class Boom(Exception):
    pass

raised = []

class Blocker:
    def find_spec(self, name, path=None, target=None):
        if name in BLOCKED:
            kind = BLOCKED[name]
            e = Boom(name) if kind == "boom" else ModuleNotFoundError("No module named %%r" %% name, name=name)
            raised.append(e)
            raise e
        return None

blocker = Blocker()
sys.meta_path.insert(0, blocker)
result = {}
try:
    import trackscope
except BaseException as e:
    result["error"] = [type(e).__name__, getattr(e, "name", None), str(e)]
    result["same_object"] = bool(raised) and e is raised[0]
result["left"] = [n for n in ("trackscope", "math_transfrom", "motion_env_wbt") if n in sys.modules]
if RETRY:
    sys.meta_path.remove(blocker)
    import trackscope, math_transfrom
    finder = math_transfrom.__loader__
    result["finders"] = sum(type(f) is type(finder) for f in sys.meta_path)
    result["works"] = trackscope.quat_mul([0, 1, 0, 0], [0, 0, 1, 0]).tolist()
    result["public"] = "TransformAlignment" in vars(trackscope)
print(json.dumps(result))
"""


@pytest.mark.parametrize("blocked, surfaced, retry", [
    ({"mujoco": "mnf"}, "mujoco", True),
    ({"numpy": "mnf"}, "numpy", False),
    ({"scipy": "mnf"}, "scipy", False),
    ({"torch": "mnf"}, "torch", True),
    ({"mujoco": "mnf", "torch": "mnf"}, "mujoco", False),
    ({"scipy": "mnf", "torch": "mnf"}, "scipy", False),
])
def test_missing_dependency(tmp_path, blocked, surfaced, retry):
    out = run_python(FAILING_IMPORT % (blocked, retry), tmp_path)
    assert out["error"] == ["ModuleNotFoundError", surfaced, "No module named %r" % surfaced]
    assert out["left"] == []
    if retry:
        assert out["finders"] == 1
        assert out["works"] == [0, 0, 0, 1]
        assert out["public"]


def test_foreign_exception_propagates_unchanged(tmp_path):
    out = run_python(FAILING_IMPORT % ({"torch": "boom"}, False), tmp_path)
    assert out["error"] == ["Boom", None, "torch"]
    assert out["same_object"] is True
    assert out["left"] == []
