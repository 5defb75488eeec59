"""Build manylinux wheels of trackscope for x86_64 and aarch64.

Each wheel is built by the project's own pyproject.toml / scikit-build-core /
CMake build, run by the matching CPython interpreter of this machine, with
zig's clang as the compiler: it targets an old glibc (2.17 by default, so the
wheel loads on any manylinux2014 system) and links libc++ statically, so the
extension needs no GLIBCXX symbol versions.  The target's NumPy headers come
from NumPy's wheel for that platform; the Python headers come from the
interpreter (for aarch64 with the few architecture-dependent pyconfig.h
entries set for that architecture).  auditwheel then repairs (retags) and
checks each wheel, and the extension is checked for build-machine paths,
run paths and exported symbols.

Run through `bash scripts/wheels.sh`, which provides zig and auditwheel.
"""
from __future__ import annotations

import argparse
import fcntl
import glob
import os
import re
import shutil
import subprocess
import sys
import time
import zipfile
from dataclasses import dataclass
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
ARCHES = ("x86_64", "aarch64")
VERSIONS = ("3.10", "3.11", "3.12", "3.13")
# NumPy 2 headers (the build targets the 1.22 C API, see CMakeLists.txt);
# the last release with wheels for every supported Python.
NUMPY_HEADERS = "numpy==2.2.6"
ELF_MACHINE = {"x86_64": "EM_X86_64", "aarch64": "EM_AARCH64"}
# pyconfig.h entries that configure sets differently on aarch64 than on
# x86_64 Linux (compare Debian's two builds of one CPython); nothing else in
# the header depends on the architecture.
AARCH64_PYCONFIG = {
    "HAVE_GCC_ASM_FOR_X64": None,
    "HAVE_GCC_ASM_FOR_X87": None,
    "HAVE_USABLE_WCHAR_T": "1",
    "PY_SUPPORT_TIER": "2",
}
# Shared libraries any manylinux system provides; anything else is an error.
SYSTEM_LIBRARIES = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2",
                    "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1"}


class BuildError(RuntimeError):
    pass


@dataclass(frozen=True)
class Target:
    version: str  # "3.11"
    arch: str     # "x86_64" / "aarch64"
    glibc: str    # "2.17"

    @property
    def name(self) -> str:
        return f"cp{self.version.replace('.', '')}-{self.arch}"

    @property
    def zig_target(self) -> str:
        return f"{self.arch}-linux-gnu.{self.glibc}"

    @property
    def platform_tag(self) -> str:
        return f"manylinux_{self.glibc.replace('.', '_')}_{self.arch}"

    @property
    def ext_suffix(self) -> str:
        return f".cpython-{self.version.replace('.', '')}-{self.arch}-linux-gnu.so"


def log(message: str) -> None:
    print(message, flush=True)


def run(cmd: list[str], logfile: Path | None = None, env: dict | None = None) -> str:
    """Run a command; on failure raise with the end of its output."""
    proc = subprocess.run([str(c) for c in cmd], env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True)
    if logfile is not None:
        logfile.parent.mkdir(parents=True, exist_ok=True)
        with logfile.open("a") as f:
            f.write("$ " + " ".join(map(str, cmd)) + "\n" + proc.stdout + "\n")
    if proc.returncode != 0:
        tail = "\n".join(proc.stdout.splitlines()[-40:])
        where = f" (full output: {logfile})" if logfile else ""
        raise BuildError(f"command failed with exit code {proc.returncode}{where}:\n"
                         f"  {' '.join(map(str, cmd))}\n{tail}")
    return proc.stdout


# --- inputs for one target -------------------------------------------------

