"""harness.py: what the checks of the Python tools share.

    sys.path.insert(0, os.path.join(REPO, "tests", "tools")); import harness

Results counts checks and prints one line per failure; run() runs a
command and keeps its text; ended() checks a tool's ending (its status and
its one line); wait_until() waits for a state, never for a time, with a
generous limit: a busy machine is slow, not wrong. run_on_terminal() runs a
command with its standard error on a pseudo-terminal, and progress_lines()
reads the loader's progress lines from what it wrote there.
sigint_at_default() undoes a SIGINT ignored at the start.
"""

import os
import pty
import re
import signal
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


def sigint_at_default():
    """A check run in the background of a shell without job control (CI in
    a lane, a script's `&`) starts with SIGINT ignored, and the tools it
    starts would keep it ignored, as they should: a check that stops a tool
    by SIGINT would wait forever. SIGINT is the default again."""
    signal.signal(signal.SIGINT, signal.default_int_handler)


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


def run_on_terminal(cmd, cwd=None, env=None):
    """cmd's status, its standard output (text) and what it wrote on its
    standard error, a pseudo-terminal."""
    master, slave = pty.openpty()
    try:
        p = subprocess.Popen(cmd, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=slave)
    finally:
        os.close(slave)
    said = b""  # read as it comes: a full terminal would stop the load
    while True:
        try:
            data = os.read(master, 1 << 16)
        except OSError:  # EIO: the terminal has no writer left
            break
        if not data:
            break
        said += data
    os.close(master)
    out = p.communicate(timeout=900)[0].decode("utf-8", "replace")
    return p.returncode, out, said.decode("ascii", "replace")


PROGRESS = re.compile(r"(\w+): (about )?([0-9]+) of ([0-9]+) rows \([0-9]+%\), [0-9]+ rows/s,"
                      r" [0-9]+:[0-9]{2} elapsed(, [0-9]+:[0-9]{2} left)? *")


def progress_lines(said):
    """The lines drawn (a match of PROGRESS each, None for text that is not
    one: group 1 the relation, 3 the rows, 4 of how many), and whether the
    last is cleared: every line begins with a carriage return, and the text
    ends with blanks over the last line drawn, then a carriage return."""
    drawn = said.split("\r")
    shown = [PROGRESS.fullmatch(d) for d in drawn if d.strip()]
    if drawn[0] != "":
        shown.append(None)
    texts = [d.rstrip(" ") for d in drawn if d.strip()]
    cleared = (len(drawn) > 2 and drawn[-1] == "" and drawn[-2].strip() == ""
               and bool(texts) and len(drawn[-2]) >= len(texts[-1]))
    return shown, cleared
