"""Thin command-line modules: argparse, then the package's functions.

Every console command's `main(argv=None)` is decorated with
`@command(PROG)`, so that all of them end the same ways:

- SIGINT (Ctrl-C) and SIGTERM raise `Interrupted` (a KeyboardInterrupt) in
  the main thread at the next bytecode. The unwinding removes the output
  being written (every output goes through `outputs.atomic_output`), and the
  command prints one line: what it was doing (the innermost `stage`), the
  unfinished output it removed, and what it kept (the outputs completed in
  this run). Exit status 130 for SIGINT, 143 for SIGTERM. Signals that come
  while it cleans up are held, so a second Ctrl-C cannot leave a temporary
  file behind.
- `CommandError` (and the package's ClipError, an OSError) is one line,
  "<prog>: error: <message>", without a traceback: the user's mistake.
- Any other exception is an internal error: one line naming it, with the
  hint to rerun with --debug. `--debug` (anywhere on the command line) or
  TRACKSCOPE_DEBUG=1 prints the full traceback of errors and interrupts.

Hooks for commands that move a robot:

    with on_interrupt(robot.damp, "the robot was sent to damping"):
        run()

runs `robot.damp()` first when an interrupt or an error leaves the block,
before anything outside it unwinds, and adds the note to the command's line (or
says that the action failed, and why). Signals are held while the action runs.

    with safe_points():
        while running:
            tick()
            checkpoint()

holds signals inside the block: one only marks the run as interrupted, and
`checkpoint()` (or the block's end) raises `Interrupted` there, so a tick is
never cut in the middle. `interrupt_pending()` tells without raising.

    with held():
        while not interrupt_pending():
            step()
        write_outputs()

is for a command that finishes its work after a signal (stops the loop,
then writes what it has): `held()` never raises, and when `main` returns
the interrupt is still reported, its line naming the outputs written, with
status 130 or 143. `stage(what, hint=None)` names what the command is doing
for that line.
"""

import contextlib
import functools
import os
import signal
import sys
import threading
import traceback

SIGNALS = {signal.SIGINT: 130, signal.SIGTERM: 143}
DEBUG_ENV = "TRACKSCOPE_DEBUG"


class CommandError(Exception):
    """A user's mistake: reported in one line with `code` as exit status."""

    def __init__(self, message, code=1):
        super().__init__(message)
        self.code = code


class Interrupted(KeyboardInterrupt):
    """SIGINT or SIGTERM arrived; `signum` says which."""

    def __init__(self, signum):
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


class _Run:
    """What the running command is doing, and how signals are taken."""

    def __init__(self):
        self.stages = []
        self.where = None       # the stage when the first signal came
        self.notes = []         # what the interrupt hooks did
        self.signum = None      # the first signal of this run
        self.held = 0           # > 0: a signal only marks the run
        self.raised = False
        self.previous_unraisable = sys.unraisablehook

    def handler(self, signum, frame):
        if self.signum is None:
            self.signum = signum
            self.where = self.stages[-1] if self.stages else None
        if self.held or self.raised:
            return
        self.raised = True
        raise Interrupted(self.signum)

    def unraisable(self, info):
        """An Interrupted that landed where Python swallows exceptions (an
        at-fork callback, a finaliser) is delivered again a moment later,
        outside it, without the "Exception ignored" traceback."""
        if isinstance(info.exc_value, Interrupted) and self.signum is not None:
            self.raised = False
            signal.setitimer(signal.ITIMER_REAL, 0.005)
            return
        self.previous_unraisable(info)

    def again(self, signum, frame):
        """SIGALRM set by `unraisable`: the first signal once more."""
        if self.signum is not None:
            self.handler(self.signum, frame)


_run = _Run()


def reporter(prog):
    """The command's error line: `error(message, code=1)` prints
    "<prog>: error: <message>" to stderr and returns the exit status."""
    def error(message, code=1):
        print(f"{prog}: error: {message}", file=sys.stderr)
        return code
    return error


ENDINGS = """\
Ctrl-C (SIGINT) or SIGTERM stops the command: it removes the output it was
writing, keeps the complete ones and says so in one line; exit status 130 or
143. Every output is written under a temporary name and renamed into place
when complete. Errors are one line; --debug shows the traceback."""


def add_debug_option(parser):
    """--debug (taken out of the arguments by `command`; here for --help),
    and how the command ends, as the help's epilog."""
    parser.add_argument("--debug", action="store_true",
                        help=f"show the full traceback of an error or interrupt (or set {DEBUG_ENV}=1)")
    if parser.epilog is None:
        parser.epilog = ENDINGS


def note(text):
    """Add what the command did about a signal it took itself ("the robot
    was sent to damping") to the interrupt's line."""
    _run.notes.append(text)