def find_interpreter(version: str, given: dict[str, str]) -> Path:
    """The CPython `version` interpreter: --interpreter, PATH, then pyenv."""
    if version in given:
        candidates = [given[version]]
    else:
        on_path = shutil.which(f"python{version}")
        pyenv = glob.glob(os.path.expanduser(f"~/.pyenv/versions/{version}.*/bin/python{version}"))
        pyenv.sort(key=lambda p: [int(x) for x in re.findall(r"\d+", Path(p).parts[-3])], reverse=True)
        candidates = ([on_path] if on_path else []) + pyenv
    for path in candidates:
        proc = subprocess.run([path, "-c", "import sys; print('%d.%d' % sys.version_info[:2], "
                               "sys.implementation.name)"], capture_output=True, text=True)
        if proc.returncode == 0 and proc.stdout.split() == [version, "cpython"]:
            return Path(path)
    raise BuildError(f"no CPython {version} interpreter found (tried: {', '.join(candidates) or 'none'}); "
                     f"pass --interpreter {version}=PATH or leave {version} out of --python")


def interpreter_include(interpreter: Path) -> Path:
    out = run([interpreter, "-c", "import sysconfig; print(sysconfig.get_paths()['include'])"])
    include = Path(out.strip())
    if not (include / "Python.h").is_file() or not (include / "pyconfig.h").is_file():
        raise BuildError(f"{interpreter} has no C headers in {include}")
    return include


def aarch64_pyconfig(text: str) -> str:
    """pyconfig.h of an x86_64 Linux CPython, rewritten for aarch64 Linux."""
    if not re.search(r"^#define HAVE_GCC_ASM_FOR_X64 1$", text, re.M):
        raise BuildError("pyconfig.h does not come from an x86_64 Linux CPython")
    for macro, value in AARCH64_PYCONFIG.items():
        pattern = re.compile(rf"^(#define {macro}\b.*|/\* #undef {macro} \*/)$", re.M)
        line = f"#define {macro} {value}" if value else f"/* #undef {macro} */"
        if pattern.search(text):
            text = pattern.sub(line, text)
        elif macro != "PY_SUPPORT_TIER":  # only in 3.11 and newer
            raise BuildError(f"pyconfig.h has no entry for {macro}")
    return text


def python_headers(target: Target, interpreter: Path, work: Path) -> Path:
    include = interpreter_include(interpreter)
    if target.arch == platform_machine(interpreter):
        return include
    dest = work / "python-include"
    shutil.rmtree(dest, ignore_errors=True)
    shutil.copytree(include, dest)
    pyconfig = dest / "pyconfig.h"
    if target.arch != "aarch64":
        raise BuildError(f"no header conversion for {target.arch}")
    pyconfig.write_text(aarch64_pyconfig(pyconfig.read_text()))
    return dest


def platform_machine(interpreter: Path) -> str:
    return run([interpreter, "-c", "import platform; print(platform.machine())"]).strip()


def numpy_headers(target: Target, numpy: str, downloads: Path, work: Path) -> Path:
    """Unpack numpy/_core/include from NumPy's wheel for the target."""
    tag = target.version.replace(".", "")
    pattern = f"numpy-*-cp{tag}-cp{tag}-*{target.arch}*.whl"
    wanted = numpy.split("==", 1)[1] if "==" in numpy else None
    matches = [w for w in downloads.glob(pattern) if wanted is None or f"-{wanted}-" in w.name]
    if not matches:
        run([sys.executable, "-m", "pip", "download", "--quiet", "--disable-pip-version-check",
             "--no-deps", "--only-binary", ":all:", "--implementation", "cp",
             "--python-version", target.version,
             "--platform", f"manylinux_2_17_{target.arch}", "--platform", f"manylinux2014_{target.arch}",
             "--platform", f"manylinux_2_28_{target.arch}", "-d", downloads, numpy],
            logfile=work / "build.log")
        matches = [w for w in downloads.glob(pattern) if wanted is None or f"-{wanted}-" in w.name]
        if not matches:
            raise BuildError(f"pip found no {numpy} wheel for cp{tag} {target.arch}")
    dest = work / "numpy-include"
    shutil.rmtree(dest, ignore_errors=True)
    with zipfile.ZipFile(sorted(matches)[-1]) as wheel:
        members = [m for m in wheel.namelist() if m.startswith("numpy/_core/include/")]
        if not members:
            raise BuildError(f"{matches[0].name} has no numpy/_core/include")
        wheel.extractall(dest, members)
    return dest / "numpy" / "_core" / "include"


