"""Outputs written whole or not at all.

Every file a command writes (clips, videos, images, JSON, logs, policies)
goes through `atomic_output(path)`: the writer gets a temporary name in the
same folder (".<name>.<random>.tmp<ext>", the extension kept for writers
that choose a format by it), and the file is flushed to disk and renamed
onto `path` only when the writer is done. Any exception, an interrupt
included, removes the temporary file and leaves `path` as it was.

The outputs completed and removed in this process are noted in a journal,
for the line a command prints when it is interrupted. The path checks
(`folder_problem`, `file_problem`, `root_problem`) let a command refuse a
place it cannot write to before it starts any work.
"""

import contextlib
import os
import secrets

TEMP_MARK = ".tmp"
_kept = []          # paths completed since clear_journal(), in order
_removed = []       # outputs whose writing was abandoned


def clear_journal():
    _kept.clear()
    _removed.clear()


def journal():
    """(kept, removed): the outputs completed and those abandoned since
    clear_journal()."""
    return list(_kept), list(_removed)


def note_kept(path):
    """Journal an output completed elsewhere (a worker process)."""
    _kept.append(str(path))


class AtomicOutput:
    """One output being written at `tmp`: `commit()` puts it in place,
    `discard()` removes it. For writers that stay open across calls (a video
    stream); `atomic_output` is the usual form."""

    def __init__(self, path):
        self.path = str(path)
        folder = os.path.dirname(os.path.abspath(self.path))
        os.makedirs(folder, exist_ok=True)
        name = os.path.basename(self.path)
        self.done = False
        while True:
            # The name is known before the file exists, so an interrupt at any
            # point of its creation can remove it.
            self.tmp = os.path.join(folder, f".{name}.{secrets.token_hex(4)}{TEMP_MARK}{os.path.splitext(name)[1]}")
            try:
                # Mode 0o666 less the umask: what open() gives the output.
                os.close(os.open(self.tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
                return
            except FileExistsError:
                continue
            except BaseException:
                self.discard()
                raise

    def commit(self):
        try:
            with open(self.tmp, "rb+") as f:
                os.fsync(f.fileno())
            os.replace(self.tmp, self.path)
        except BaseException:
            self.discard()
            raise
        self.done = True
        _kept.append(self.path)
        return self.path

    def discard(self):
        if self.done:
            return
        self.done = True
        try:
            os.unlink(self.tmp)
        except FileNotFoundError:
            pass
        _removed.append(self.path)


@contextlib.contextmanager
def atomic_output(path):
    """Yield the temporary path to write `path` through; in place when the
    block ends, removed when it raises."""
    out = AtomicOutput(path)
    try:
        yield out.tmp
        out.commit()
    except BaseException:
        out.discard()
        raise


def is_temp_of(entry, name):
    """Whether the file name `entry` is a temporary file of the output
    named `name` (as atomic_output makes them)."""
    return entry.startswith(f".{name}.") and (entry.endswith(TEMP_MARK)
                                              or entry.endswith(TEMP_MARK + os.path.splitext(name)[1]))


def _unwritable(folder):
    """Why files cannot be written into `folder` (created when missing), as
    a phrase about it, or None. Tried with a probe file, which also finds
    read-only file systems."""
    path = os.path.abspath(str(folder))
    if os.path.lexists(path) and not os.path.exists(path):
        return "is a broken symbolic link"
    if os.path.exists(path):
        if not os.path.isdir(path):
            return "is a file, not a folder"
        probe, doing = path, "is not writable"
    else:
        probe = os.path.dirname(path)
        while not os.path.exists(probe):
            probe = os.path.dirname(probe)
        if not os.path.isdir(probe):
            return f"cannot be created: {probe} is a file"
        doing = f"cannot be created in {probe}"
    name = os.path.join(probe, f".trackscope-probe.{secrets.token_hex(4)}")
    try:
        os.close(os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600))
    except OSError as e:
        return f"{doing}: {e.strerror or e}"
    finally:
        if os.path.lexists(name):
            os.unlink(name)
    return None


def folder_problem(folder, option="--out"):
    """Why `folder` cannot take outputs, naming it, or None."""
    why = _unwritable(folder)
    return f"{option} {folder} {why}" if why else None


def file_problem(path, option="output"):
    """Why `path` cannot be written as a file, naming it, or None."""
    path = str(path)
    if os.path.isdir(path):
        return f"{option} {path} is a folder, not a file"
    folder = os.path.dirname(os.path.abspath(path))
    why = _unwritable(folder)
    return f"{option} {path}: its folder {folder} {why}" if why else None


def root_problem(root, option="--root"):
    """Why `root` is not a folder to read from, or None."""
    if not os.path.exists(str(root)):
        return f"{option} {root} does not exist"
    if not os.path.isdir(str(root)):
        return f"{option} {root} is not a folder"
    return None