@contextlib.contextmanager
def stage(what, hint=None):
    """Name what the command does inside the block ("simulating stand"),
    for the line an interrupt prints; `hint` ends that line ("rerun with
    --skip-existing to resume")."""
    _run.stages.append((what, hint))
    try:
        yield
    finally:
        _run.stages.pop()


@contextlib.contextmanager
def held():
    """Signals inside the block only mark the run as interrupted."""
    _run.held += 1
    try:
        yield
    finally:
        _run.held -= 1


def interrupt_pending():
    return _run.signum is not None


def checkpoint():
    """Raise Interrupted if a signal came while signals were held."""
    if _run.signum is not None and not _run.raised:
        _run.raised = True
        raise Interrupted(_run.signum)


@contextlib.contextmanager
def safe_points():
    """Signals inside the block are taken at `checkpoint()` (and at its end)."""
    with held():
        yield
    checkpoint()


@contextlib.contextmanager
def on_interrupt(action, note):
    """Run `action()` first when an interrupt or an error leaves the block;
    `note` says what it did, for the interrupt's line."""
    try:
        yield
    except BaseException:
        with held():
            try:
                action()
                _run.notes.append(note)
            except Exception as failure:
                _run.notes.append(f"{note} FAILED ({type(failure).__name__}: {_first_line(failure)})")
        raise


def _debug(argv):
    """--debug taken out of the arguments (before any "--"), and whether it
    or the environment asks for tracebacks."""
    args = list(sys.argv[1:] if argv is None else argv)
    end = args.index("--") if "--" in args else len(args)
    debug = "--debug" in args[:end]
    args = [a for a in args[:end] if a != "--debug"] + args[end:]
    return args, debug or os.environ.get(DEBUG_ENV, "") not in ("", "0")


def _paths(paths):
    if len(paths) <= 3:
        return ", ".join(paths)
    folder = os.path.commonpath([os.path.abspath(p) for p in paths])
    return f"{len(paths)} files in {os.path.relpath(folder)}"


def interrupt_line(prog, signum):
    from .. import outputs
    kept, removed = outputs.journal()
    what, hint = _run.where or (_run.stages[-1] if _run.stages else ("starting", None))
    parts = [f"{prog}: interrupted by {signal.Signals(signum).name} while {what}"]
    parts += _run.notes
    if removed:
        parts.append(f"removed the unfinished {_paths(removed)}")
    parts.append(f"kept {_paths(kept)}" if kept else "no output written")
    return "; ".join(parts + ([hint] if hint else []))


def command(prog):
    """Decorate a command's `main(argv=None)` with the signal handling and
    the error lines above."""
    def decorate(main):
        @functools.wraps(main)
        def run(argv=None):
            args, debug = _debug(argv)
            return _call(prog, main, args, debug)
        return run
    return decorate


def _call(prog, main, args, debug):
    global _run
    from .. import outputs
    error = reporter(prog)
    outer, _run = _run, _Run()
    outputs.clear_journal()
    previous = {}
    if threading.current_thread() is threading.main_thread():
        for signum in SIGNALS:
            previous[signum] = signal.signal(signum, _run.handler)
        previous[signal.SIGALRM] = signal.signal(signal.SIGALRM, _run.again)
        _run.previous_unraisable = sys.unraisablehook
        sys.unraisablehook = _run.unraisable
    try:
        try:
            code = main(args)
        finally:
            _run.held += 1      # cleaning up from here on: no more interrupts
        if _run.signum is not None:     # a signal held to the end
            raise Interrupted(_run.signum)
        return code
    except SystemExit:
        raise
    except BaseException as e:
        if debug:
            traceback.print_exc()
        if _run.signum is not None or isinstance(e, KeyboardInterrupt):
            # An error while a signal was on its way (a broken pipe, say) is the interrupt's.
            signum = _run.signum or signal.SIGINT
            print(interrupt_line(prog, signum), file=sys.stderr)
            return SIGNALS[signum]
        notes = "".join(f" ({note})" for note in _run.notes)
        if isinstance(e, CommandError):
            return error(str(e) + notes, e.code)
        robot = sys.modules.get("trackscope_tools.robot")     # ClipError's home, imported when used
        if isinstance(e, OSError) or (robot is not None and isinstance(e, robot.ClipError)):
            return error(str(e) + notes)
        return error(f"internal error: {type(e).__name__}: {_first_line(e)}{notes}"
                     + ("" if debug else "; rerun with --debug for the traceback"))
    finally:
        if previous:
            signal.setitimer(signal.ITIMER_REAL, 0)
            sys.unraisablehook = _run.previous_unraisable
        for signum, handler in previous.items():
            signal.signal(signum, handler)
        _run = outer


def _first_line(e):
    lines = str(e).strip().splitlines()
    return lines[0] if lines else "(no message)"
