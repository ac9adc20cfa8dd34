"""parts.py: a run written part by part, whatever runs the parts.

Owns the folder's record, DIR/.zervgen-slurm:

    run.json  what was asked: {"args": zervgen's options, "parts": N,
              "zervgen": the program, "task_temp": whether a task adds a
              "-t" of its own, "jobs": [{"id": "4711", "parts": [1, 2]}]}
    part.K    the last attempt at part K: {"state": "running", "failed" or
              "proven", "job": "4711_2", "node", "time", "reason" (failed),
              "files" and "verify" (proven: each file's name, size and
              mtime_ns, and its -verify -json object), "left" (the files
              the attempt wrote and left, by name, size and mtime_ns)}

A run whose files are objects ("-f s3://BUCKET/PREFIX") keeps its record
in the folder all the same; an object is known by its name, size and ETag
("etag" in place of "mtime_ns"), as zervgen tells them: -head (a HEAD of
each object, no byte read) for what is there, -verify -json for what is
proven. An object is removed by zervgen's -remove-object NAME=ETAG, which
removes it only while its ETag is the one recorded.

and one attempt at one part (Attempt): the part's files as -describe names
them, what an earlier attempt left, zervgen, -verify -json, the record.

Whose file is it: zervgen never overwrites a file, so a part is written
again only after the files in its way are removed. An attempt removes a
file only when an earlier attempt at the same part recorded it, in "left"
or as a proven file, with the size and modification time it has now; any
other file in the way is kept, and the part fails naming it. Records
written before "left" was kept name no leftover, so nothing they describe
is removed. An object is an attempt's by the same rule, by its size and ETag.
"""

import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

from . import interface
from .cli import UsageError

PROG = "zervgen-slurm"
STATE = ".zervgen-slurm"


def say(text):
    print(f"{PROG}: {text}", file=sys.stderr, flush=True)


# ---- the folder's record ----------------------------------------------------


def state_dir(folder):
    return os.path.join(folder, STATE)


def run_path(folder):
    return os.path.join(state_dir(folder), "run.json")


def part_path(folder, k):
    return os.path.join(state_dir(folder), f"part.{k}")


def temp_name(path):
    """The name `path` is written under before it is renamed over the old:
    unique to the writing process, on whatever node."""
    return f"{path}.{socket.gethostname()}.{os.getpid()}.tmp"


def write_json(path, value):
    """Writes `value` to `path` whole or not at all (a rename over the old)."""
    write_whole(path, (json.dumps(value, indent=1) + "\n").encode("utf-8"))


def write_whole(path, data):
    tmp = temp_name(path)
    with open(tmp, "wb") as out:
        out.write(data)
        out.flush()
        os.fsync(out.fileno())
    os.replace(tmp, path)


def read_bytes(path):
    try:
        with open(path, "rb") as src:
            return src.read()
    except FileNotFoundError:
        return None
    except OSError as err:
        raise UsageError(f"cannot read {path}: {err.strerror}") from err


def read_json(path):
    try:
        with open(path, encoding="utf-8") as src:
            return json.load(src)
    except FileNotFoundError:
        return None
    except OSError as err:
        raise UsageError(f"cannot read {path}: {err.strerror}") from err
    except ValueError as err:
        raise UsageError(f"cannot read {path}: {err}") from err


def read_run(folder):
    return read_json(run_path(folder))


def read_part(folder, k):
    return read_json(part_path(folder, k))


def shown(name):
    r"""A file name on one line, as zervgen's own lines show it: printable
    ASCII as it is, a backslash as \\, a tab, line feed and carriage return
    as \t, \n, \r, every other byte as \xHH."""
    text = []
    for byte in os.fsencode(name):
        char = chr(byte)
        if char in "\\\t\n\r":
            text.append({"\\": "\\\\", "\t": "\\t", "\n": "\\n", "\r": "\\r"}[char])
        elif 0x20 <= byte < 0x7F:
            text.append(char)
        else:
            text.append(f"\\x{byte:02x}")
    return "".join(text)


def ranges(parts):
    """1,2,3,5,7,8 -> '1-3,5,7-8' (also Slurm's --array syntax)."""
    spans = []
    for k in sorted(parts):
        if spans and spans[-1][1] == k - 1:
            spans[-1][1] = k
        else:
            spans.append([k, k])
    return ",".join(str(a) if a == b else f"{a}-{b}" for a, b in spans)


# ---- what is proven, what is whose --------------------------------------------


def is_object(name):
    """Whether zervgen takes `name` for an object of a store, not a file."""
    return name.startswith("s3://")


class LookFailed(Exception):
    """zervgen could not tell what is at the run's objects now."""


