"""Whole datasets: motion files named by paths, folders and globs, converted
into clips over worker processes. Every clip is written atomically, so an
interrupted run or a failing file never leaves a partial clip."""

import concurrent.futures as cf
import dataclasses
import glob
import multiprocessing
import os
import signal
import sys
import time

from .catalog import CONVERT_MODULES, EXTENSIONS

MOTION_EXTENSIONS = tuple(EXTENSIONS)
GLOB_CHARS = "*?["


class DatasetError(Exception):
    """Bad sources or options (found before anything is converted), or a
    model the workers cannot use (the run stops)."""


@dataclasses.dataclass
class Options:
    """How each file is read and recorded (the convert options)."""
    fps: float = None
    quat_layout: str = None
    layout: str = None
    ground: bool = False
    model_path: str = None


@dataclasses.dataclass
class Result:
    source: str
    clip: str
    verdict: str = "ok"
    layout: str = ""
    frames: int = 0
    seconds: float = 0.0
    failed: bool = False
    fatal: bool = False       # the model itself is unusable: stop the run


@dataclasses.dataclass
class Converted:
    path: str
    line: str                 # how the source was read
    frames: int
    offset: float             # vertical shift of --ground (m), 0 without it
    lines: list               # inspect's description of the written clip
    problems: list            # inspect's format problems (empty: good clip)


def parse_shard(text):
    """'K/N' -> (K, N), 0 <= K < N."""
    try:
        k, n = (int(v) for v in text.split("/"))
    except ValueError:
        raise ValueError(f"--shard takes K/N (two integers), got {text!r}") from None
    if n < 1 or not 0 <= k < n:
        raise ValueError(f"--shard K/N needs 0 <= K < N, got {text!r}")
    return k, n


def _motion_files(folder):
    out = []
    for top, dirs, files in os.walk(folder):
        dirs.sort()
        out += [os.path.join(top, f) for f in files
                if os.path.splitext(f)[1].lower() in MOTION_EXTENSIONS and not f.startswith(".")]
    return out


def find_sources(args):
    """Motion files, sorted: files as named, folders searched recursively by
    extension, globs expanded (folders among the matches searched too)."""
    found = []
    for arg in args:
        if os.path.isdir(arg):
            files = _motion_files(arg)
            if not files:
                raise DatasetError(f"{arg}: no motion files ({', '.join(MOTION_EXTENSIONS)}) in the folder")
            found += files
        elif os.path.isfile(arg):
            found.append(arg)
        elif any(c in arg for c in GLOB_CHARS):
            files = []
            for match in glob.glob(arg, recursive=True):
                if os.path.isdir(match):
                    files += _motion_files(match)
                elif os.path.splitext(match)[1].lower() in MOTION_EXTENSIONS:
                    files.append(match)
            if not files:
                raise DatasetError(f"{arg}: matches no motion files")
            found += files
        else:
            raise DatasetError(f"{arg}: no such file or folder")
    unique = {}
    for path in found:
        unique.setdefault(os.path.realpath(path), os.path.normpath(path))
    return sorted(unique.values())


def clip_name(source):
    return os.path.splitext(os.path.basename(source))[0]


def check_names(sources):
    """Refuse two sources that would write one clip."""
    by_name = {}
    for s in sources:
        by_name.setdefault(clip_name(s), []).append(s)
    clashes = {n: s for n, s in by_name.items() if len(s) > 1}
    if clashes:
        name, paths = next(iter(sorted(clashes.items())))
        more = f" (and {len(clashes) - 1} more name(s))" if len(clashes) > 1 else ""
        raise DatasetError(f"sources share the clip name {name!r}: {', '.join(paths)}{more}; "
                           "clips are named by the source's file name without extension")


def convert_one(source, path, model, tables, options, kinematics_note=True):
    """Read, resample (and ground), record and write one clip at `path`, then
    run inspect's format checks on the written file (and its note on the
    model's kinematics, which never fails a clip recorded on that model)."""
    from .clipfile import inspect_clip, write_clip
    from .motion import resample
    from .readers import load_motion
    from .recording import ground, record_clip
    motion, line = load_motion(source, options.fps, options.quat_layout,
                               tables.orig_names_joint, options.layout)
    motion = resample(motion)
    offset = 0.0
    if options.ground:
        motion, offset = ground(model, motion)
    write_clip(path, record_clip(model, motion, tables))
    lines, problems = inspect_clip(path, model if kinematics_note else None, tables)
    return Converted(path, line, motion.frames, offset, lines, problems)


