"""Tests of the tools package (trackscope_tools); the shared helpers of the
module's tests (clips.py, recording.py) sit one folder up."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