def object_entries(zervgen, args, folder, run=None):
    """{name: {"name", "size", "etag"}} of the objects of `zervgen ARGS`
    that are there now, as `-head` tells them (run in the folder, by
    `run(args)` when given: (status, stdout, stderr)). LookFailed when
    zervgen or the store cannot tell one of them."""
    if run is None:
        def run(more):
            return interface.run(zervgen, more, folder)
    status, out, err = run(args + ["-head"])
    if status != 0:
        raise LookFailed(last_message(err, status))
    seen = {}
    for obj in interface.head_objects(out):
        if obj.get("failure") == "missing":
            continue
        if obj.get("failure") is not None or not isinstance(obj.get("etag"), str):
            raise LookFailed(f"{shown(str(obj.get('path')))}: {obj.get('detail')}")
        seen[obj["path"]] = {"name": obj["path"], "size": obj["size"], "etag": obj["etag"]}
    return seen


def file_entry(folder, name, seen=None):
    """{"name", "size", "mtime_ns"} of the file `name` in the folder, or
    None when there is none; for an object, its {"name", "size", "etag"}
    in `seen` (what -head told), None when it is not there."""
    if is_object(name):
        return (seen or {}).get(name)
    try:
        st = os.lstat(os.path.join(folder, name))
    except FileNotFoundError:
        return None
    return {"name": name, "size": st.st_size, "mtime_ns": st.st_mtime_ns}


def unchanged(folder, entry, seen=None):
    """The file (or object) of a record's entry is there with the size and
    modification time (ETag) the record gives."""
    now = file_entry(folder, entry["name"], seen)
    stamp = "etag" if "etag" in entry else "mtime_ns"
    return (now is not None and stamp in now and
            (now["size"], now[stamp]) == (entry["size"], entry[stamp]))


def changed_file(folder, record, seen=None):
    """The first file of a proven part that is missing or changed, with
    what changed; None when all are as they were proven."""
    for entry in record.get("files", []):
        try:
            now = file_entry(folder, entry["name"], seen)
        except OSError as err:
            return f"{shown(entry['name'])}: {err.strerror}"
        if now is None:
            return f"{shown(entry['name'])} is missing"
        if not unchanged(folder, entry, seen):
            return f"{shown(entry['name'])} changed after it was proven"
    return None


def is_proven(folder, record, seen=None):
    return (record is not None and record.get("state") == "proven" and
            bool(record.get("files")) and changed_file(folder, record, seen) is None)


def records_objects(record):
    """Whether a part's record names an object."""
    entries = list((record or {}).get("files", [])) + list((record or {}).get("left", []))
    return any(isinstance(e, dict) and is_object(str(e.get("name", ""))) for e in entries)


def owned_files(record):
    """The files an attempt's record says it wrote and left (by name), with
    their size and modification time then."""
    entries = list(record.get("left", [])) if record else []
    if record and record.get("state") == "proven":
        entries += record.get("files", [])
    return {e["name"]: e for e in entries if isinstance(e, dict) and "name" in e}


# ---- zervgen's words ----------------------------------------------------------


def zervgen_said(err):
    """zervgen's lines on standard error (bytes or text) but its banner."""
    return interface.said_lines(err)


def last_message(err, status):
    """zervgen's own words for a failure: its message lines, joined, or its
    status."""
    lines = [line.strip() for line in zervgen_said(err) if line.strip()]
    if lines:
        return " ".join(lines)
    if status < 0:
        return f"zervgen was ended by {signal.Signals(-status).name}"
    return f"zervgen ended with status {status}"


def file_paths(doc):
    """The paths of every file a -describe document says the run writes."""
    return [f["path"] for rel in doc["relations"] for f in rel["files"]]


def not_proven(results, status, err):
    """Why -verify did not prove the part: the files it found wrong, in
    the words of its human lines, else zervgen's message."""
    failed = [f"{shown(path)}: FAILED: {obj.get('detail') or obj.get('failure')}"
              for path, obj in results if obj is not None and not obj.get("ok")]
    if failed:
        return "; ".join(failed)
    if status != 0:
        return last_message(err, status)
    unchecked = [shown(path) for path, obj in results if obj is None]
    if unchecked:
        return f"-verify did not check {', '.join(unchecked)}"
    return "-verify checked files that -describe does not name for the part"


def kept_message(names):
    """Why a part fails when files in its way are not an earlier attempt's."""
    listed = ", ".join(shown(n) for n in names)
    them = "it" if len(names) == 1 else "them"
    return (f"{listed} {'is' if len(names) == 1 else 'are'} in the part's way and not as an "
            f"earlier attempt at the part left {them}: kept; remove {them} to write the part again")


# ---- one attempt at one part, on its node ---------------------------------------

STOPPING = (signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGUSR1, signal.SIGUSR2,
            signal.SIGXCPU)