def zig_toolchain(target: Target, work: Path, cache: Path) -> Path:
    """Compiler wrappers and a CMake toolchain file for zig's clang."""
    import ziglang  # provided by scripts/wheels.sh

    zig = Path(ziglang.__file__).parent / "zig"
    bindir = work / "toolchain"
    bindir.mkdir(parents=True, exist_ok=True)
    env = f'ZIG_GLOBAL_CACHE_DIR="{cache}" ZIG_LOCAL_CACHE_DIR="{cache}"'
    tools = {"c++": f"c++ -target {target.zig_target}", "cc": f"cc -target {target.zig_target}",
             "ar": "ar", "ranlib": "ranlib"}
    for name, command in tools.items():
        wrapper = bindir / f"zig-{name}"
        wrapper.write_text(f'#!/bin/sh\n{env} exec "{zig}" {command} "$@"\n')
        wrapper.chmod(0o755)
    toolchain = work / "toolchain.cmake"
    toolchain.write_text(f"""\
# zig's clang for {target.zig_target}: glibc {target.glibc} symbols, static libc++.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR {target.arch})
set(CMAKE_C_COMPILER "{bindir / 'zig-cc'}")
set(CMAKE_CXX_COMPILER "{bindir / 'zig-c++'}")
set(CMAKE_AR "{bindir / 'zig-ar'}" CACHE FILEPATH "")
set(CMAKE_RANLIB "{bindir / 'zig-ranlib'}" CACHE FILEPATH "")
# No debug information or symbol table (they would carry build paths).
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-s")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-s")
""")
    return toolchain


# --- build, repair, check ---------------------------------------------------

def build_env(version: str, interpreter: Path, work: Path) -> Path:
    """A venv of `interpreter` holding the build backend, CMake and Ninja.

    The build runs without pip's build isolation: with the target platform
    set, an isolated environment would receive the target's CMake binaries.
    """
    env = work / f"env-cp{version.replace('.', '')}"
    python = env / "bin" / "python"
    if not python.exists():
        run([interpreter, "-m", "venv", env])
    run([python, "-m", "pip", "install", "--quiet", "--disable-pip-version-check", "--upgrade",
         "pip", "scikit-build-core>=0.10", "cmake>=3.18", "ninja"], logfile=env / "install.log")
    return python


def build_wheel(target: Target, interpreter: Path, work: Path, numpy: str, downloads: Path) -> Path:
    """pip wheel of this checkout for `target`; returns the linux_* wheel."""
    python = build_env(target.version, interpreter, work.parent)
    py_include = python_headers(target, interpreter, work)
    np_include = numpy_headers(target, numpy, downloads, work)
    toolchain = zig_toolchain(target, work, work.parent / "zig-cache")
    raw, tmp = work / "raw", work / "tmp"
    for path in (raw, tmp):
        shutil.rmtree(path, ignore_errors=True)
    tmp.mkdir()
    settings = {
        "build-dir": str(work / "cmake"),
        "cmake.args": f"-DCMAKE_TOOLCHAIN_FILE={toolchain}",
        "cmake.define.Python_INCLUDE_DIR": str(py_include),
        "cmake.define.NUMPY_INCLUDE_DIR": str(np_include),
    }
    env = dict(os.environ,
               _PYTHON_HOST_PLATFORM=f"linux-{target.arch}",
               SETUPTOOLS_EXT_SUFFIX=target.ext_suffix,
               CMAKE_BUILD_PARALLEL_LEVEL=str(os.cpu_count() or 2),
               TMPDIR=str(tmp))
    env["PATH"] = f"{python.parent}{os.pathsep}{env.get('PATH', '')}"
    cmd = [python, "-m", "pip", "wheel", "--disable-pip-version-check", "--no-deps",
           "--no-build-isolation", "--wheel-dir", raw, REPO]
    cmd += [f"--config-settings={k}={v}" for k, v in settings.items()]
    run(cmd, logfile=work / "build.log", env=env)
    wheels = list(raw.glob(f"trackscope-*-linux_{target.arch}.whl"))
    if len(wheels) != 1:
        raise BuildError(f"expected one linux_{target.arch} wheel in {raw}, found {wheels}")
    return wheels[0]


