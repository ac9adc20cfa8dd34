"""harness.py: what the checks of the Python tools share.

    sys.path.insert(0, os.path.join(REPO, "tests", "tools")); import harness

Results counts checks and prints one line per failure; run() runs a
command and keeps its text; ended() checks a tool's ending (its status and
its one line); wait_until() waits for a state, never for a time, with a
generous limit: a busy machine is slow, not wrong.
"""

import os
import subprocess
import sys
import time

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SCRIPTS = os.path.join(REPO, "scripts")
LOADER = os.path.join(SCRIPTS, "zervgen-load")
SLURM = os.path.join(SCRIPTS, "zervgen-slurm")
if SCRIPTS not in sys.path:
    sys.path.insert(0, SCRIPTS)

SIGNAL_STATUS = {130: "SIGINT", 143: "SIGTERM", 129: "SIGHUP"}


class Results:
    """Checks passed and failed; a failure is one line 'FAIL [WHERE] WHAT'
    (and its detail below it)."""

    def __init__(self, name):
        self.name = name
        self.passed = 0
        self.failed = 0

    def check(self, ok, where, what, detail=""):
        if ok:
            self.passed += 1
        else:
            self.failed += 1
            print(f"FAIL [{where}] {what}" + (f"\n{detail}" if detail else ""), flush=True)
        return ok

    def summary(self):
        """Prints the closing line; the status of the checks."""
        print(f"{self.name}: {self.passed} passed, {self.failed} failed", flush=True)
        return 1 if self.failed else 0


def run(cmd, cwd=None, env=None, timeout=900, **kw):
    """The finished command, its output as text (bytes that are not UTF-8
    replaced)."""
    return subprocess.run(cmd, cwd=cwd, env=env, capture_output=True, text=True,
                          errors="replace", timeout=timeout, **kw)


def ended(res, where, status, err, want_status, says=None):
    """A tool ended with want_status and exactly one line on standard error
    (containing `says`, when given); an ending signal's status with its
    "interrupted by SIGx" line."""
    lines = err.splitlines()
    ok = status == want_status and len(lines) == 1
    if status in SIGNAL_STATUS and want_status in SIGNAL_STATUS:
        ok = ok and f"interrupted by {SIGNAL_STATUS[status]}" in lines[0]
    if says is not None:
        ok = ok and says in err
    return res.check(ok, where, f"status {status} and {err.strip()[:300]!r}, not status"
                     f" {want_status} with one line" + (f" saying {says!r}" if says else ""))


def wait_until(condition, what, limit=600, step=0.05):
    """Waits until condition() is true; raises AssertionError naming `what`
    after `limit` seconds."""
    end = time.monotonic() + limit
    while not condition():
        if time.monotonic() > end:
            raise AssertionError(f"waited {limit} s for {what}")
        time.sleep(step)