_MODELS = {}


def _model(model_path):
    """The model and tables of this worker, loaded once."""
    if model_path not in _MODELS:
        from . import robot
        from .usermodel import load
        _MODELS[model_path] = load(model_path).model, robot.tables()
    return _MODELS[model_path]


def convert_task(source, path, options):
    """One file in a worker: a Result, never an exception."""
    from .robot import CLIP_FPS, ClipError
    result = Result(source, path)
    try:
        model, tables = _model(options.model_path)
    except Exception as e:
        return dataclasses.replace(result, verdict=str(e), failed=True, fatal=True)
    try:
        done = convert_one(source, path, model, tables, options, kinematics_note=False)
    except (ClipError, OSError, ValueError) as e:
        reason = str(e).removeprefix(f"{source}: ")     # the table names the file
        return dataclasses.replace(result, verdict=f"failed: {reason}", failed=True)
    except Exception as e:  # a file must not end the run; say what broke
        return dataclasses.replace(result, verdict=f"failed: {type(e).__name__}: {e}", failed=True)
    result.layout = done.line.split(" as ", 1)[1].split(" (")[0]
    result.frames, result.seconds = done.frames, done.frames / CLIP_FPS
    if done.problems:
        result.verdict, result.failed = f"bad clip: {done.problems[0]}", True
    elif done.offset:
        result.verdict = f"ok (grounded {done.offset:+.3f} m)"
    return result


def remove_stale_temps(folder, names, before):
    """Temporary files of `names` that a killed run left in `folder` (older
    than `before`): removed; how many."""
    from .outputs import is_temp_of
    files = {n + ".npz" for n in names}
    removed = 0
    try:
        entries = list(os.scandir(folder))
    except FileNotFoundError:
        return 0
    for entry in entries:
        if any(is_temp_of(entry.name, f) for f in files) and entry.stat().st_mtime < before:
            try:
                os.unlink(entry.path)
                removed += 1
            except FileNotFoundError:
                pass
    return removed


_WORKER = {"busy": False, "stopping": False}


def _worker_signal(signum, frame):
    _WORKER["stopping"] = True
    if _WORKER["busy"]:
        raise KeyboardInterrupt


def _worker_signals():
    """SIGINT or SIGTERM in a worker stops the file it converts (which
    removes its temporary file) and every file after it; an idle worker
    waits to be shut down."""
    for signum in (signal.SIGINT, signal.SIGTERM):
        signal.signal(signum, _worker_signal)


def _worker_task(work, source, path, options):
    if _WORKER["stopping"]:
        return Result(source, path, "not converted: the run was interrupted", failed=True)
    _WORKER["busy"] = True
    try:
        return work(source, path, options)
    finally:
        _WORKER["busy"] = False


def worker_context(preload=()):
    """Where the platform has one, a fork server that imports `preload` once,
    so that every worker forked from it starts with them loaded; else spawn
    (each worker starts an interpreter and imports what it needs)."""
    if "forkserver" not in multiprocessing.get_all_start_methods():
        return multiprocessing.get_context("spawn")
    ctx = multiprocessing.get_context("forkserver")
    ctx.set_forkserver_preload(list(preload))
    _start_server()
    return ctx


def _start_server():
    """Start the fork server with SIGTERM ignored (it keeps that across exec).
    It runs in the command's process group, and a SIGTERM to the group (a
    service manager's stop) must not kill it under its workers, whose exit
    then goes unseen: the command stops them, and the server ends with it."""
    from multiprocessing import forkserver
    try:
        previous = signal.signal(signal.SIGTERM, signal.SIG_IGN)
    except ValueError:          # not the main thread: no handler to keep
        forkserver.ensure_running()
        return
    try:
        forkserver.ensure_running()
    finally:
        signal.signal(signal.SIGTERM, previous)


def start_workers(preload=()):
    """Start the fork server now (where the platform has one), so that it
    loads `preload` while this process does its own start-up."""
    worker_context(preload)


def died_converting(source, path):
    return Result(source, path, "failed: the worker process died converting it (killed or crashed)",
                  failed=True)