class Attempt:
    """Attempt `job` (the scheduler's name for it, e.g. "4711_2") at part K
    of the run recorded in `folder`, on `node`: writes the part with
    zervgen, proves it with -verify -json and records the outcome in
    part.K, naming every file it wrote and left."""

    def __init__(self, folder, k, job, node):
        self.folder = folder
        self.k = k
        self.job = job
        self.node = node
        self.run = None
        self.signal = 0
        self.child = None
        self.paths = []        # the part's files, as -describe names them
        self.absent = set()    # of those, the ones not there when zervgen started
        self.wrote = False     # zervgen may have created some of them
        self.inherited = []    # files an earlier attempt left that are still there
        self.argv = None       # zervgen's arguments for the part
        self.seen = {}         # the part's objects that are there, as -head last told

    def there(self, name):
        if is_object(name):
            return name in self.seen
        return os.path.lexists(os.path.join(self.folder, name))

    def look(self):
        """Asks zervgen what is at the part's objects now (self.seen); no
        signal the task got is handed to it. LookFailed when it cannot tell."""
        if self.argv is not None and any(is_object(name) for name in self.paths):
            self.seen = object_entries(None, self.argv, self.folder,
                                       run=lambda more: self.zervgen(more, forward=False))

    def left(self):
        """The files this attempt (and those before it) wrote and left, as
        they are now. Objects zervgen cannot tell of now are told as they
        were last seen."""
        try:
            self.look()
        except LookFailed as err:
            say(f"part {self.k}: cannot tell which objects are left: {err}")
        entries = [e for e in self.inherited if unchanged(self.folder, e, self.seen)]
        if self.wrote:
            for name in self.paths:
                entry = file_entry(self.folder, name, self.seen) if name in self.absent else None
                if entry is not None:
                    entries.append(entry)
        return entries

    def record(self, state, **more):
        value = {"state": state, "job": self.job, "node": self.node,
                 "time": time.strftime("%Y-%m-%dT%H:%M:%S%z")}
        value.update(more)
        write_json(part_path(self.folder, self.k), value)

    def fail(self, reason):
        say(f"part {self.k} failed: {reason}")
        self.record("failed", reason=reason, left=self.left())
        return 1

    def stopped(self):
        return self.fail(f"the task was ended by {signal.Signals(self.signal).name} "
                         "(cancelled, or out of time)")

    def on_signal(self, signum, _frame):
        self.signal = signum
        if self.child is not None and self.child.poll() is None:
            self.child.send_signal(signum)

    def args(self, tmp):
        """zervgen's arguments for the part: the run's options, "-part K" and,
        unless the options name one, the task's own temporary folder."""
        args = self.run["args"] + ["-part", str(self.k)]
        # A record written before task_temp was kept says nothing of it:
        # the options are run as they are.
        if self.run.get("task_temp"):
            args += ["-t", tmp]
        return args

    def zervgen(self, args, forward=True):
        """Runs zervgen with `args` in the folder, handing it the signals the
        task gets (unless not `forward`); returns its status, standard
        output (bytes) and standard error (also copied to the task's
        output)."""
        child = subprocess.Popen([self.run["zervgen"]] + args, cwd=self.folder,
                                 stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE)
        if forward:
            self.child = child
            if self.signal:
                # It came before there was a child to hand it to.
                child.send_signal(self.signal)
        out, err = child.communicate()
        # Slurm signals every process of a task it ends, zervgen and the
        # task alike: zervgen's end may be seen before the task's own
        # signal, which is then waited for a moment.
        deadline = time.monotonic() + 2
        while (child.returncode < 0 and -child.returncode in STOPPING and not self.signal and
               time.monotonic() < deadline):
            time.sleep(0.05)
        err = err.decode("utf-8", "replace")
        sys.stderr.write(err)
        sys.stderr.flush()
        return child.returncode, out, err

    def part_files(self, args):
        """The paths of the part's files, as zervgen -describe names them,
        or None and why not."""
        status, out, err = self.zervgen(args + ["-describe"])
        if status != 0:
            return None, last_message(err, status)
        try:
            return file_paths(interface.parse_describe(out, self.run["zervgen"])), None
        except interface.ZervgenError as error:
            return None, str(error)

    def verify(self, args):
        """(every file proven, [(path, its -verify -json object or None)],
        status, standard error) of `-verify -json`: the part is proven only
        when the files it checked are exactly the part's and each is ok."""
        status, out, err = self.zervgen(args + ["-verify", "-json"])
        objects = interface.verify_objects(out)
        by_path = {obj.get("path"): obj for obj in objects}
        results = [(path, by_path.get(path)) for path in self.paths]
        good = (status == 0 and bool(self.paths) and len(objects) == len(self.paths) and
                all(obj is not None and obj.get("ok") is True for _, obj in results))
        return good, results, status, err

    def prove(self, results):
        # An object is proven with the size and ETag of the bytes -verify
        # read (it asks for that ETag as it reads).
        files = [file_entry(self.folder, path) if not is_object(path) else
                 {"name": path, "size": obj.get("size"), "etag": obj.get("etag")}
                 if obj and isinstance(obj.get("etag"), str) else None
                 for path, obj in results]
        if None in files:
            return self.fail("a file of the part went missing after -verify proved it")
        self.record("proven", files=files, verify=[obj for _, obj in results])
        say(f"part {self.k} proven on {self.node}")
        return 0

    def main(self):
        self.run = read_run(self.folder)
        if self.run is None:
            return self.fail(f"{state_dir(self.folder)}/run.json is missing")
        for signum in STOPPING:
            signal.signal(signum, self.on_signal)
        previous = read_part(self.folder, self.k)
        tmp = None
        try:
            # Column files, when memory runs short, go to a folder of this
            # task's own on its node, not to the shared folder where the
            # tasks would meet.
            base = os.environ.get("TMPDIR") or tempfile.gettempdir()
            tmp = tempfile.mkdtemp(prefix="zervgen-slurm.", dir=base)
            return self.attempt(previous, tmp)
        except OSError as err:
            return self.fail(f"{err.filename or ''}: {err.strerror}")
        finally:
            if tmp is not None:
                shutil.rmtree(tmp, ignore_errors=True)

    def clear_way(self, previous, args):
        """Makes way for zervgen among the part's files that are there
        already. Returns the attempt's status when it ends here: 0 when
        they prove to be the part (recorded proven), 1 when one is not an
        earlier attempt's (recorded failed, naming it); None when the way
        is clear (the earlier attempt's removed) or zervgen is to find
        what is in it."""
        try:
            self.look()
        except LookFailed as err:
            return self.fail(str(err))
        there = [name for name in self.paths if self.there(name)]
        if not there or previous is None:
            # No earlier attempt: whatever is there is not the task's, and
            # zervgen refuses to write over it, naming it.
            return None
        owned = owned_files(previous)
        self.inherited = [owned[n] for n in there
                          if n in owned and unchanged(self.folder, owned[n], self.seen)]
        good, results, status, err = self.verify(args)
        if self.signal:
            return self.stopped()
        if good:
            say(f"part {self.k}: the files an earlier attempt left are the part")
            return self.prove(results)
        if status not in (0, 1):
            return self.fail(last_message(err, status))
        kept, objects = [], []
        for name in there:
            entry = owned.get(name)
            if entry is not None and unchanged(self.folder, entry, self.seen):
                say(f"part {self.k}: removing {shown(name)}, left by an earlier attempt, "
                    "to write the part again")
                if is_object(name):
                    objects.append(entry)
                    continue
                os.remove(os.path.join(self.folder, name))
                self.inherited.remove(entry)
            else:
                kept.append(name)
        if objects:
            # zervgen removes each only while its ETag is still the one
            # recorded, all or none.
            status, _, err = self.zervgen(args + [
                word for e in objects for word in ("-remove-object", f"{e['name']}={e['etag']}")])
            if self.signal:
                return self.stopped()
            if status == 1:
                # One changed since it was seen: none was removed.
                try:
                    self.look()
                except LookFailed as error:
                    return self.fail(str(error))
                names = kept + [e["name"] for e in objects
                                if not unchanged(self.folder, e, self.seen)]
                return self.fail(kept_message(names) if names else last_message(err, status))
            if status != 0:
                return self.fail(last_message(err, status))
            for entry in objects:
                self.inherited.remove(entry)
                self.seen.pop(entry["name"], None)
        if kept:
            return self.fail(kept_message(kept))
        return None

    def attempt(self, previous, tmp):
        args = self.args(tmp)
        paths, why = self.part_files(args)
        if self.signal:
            return self.stopped()
        if paths is None:
            return self.fail(why)
        self.paths = paths
        self.argv = args
        ended = self.clear_way(previous, args)
        if ended is not None:
            return ended
        if self.signal:
            return self.stopped()
        self.absent = {n for n in paths if not self.there(n)}
        self.record("running", left=self.left())
        # zervgen never writes over a file: it finds every one in its way
        # before it creates any, and then creates nothing. So only a run
        # that found none of the part's files there can have written some.
        self.wrote = self.absent == set(paths)
        status, _, err = self.zervgen(args)
        if self.signal:
            return self.stopped()
        if status != 0:
            return self.fail(last_message(err, status))
        # What zervgen wrote is recorded before it is checked: an attempt
        # killed outright now leaves files the next may take as its own.
        self.record("running", left=self.left())
        good, results, status, err = self.verify(args)
        if self.signal:
            return self.stopped()
        if not good:
            return self.fail(not_proven(results, status, err))
        return self.prove(results)