def repair(target: Target, wheel: Path, dist: Path, work: Path) -> tuple[Path, str]:
    """auditwheel repair to the manylinux tag, then auditwheel show."""
    repaired = work / "repaired"
    shutil.rmtree(repaired, ignore_errors=True)
    # --plat auto: auditwheel names only the build machine's architecture
    # explicitly; the lowest policy the wheel meets is checked below.
    env = dict(os.environ, PATH=f"{Path(sys.executable).parent}{os.pathsep}{os.environ.get('PATH', '')}")
    run([sys.executable, "-m", "auditwheel", "repair", "--plat", "auto",
         "--wheel-dir", repaired, wheel], logfile=work / "build.log", env=env)
    (out,) = repaired.glob("*.whl")
    if target.platform_tag not in out.name:
        raise BuildError(f"auditwheel gave {out.name}, expected the tag {target.platform_tag}")
    dist.mkdir(parents=True, exist_ok=True)
    final = dist / out.name
    shutil.move(str(out), final)
    show = run([sys.executable, "-m", "auditwheel", "show", final], logfile=work / "build.log")
    return final, " ".join(show.split())


def extension_problems(data: bytes, arch: str, forbidden: list[str]) -> list[str]:
    """What is wrong with an extension binary for a wheel (empty if nothing)."""
    import io

    from elftools.elf.dynamic import DynamicSection
    from elftools.elf.elffile import ELFFile

    problems = []
    elf = ELFFile(io.BytesIO(data))
    if elf["e_machine"] != ELF_MACHINE[arch]:
        problems.append(f"machine {elf['e_machine']}, not {arch}")
    exports, needed = set(), set()
    for section in elf.iter_sections():
        if section.name.startswith(".debug") or section.name == ".symtab":
            problems.append(f"section {section.name} not stripped")
        if isinstance(section, DynamicSection):
            for tag in section.iter_tags():
                if tag.entry.d_tag in ("DT_RPATH", "DT_RUNPATH"):
                    problems.append(f"{tag.entry.d_tag} {getattr(tag, 'rpath', '') or getattr(tag, 'runpath', '')}")
                elif tag.entry.d_tag == "DT_NEEDED":
                    needed.add(tag.needed)
    dynsym = elf.get_section_by_name(".dynsym")
    for sym in dynsym.iter_symbols() if dynsym else ():
        if sym["st_shndx"] != "SHN_UNDEF" and sym["st_info"]["bind"] != "STB_LOCAL" and sym.name:
            exports.add(sym.name)
    if exports != {"PyInit_trackscope"}:
        problems.append(f"exports {sorted(exports)}, not only PyInit_trackscope")
    if needed - SYSTEM_LIBRARIES:
        problems.append(f"needs {sorted(needed - SYSTEM_LIBRARIES)}")
    for text in forbidden:
        if text.encode() in data:
            problems.append(f"contains the build path {text}")
    return problems


def check_wheel(target: Target, wheel: Path, forbidden: list[str]) -> None:
    with zipfile.ZipFile(wheel) as zf:
        names = [n for n in zf.namelist() if n.endswith(".so")]
        expected = "trackscope" + target.ext_suffix
        if names != [expected]:
            raise BuildError(f"{wheel.name} holds {names}, expected [{expected}]")
        problems = extension_problems(zf.read(names[0]), target.arch, forbidden)
    if problems:
        raise BuildError(f"{wheel.name}: " + "; ".join(problems))


def forbidden_paths(work: Path) -> list[str]:
    """Paths of this machine that must not end up in a binary."""
    import ziglang

    paths = {str(REPO), str(work.resolve()), os.path.expanduser("~"),
             str(Path(ziglang.__file__).parent), "/tmp/"}
    return sorted(p for p in paths if p not in ("", "/"))


# --- command line -----------------------------------------------------------

