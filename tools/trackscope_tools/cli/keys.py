"""Single keys typed in the command's terminal, without Enter."""

import select
import sys


class TerminalKeys:
    """`poll()` gives what the next typed key maps to in `mapping` (None
    when nothing was typed, the key is not mapped, or stdin is no
    terminal); `close()` gives the terminal back as it was."""

    def __init__(self, mapping):
        self.mapping = mapping
        self.tty = sys.stdin.isatty()
        self.saved = None
        if self.tty:
            import termios
            import tty
            self.saved = termios.tcgetattr(sys.stdin)
            tty.setcbreak(sys.stdin)

    def poll(self):
        if not self.tty or not select.select([sys.stdin], [], [], 0)[0]:
            return None
        return self.mapping.get(sys.stdin.read(1))

    def close(self):
        if self.saved is not None:
            import termios
            termios.tcsetattr(sys.stdin, termios.TCSADRAIN, self.saved)
            self.saved = None
