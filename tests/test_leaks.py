"""Short form of tools/leakcheck.py: every public function, method and query
on its native path, its general path and failing input, a thousand calls
each; no reference-count drift and no memory blocks left per call."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "tools"))

import leakcheck  # noqa: E402

# Under scripts/sanitize.sh freed memory waits in the sanitizer's quarantine
# and Python objects come from malloc: resident memory and memory blocks say
# nothing there, reference counts still do.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def test_no_drift_on_any_path():
    results = leakcheck.run(iterations=1000, warmup=100,
                            max_rss_kib=sys.maxsize if SANITIZED else 16 * 1024)
    assert {r.family for r in results} == set(leakcheck.FAMILIES)
    assert {r.path for r in results} == set(leakcheck.PATHS)
    drifting = [r for r in results if not r.ok]
    assert not drifting, "\n".join(
        f"{r.family} {r.name} {r.path}: refs {r.ref_drift}, {r.blocks_per_call:.3f} blocks/call, "
        f"rss {r.rss_kib} KiB" for r in drifting)