def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="bash scripts/wheels.sh",
        description="Build manylinux wheels of trackscope with zig's clang (no container), "
                    "repair and check them with auditwheel, and put them in --dist.")
    parser.add_argument("--python", nargs="+", choices=VERSIONS, metavar="X.Y",
                        help="CPython versions to build for, each needing a local interpreter of "
                        "that version (default: each of %(choices)s with an interpreter here)")
    parser.add_argument("--arch", nargs="+", default=list(ARCHES), choices=ARCHES,
                        help="target architectures (default: both)")
    parser.add_argument("--glibc", default="2.17",
                        help="oldest glibc the wheels load on; the manylinux tag follows it "
                        "(default: %(default)s, i.e. manylinux2014)")
    parser.add_argument("--interpreter", action="append", default=[], metavar="X.Y=PATH",
                        help="the interpreter for version X.Y (default: pythonX.Y on PATH, "
                        "then the newest ~/.pyenv/versions/X.Y.*); repeatable")
    parser.add_argument("--numpy", default=NUMPY_HEADERS,
                        help="NumPy requirement whose wheel provides the headers (default: %(default)s)")
    parser.add_argument("--dist", type=Path, default=REPO / "dist",
                        help="where the wheels go (default: dist/)")
    parser.add_argument("--work", type=Path, default=REPO / "build" / "wheels",
                        help="build directory: downloads, zig cache, logs (default: build/wheels/)")
    args = parser.parse_args(argv)
    interpreters = {}
    for item in args.interpreter:
        version, sep, path = item.partition("=")
        if not sep or version not in VERSIONS:
            parser.error(f"--interpreter expects X.Y=PATH with X.Y one of {VERSIONS}, got {item!r}")
        interpreters[version] = path
    args.interpreters = interpreters
    if not re.fullmatch(r"2\.\d+", args.glibc) or not 17 <= int(args.glibc[2:]) <= 28:
        parser.error(f"--glibc must be 2.17 to 2.28, got {args.glibc!r}")
    return args


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    work = args.work.resolve()
    dist = args.dist.resolve()
    downloads = work / "downloads"
    downloads.mkdir(parents=True, exist_ok=True)
    lock = (work / ".lock").open("w")
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        print(f"error: another build is running in {work}", file=sys.stderr)
        return 1
    interpreters = {}
    for version in args.python or VERSIONS:
        try:
            interpreters[version] = find_interpreter(version, args.interpreters)
        except BuildError as err:
            if args.python:
                print(f"error: {err}", file=sys.stderr)
                return 1
            log(f"skipping Python {version}: {err}")
    if not interpreters:
        print("error: no CPython interpreter found for any of " + " ".join(VERSIONS), file=sys.stderr)
        return 1
    forbidden = forbidden_paths(work)
    targets = [Target(v, a, args.glibc) for v in interpreters for a in args.arch]
    built, failed = [], []
    for i, target in enumerate(targets, 1):
        tdir = work / target.name
        tdir.mkdir(parents=True, exist_ok=True)
        (tdir / "build.log").unlink(missing_ok=True)
        log(f"[{i}/{len(targets)}] {target.name}: building with {interpreters[target.version]} "
            f"and zig c++ -target {target.zig_target} (log: {tdir / 'build.log'})")
        start = time.monotonic()
        try:
            raw = build_wheel(target, interpreters[target.version], tdir, args.numpy, downloads)
            final, show = repair(target, raw, dist, tdir)
            check_wheel(target, final, forbidden)
        except BuildError as err:
            log(f"[{i}/{len(targets)}] {target.name}: FAILED\n{err}")
            failed.append(target.name)
            continue
        log(f"[{i}/{len(targets)}] {target.name}: {final.name} "
            f"({final.stat().st_size / 1e6:.2f} MB, {time.monotonic() - start:.0f} s)\n  auditwheel show: {show}")
        built.append(final)
    log("\nwheels:")
    for wheel in built:
        log(f"  {wheel.relative_to(dist.parent) if dist.parent in wheel.parents else wheel}"
            f"  {wheel.stat().st_size:,} bytes")
    if failed:
        log(f"failed: {', '.join(failed)}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
