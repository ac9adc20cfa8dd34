"""progress.py: the loader's progress line while a relation loads.

Only when standard error is a terminal: one line per relation, rewritten in
place (a carriage return, then blanks over what is left of a longer line)
at most every quarter of a second, and cleared when the relation is in or
the load ends, as zervgen draws its own:

    hundred: 420000 of 1000000 rows (42%), 210000 rows/s, 0:02 elapsed, 0:03 left

A backend that cannot count the rows as they go gives the bytes read of
the relation's files instead; the rows are then estimated from them, and
the line says "about". Without a terminal nothing is written, and nothing
is asked of the database for it.

position(path) is how far some process of the load has read a file (the
database client, cat or a decompressor): its offset in /proc.
"""

import os
import time

INTERVAL = 0.25  # seconds between updates


def duration(seconds):
    """"M:SS", or "H:MM:SS" from an hour on."""
    s = int(seconds + 0.5) if seconds > 0 else 0
    if s >= 3600:
        return f"{s // 3600}:{s // 60 % 60:02d}:{s % 60:02d}"
    return f"{s // 60}:{s % 60:02d}"


class Progress:
    """The line on file descriptor fd (standard error), when it is a
    terminal (on)."""

    def __init__(self, fd=2):
        self.fd = fd
        try:
            self.on = os.isatty(fd)
        except OSError:
            self.on = False
        self.shown = 0  # characters of the line on screen; 0: none
        self.name = None  # the relation under way
        self.total = None
        self.start = self.last = 0.0
        self.done = 0

    def begin(self, name, total, start=None):
        """The relation `name` starts loading (or started at `start`, a
        time.monotonic()); total: its rows, or None when not known yet."""
        if not self.on:
            return
        self.name, self.total, self.done = name, total, 0
        self.last = time.monotonic()
        self.start = self.last if start is None else start
        self.draw(0, False, self.last)

    def due(self):
        """True when the line would be redrawn now: a backend asks before it
        spends anything on a count."""
        return self.on and self.name is not None and time.monotonic() - self.last >= INTERVAL

    def rows(self, done, estimate=False):
        """done rows of the relation are in (estimate: worked out from the
        bytes read); the line is redrawn at most every INTERVAL. A count never
        goes back."""
        if not self.due():
            return
        self.done = max(self.done, int(done))
        self.last = time.monotonic()
        self.draw(self.done, estimate, self.last)

    def read(self, done, size):
        """done of the size bytes of the relation's files are read: the rows
        estimated from them when the total is known."""
        if not self.due() or size <= 0:
            return
        if self.total is not None:
            self.rows(self.total * min(done, size) / size, estimate=True)
            return
        self.last = time.monotonic()
        rate = done / max(self.last - self.start, 1e-3) / 1e6
        self.write(f"{self.name}: {done / 1e6:.1f} of {size / 1e6:.1f} MB read"
                   f" ({int(100 * done / size)}%), {rate:.1f} MB/s,"
                   f" {duration(self.last - self.start)} elapsed")

    def draw(self, done, estimate, now):
        seconds = now - self.start
        rate = done / seconds if seconds > 0 else 0
        about = "about " if estimate else ""
        if self.total:
            text = (f"{self.name}: {about}{done} of {self.total} rows"
                    f" ({int(100 * done / self.total)}%), {int(rate)} rows/s,"
                    f" {duration(seconds)} elapsed")
            if done > 0 and rate > 0:
                text += f", {duration((self.total - done) / rate)} left"
        else:
            text = f"{self.name}: {about}{done} rows, {int(rate)} rows/s, {duration(seconds)} elapsed"
        self.write(text)

    def write(self, text):
        line = "\r" + text + " " * max(0, self.shown - len(text))
        self.shown = len(text)
        self.put(line)

    def end(self):
        """Clears the line (the relation is in, or the load ends)."""
        self.name = None
        if self.shown:
            self.put("\r" + " " * self.shown + "\r")
            self.shown = 0

    def put(self, text):
        try:
            os.write(self.fd, text.encode("ascii", "replace"))
        except OSError:
            self.on = False  # a terminal that went away: the load goes on


def position(paths):
    """{path: offset} of the files in paths (real paths) that a process of
    this load (this one or a descendant) has open for reading, from /proc;
    empty where /proc cannot tell."""
    try:
        parents = {}
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    with open(f"/proc/{entry}/stat", "rb") as f:
                        stat = f.read()
                    parents[int(entry)] = int(stat[stat.rindex(b")") + 2:].split()[1])
                except (OSError, ValueError, IndexError):
                    continue
    except OSError:
        return {}
    ours, grown = {os.getpid()}, True
    while grown:
        more = {pid for pid, parent in parents.items() if parent in ours} - ours
        ours |= more
        grown = bool(more)
    found = {}
    for pid in ours:
        try:
            fds = os.listdir(f"/proc/{pid}/fd")
        except OSError:
            continue
        for fd in fds:
            try:
                target = os.readlink(f"/proc/{pid}/fd/{fd}")
                if target not in paths:
                    continue
                with open(f"/proc/{pid}/fdinfo/{fd}") as f:
                    pos = int(f.readline().split()[1])
            except (OSError, ValueError, IndexError):
                continue
            found[target] = max(found.get(target, 0), pos)
    return found