def run_tasks(tasks, jobs, options, on_result, work=convert_task, preload=CONVERT_MODULES,
              died=died_converting):
    """Run `work(source, path, options)` for (source, path) pairs over `jobs`
    worker processes and hand each result to `on_result`; a result whose
    `fatal` is true stops the run with DatasetError (its `verdict`).
    `preload`: the modules the fork server imports for the workers.

    A worker that dies (killed, or crashed in native code) breaks its pool:
    the files left unfinished are then run one at a time, so the file that
    kills a worker again is the one reported (`died(source, path)` is its
    result), and the rest go on."""
    ctx = worker_context(preload)
    queue, solo = list(tasks), []
    while queue or solo:
        if solo:
            batch, width, solo = solo, 1, []
        else:
            batch, width, queue = queue, jobs, []
        with cf.ProcessPoolExecutor(min(width, len(batch)), mp_context=ctx,
                                    initializer=_worker_signals) as pool:
            futures = [pool.submit(_worker_task, work, src, path, options) for src, path in batch]
            pending = dict(zip(futures, batch))
            waiting = cf.as_completed(futures) if width > 1 else futures
            try:
                waited = _collect(waiting, pending, futures, width, on_result, died)
            except BaseException:       # Ctrl-C, a fatal result: nothing more starts
                pool.shutdown(wait=True, cancel_futures=True)
                for future in futures:  # clips finished while the pool wound down are complete
                    if future in pending and not future.cancelled() and future.exception() is None \
                            and not getattr(future.result(), "failed", False):
                        on_result(future.result())
                raise
            if waited is not None:
                queue, solo = (waited, solo) if width == 1 else (queue, waited)


def _collect(waiting, pending, futures, width, on_result, died):
    """Hand on the results of one pool; after it broke, the files still to
    convert (None when all are done)."""
    for future in waiting:
        try:
            result = future.result()
        except cf.process.BrokenProcessPool:
            if width == 1:      # one worker, files in order: this one killed it
                on_result(died(*pending.pop(future)))
            return [pending[f] for f in futures if f in pending]
        del pending[future]
        if getattr(result, "fatal", False):
            raise DatasetError(result.verdict)
        on_result(result)
    return None


def convert_dataset(args, root, options, jobs=None, shard=None, skip_existing=False,
                    progress=True):
    """Convert every motion file of `args` (paths, folders, globs) into clips
    under `root`; the results in source order (skipped files included)."""
    from tqdm import tqdm

    from .outputs import note_kept
    sources = find_sources(args)
    if not sources:
        raise DatasetError("no motion files given")
    check_names(sources)
    if shard:
        k, n = shard
        sources = sources[k::n]
    folder = os.path.join(str(root), "assets", "motion_npz")
    results, tasks = {}, []
    for src in sources:
        path = os.path.join(folder, clip_name(src) + ".npz")
        if skip_existing and os.path.isfile(path):
            results[src] = Result(src, path, "skipped (clip exists)")
        else:
            tasks.append((src, path))
    removed = remove_stale_temps(folder, [clip_name(s) for s, _ in tasks], time.time())
    jobs = max(1, min(jobs or len(os.sched_getaffinity(0)), len(tasks) or 1))
    with tqdm(total=len(tasks), desc="convert", unit="file", disable=None if progress else True,
              file=sys.stderr) as bar:
        def on_result(result):
            results[result.source] = result
            if result.frames:
                note_kept(result.clip)
            if result.failed:
                bar.write(f"{result.source}: {result.verdict}", file=sys.stderr)
            bar.update(1)
        if tasks:
            run_tasks(tasks, jobs, options, on_result)
    return [results[s] for s in sources], removed


def format_table(results):
    rows = [(r.source, r.layout or "-", str(r.frames) if r.frames else "-",
             f"{r.seconds:.1f}" if r.frames else "-", r.verdict) for r in results]
    head = ("file", "layout", "frames", "seconds", "verdict")
    widths = [max(len(x) for x in col) for col in zip(head, *rows)]
    fmt = f"{{:<{widths[0]}}}  {{:<{widths[1]}}}  {{:>{widths[2]}}}  {{:>{widths[3]}}}  {{}}"
    return [fmt.format(*head)] + [fmt.format(*r) for r in rows]
