"""Short form of tools/leakcheck.py: every public function, method and query
on its native path, its general path and failing input, a thousand calls
each; no reference-count drift and no memory blocks left per call."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "tools"))

import leakcheck  # noqa: E402


def test_no_drift_on_any_path():
    results = leakcheck.run(iterations=1000, warmup=100)
    assert {r.family for r in results} == set(leakcheck.FAMILIES)
    assert {r.path for r in results} == set(leakcheck.PATHS)
    drifting = [r for r in results if not r.ok]
    assert not drifting, "\n".join(
        f"{r.family} {r.name} {r.path}: refs {r.ref_drift}, {r.blocks_per_call:.3f} blocks/call, "
        f"rss {r.rss_kib} KiB" for r in drifting)
