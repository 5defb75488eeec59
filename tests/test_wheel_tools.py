"""The wheel tools' checks and conversions (tools/wheels.py, tools/aarch64_test.py),
and what they require of the extension this suite runs against."""

import platform
import sys
import sysconfig
from pathlib import Path

import pytest

import trackscope

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))
import aarch64_test  # noqa: E402
import wheels  # noqa: E402

HOST_ARCH = platform.machine()
SO_BYTES = Path(trackscope.__file__).read_bytes()


@pytest.mark.skipif(HOST_ARCH not in wheels.ARCHES, reason="no wheel target for this machine")
def test_extension_exports_only_init_and_has_no_run_path():
    pytest.importorskip("elftools")
    problems = wheels.extension_problems(SO_BYTES, HOST_ARCH, [])
    # A development build keeps its symbol table and links the system C++ runtime.
    assert [p for p in problems if not p.startswith(("section .symtab", "section .debug", "needs "))] == []


@pytest.mark.skipif(HOST_ARCH not in wheels.ARCHES, reason="no wheel target for this machine")
def test_extension_problems_are_reported():
    pytest.importorskip("elftools")
    other = next(a for a in wheels.ARCHES if a != HOST_ARCH)
    problems = wheels.extension_problems(SO_BYTES, other, ["PyInit_trackscope", "/nowhere/at/all"])
    assert any(p.startswith("machine ") for p in problems)
    assert "contains the build path PyInit_trackscope" in problems
    assert not any("/nowhere/at/all" in p for p in problems)


def test_aarch64_pyconfig_changes_only_architecture_entries():
    x86 = "\n".join([
        "#define HAVE_GCC_ASM_FOR_X64 1", "#define HAVE_GCC_ASM_FOR_X87 1",
        "/* #undef HAVE_USABLE_WCHAR_T */", "#define PY_SUPPORT_TIER 1", "#define SIZEOF_LONG 8", ""])
    assert wheels.aarch64_pyconfig(x86).splitlines() == [
        "/* #undef HAVE_GCC_ASM_FOR_X64 */", "/* #undef HAVE_GCC_ASM_FOR_X87 */",
        "#define HAVE_USABLE_WCHAR_T 1", "#define PY_SUPPORT_TIER 2", "#define SIZEOF_LONG 8"]
    # Python 3.10 has no support tier entry.
    older = x86.replace("#define PY_SUPPORT_TIER 1\n", "")
    assert "PY_SUPPORT_TIER" not in wheels.aarch64_pyconfig(older)
    with pytest.raises(wheels.BuildError, match="x86_64"):
        wheels.aarch64_pyconfig(wheels.aarch64_pyconfig(x86))
    with pytest.raises(wheels.BuildError, match="HAVE_USABLE_WCHAR_T"):
        wheels.aarch64_pyconfig(x86.replace("/* #undef HAVE_USABLE_WCHAR_T */\n", ""))


@pytest.mark.skipif(HOST_ARCH != "x86_64" or not sys.platform.startswith("linux"),
                    reason="needs an x86_64 Linux pyconfig.h")
def test_aarch64_pyconfig_of_this_interpreter():
    text = (Path(sysconfig.get_paths()["include"]) / "pyconfig.h").read_text()
    changed = set(text.splitlines()) ^ set(wheels.aarch64_pyconfig(text).splitlines())
    assert len(changed) == 2 * (3 + (sys.version_info >= (3, 11)))


@pytest.mark.parametrize("version, arch, tag, suffix", [
    ("3.10", "aarch64", "manylinux_2_17_aarch64", ".cpython-310-aarch64-linux-gnu.so"),
    ("3.13", "x86_64", "manylinux_2_17_x86_64", ".cpython-313-x86_64-linux-gnu.so"),
])
def test_target_names(version, arch, tag, suffix):
    target = wheels.Target(version, arch, "2.17")
    assert (target.platform_tag, target.ext_suffix, target.zig_target) == (tag, suffix, f"{arch}-linux-gnu.2.17")


def test_torch_dependencies_are_evaluated_for_aarch64():
    pytest.importorskip("packaging")
    metadata = "\n".join([
        "Name: torch",
        "Requires-Dist: filelock",
        "Requires-Dist: setuptools; python_version >= \"3.12\"",
        "Requires-Dist: sympy>=1.13.3",
        "Requires-Dist: triton==3.6.0; platform_system == \"Linux\" and platform_machine == \"x86_64\"",
        "Requires-Dist: nvidia-cudnn-cu13==9.20.0.48; platform_system == \"Linux\"",
        "Requires-Dist: optree>=0.13.0; extra == \"optree\"",
    ])
    assert aarch64_test.target_requirements(metadata) == [
        "filelock", "sympy>=1.13.3", "nvidia-cudnn-cu13==9.20.0.48"]


def test_parse_args_rejects_bad_options(capsys):
    for argv in (["--glibc", "2.34"], ["--interpreter", "3.11"], ["--python", "3.9"]):
        with pytest.raises(SystemExit) as exc:
            wheels.parse_args(argv)
        assert exc.value.code == 2
    assert "--glibc must be 2.17 to 2.28" in capsys.readouterr().err
