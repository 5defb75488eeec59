"""Thin command-line modules: argparse, then the package's functions."""

import sys


def reporter(prog):
    """The command's error line: `error(message, code=1)` prints
    "<prog>: error: <message>" to stderr and returns the exit status."""
    def error(message, code=1):
        print(f"{prog}: error: {message}", file=sys.stderr)
        return code
    return error
