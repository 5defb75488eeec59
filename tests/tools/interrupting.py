"""Run a console command and signal its own process group (as Ctrl-C or a
service manager does) at one point of its run.

    python interrupting.py MODULE:ATTR[@MODULE:ATTR] before|after N SIGNAL COMMAND_MODULE ARG...

wraps MODULE.ATTR (ATTR may be Class.method) so that its N-th call is
preceded or followed by the signal, then runs COMMAND_MODULE's main(ARGS).
With @GATE, calls count only from the first call of GATE on. Start it in a
session of its own.
"""

import functools
import importlib
import os
import signal
import sys


def patch(target, make):
    module_name, attr = target.split(":")
    owner = importlib.import_module(module_name)
    *path, name = attr.split(".")
    for part in path:
        owner = getattr(owner, part)
    setattr(owner, name, functools.wraps(getattr(owner, name))(make(getattr(owner, name))))


def arm(target, when, count, signum):
    target, _, gate = target.partition("@")
    calls = [0]
    counting = [not gate]

    def opener(original):
        def wrapper(*args, **kwargs):
            counting[0] = True
            return original(*args, **kwargs)
        return wrapper

    def signaller(original):
        def wrapper(*args, **kwargs):
            calls[0] += counting[0]
            if when == "before" and calls[0] == count:
                os.killpg(0, signum)
            result = original(*args, **kwargs)
            if when == "after" and calls[0] == count:
                os.killpg(0, signum)
            return result
        return wrapper

    if gate:
        patch(gate, opener)
    patch(target, signaller)


if __name__ == "__main__":
    target, when, count, signame, command, *argv = sys.argv[1:]
    arm(target, when, int(count), getattr(signal, signame))
    sys.exit(importlib.import_module(command).main(argv))
