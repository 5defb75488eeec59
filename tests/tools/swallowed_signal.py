"""A command whose signal first lands in a finaliser, where Python swallows exceptions."""

import os, signal, sys, time
from trackscope_tools.cli import command

class Swallow:
    def __del__(self):
        os.kill(os.getpid(), signal.SIGTERM)   # the signal lands inside a finaliser
        x = 0
        for i in range(1000):
            x += i

@command("probe")
def main(argv=None):
    Swallow()                 # finalised at once
    for _ in range(200):
        time.sleep(0.01)
    print("not interrupted")
    return 0
sys.exit(main([]))
