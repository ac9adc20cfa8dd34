#!/usr/bin/env python3
"""Checks zervgen-slurm on a running Slurm cluster (SLURM_CONF set; started
by .ci/slurm-tests): whole runs of text and Parquet against single-machine
runs, folders whose names Slurm would read, and the failure paths (an
existing part file, a full folder and a file written there after it, files
a failed attempt left, a part removed or changed after the run, a
cancelled job, a lost task, a failed submission, a file name that reads as
a line of -verify).

--offline runs instead the checks that need no cluster (offline.py): command
lines refused before anything is recorded or submitted, a submit host without
sbatch. .ci/slurm-tests runs them before it starts the cluster; by hand:

    python3 tests/slurm/check_slurm.py --offline --zervgen build/zervgen \
        --script scripts/zervgen-slurm --work /tmp/slurm-offline

Every wait is on a job's state or on a file (harness.wait_until), never on
a time: no check depends on how fast the machine is.
"""

import argparse
import gzip
import json
import os
import re
import shutil
import signal
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
import harness  # noqa: E402

NODE = "zn1"
RES = harness.Results("slurm-tests")


class Env:
    def __init__(self, zervgen, script, work):
        self.zervgen = zervgen
        self.script = script
        self.work = work
        self.res = RES

    def folder(self, name):
        path = os.path.join(self.work, name)
        shutil.rmtree(path, ignore_errors=True)
        os.makedirs(path)
        return path

    def tool(self, *args, path=None, preexec=None, python=sys.executable):
        """zervgen-slurm with exactly `args` (PATH set to `path` when given)."""
        env = dict(os.environ, PATH=path) if path is not None else None
        return harness.run([python, self.script] + list(args), env=env, preexec_fn=preexec)

    def slurm(self, *args, zervgen=None, limit=None, path=None):
        """zervgen-slurm with `args`, its zervgen and a short poll added;
        (status, standard output + error)."""
        def lower_limit():
            if limit is not None:
                import resource
                resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
        args = list(args)
        if args[0] == "run":
            cut = args.index("--") if "--" in args else len(args)
            args[cut:cut] = ["--zervgen", zervgen or self.zervgen, "--poll", "0.5"]
        elif "-W" in args:
            args[2:2] = ["--poll", "0.5"]
        done = self.tool(*args, path=path, preexec=lower_limit)
        return done.returncode, done.stdout + done.stderr

    def local(self, folder, zargs):
        """zervgen run on this machine, in `folder`."""
        os.makedirs(folder, exist_ok=True)
        done = harness.run([self.zervgen] + zargs, cwd=folder)
        return done.returncode, done.stdout, done.stderr


def files_of(folder):
    return sorted(f for f in os.listdir(folder) if not f.startswith(".") and
                  os.path.isfile(os.path.join(folder, f)))


def read(path):
    with open(path, "rb") as f:
        return f.read()


def record(folder, name):
    return json.loads(read(os.path.join(folder, ".zervgen-slurm", name)))


def task_logs(folder):
    state = os.path.join(folder, ".zervgen-slurm")
    return "".join(read(os.path.join(state, f)).decode() for f in sorted(os.listdir(state))
                   if f.startswith("task-"))


def same_as_local(env, folder, zargs, what):
    """The run's files are those of `zervgen ZARGS` on this machine, byte for
    byte, and (text) each relation's parts concatenate to its whole file."""
    ref = os.path.join(env.work, "ref")
    shutil.rmtree(ref, ignore_errors=True)
    status, _, err = env.local(ref, zargs)
    if not RES.check(status == 0, what, "local reference run", err):
        return
    got = [f for f in files_of(folder) if not f.startswith("started.")]
    RES.check(got == files_of(ref), what, "the same files as a local run",
              f"cluster {got}\nlocal   {files_of(ref)}")
    for name in files_of(ref):
        if name in got:
            RES.check(read(os.path.join(folder, name)) == read(os.path.join(ref, name)), what,
                      f"{name} has the bytes of a local run")
    if "-parquet" not in zargs:
        whole = os.path.join(env.work, "whole")
        shutil.rmtree(whole, ignore_errors=True)
        cut = zargs.index("-parts")
        env.local(whole, zargs[:cut] + zargs[cut + 2:])
        n = int(zargs[cut + 1])
        for name in files_of(whole):
            # Compressed text (NAME.zst, part K NAME.K.zst) compares as text.
            base, suffix = re.fullmatch(r"(.*?)((?:\.zst|\.gz)?)", name, re.S).groups()
            parts = [os.path.join(folder, f"{base}.{k}{suffix}") for k in range(1, n + 1)]
            joined = b"".join(text_of(p) for p in parts if os.path.exists(p))
            RES.check(joined == text_of(os.path.join(whole, name)), what,
                      f"the parts of {name} concatenate to the whole file")


def text_of(path):
    """The text of a file, decompressed when zervgen -compress wrote it."""
    if path.endswith(".zst"):
        return subprocess.run(["zstd", "-dcq", path], capture_output=True, check=True).stdout
    return gzip.decompress(read(path)) if path.endswith(".gz") else read(path)


def verify_agrees(env, folder, zargs, what, rows=None):
    """zervgen -verify over the whole folder finds every file OK; the row
    counts of the parts of each relation add up to `rows` (text)."""
    status, out, err = env.local(folder, zargs + ["-verify"])
    RES.check(status == 0, what, "zervgen -verify passes", out + err)
    lines = out.splitlines()
    RES.check(len(lines) == len([f for f in files_of(folder) if not f.startswith("started.")]),
              what, "zervgen -verify has a line per file", out)
    if rows is not None:
        sums = {}
        for line in lines:
            m = re.fullmatch(r"(.+)\.\d+(\.parquet|\.zst|\.gz)?: OK \((\d+) rows?\)", line)
            if m:
                sums[m.group(1)] = sums.get(m.group(1), 0) + int(m.group(3))
        expected = {base: (1 if base.endswith(".tny") else rows) for base in sums}
        RES.check(sums and sums == expected, what, "the parts hold every row once", str(sums))


def proven(out, n, what):
    return RES.check(f"all {n} parts proven" in out, what, "every part proven", out)


def rerun(env, folder, zargs, what, parts_line, zervgen=None):
    """The same run again submits exactly `parts_line` ("parts 2 of 3") and
    proves every part, with the bytes of a local run."""
    n = int(zargs[zargs.index("-parts") + 1])
    status, out = env.slurm("run", "-W", folder, "--", *zargs, zervgen=zervgen)
    RES.check(status == 0 and f"{parts_line}" in out, what, f"the re-run writes {parts_line}", out)
    proven(out, n, what)
    same_as_local(env, folder, zargs, what)


# ---- whole runs ------------------------------------------------------------


RUNS = [
    # (name, zervgen options, rows per relation for the row check)
    ("text-5rel-3", ["-n", "1000", "-fc", "5", "-parts", "3", "-threads", "1"], 1000),
    ("text-hu-4", ["-hu", "-n", "2501", "-dc", "|", "-parts", "4", "-f", "hun"], 2501),
    ("text-ff-1", ["-ff", "-te", "-n", "700", "-parts", "1"], 700),
    ("text-ti-2", ["-ti", "-parts", "2", "-f", "tiny.txt"], None),
    ("zstd-5rel-3", ["-n", "1000", "-fc", "5", "-parts", "3", "-compress", "zstd:3"], 1000),
    ("gzip-hu-2", ["-hu", "-n", "9000", "-parts", "2", "-compress", "gzip", "-f", "hun.txt"], 9000),
    ("parquet-5rel-2", ["-parquet", "-n", "1500", "-parts", "2", "-threads", "1"], 1500),
    ("parquet-te-5", ["-parquet", "-te", "-n", "3000", "-parts", "5", "-rowgroup", "1000",
                      "-codec", "none", "-f", "ten.parquet"], 3000),
]


def whole_runs(env):
    # A build without the codec libraries refuses -parquet's default codec:
    # its Parquet runs say "-codec none".
    plain = "snappy" not in harness.run([env.zervgen, "--version"]).stdout
    for name, zargs, rows in RUNS:
        if plain and "-parquet" in zargs and "-codec" not in zargs:
            zargs = zargs + ["-codec", "none"]
        folder = env.folder(name)
        n = int(zargs[zargs.index("-parts") + 1])
        status, out = env.slurm("run", "-W", folder, "--", *zargs)
        RES.check(status == 0, name, "status 0", out)
        proven(out, n, name)
        same_as_local(env, folder, zargs, name)
        verify_agrees(env, folder, zargs, name, rows)
        # Nothing left to do: a second run submits nothing.
        status, out = env.slurm("run", "-W", folder, "--", *zargs)
        RES.check(status == 0 and "submitted" not in out and proven(out, n, name), name,
                  "a second run submits nothing", out)


# Folder names sbatch would read: % starts a field of its output file's
# name (escaped as %%), the rest must reach the tasks as they are. A
# backslash, which Slurm cannot take there, is refused (offline.py).
ODD_FOLDERS = ["100%j done", "a%%b", "%A_%a %x %N %u", "sp ace", "q'uo\"te", "new\nline",
               "t\tab", "-dash", "tail%"]


def odd_folders(env):
    zargs = ["-hu", "-n", "1000", "-parts", "2", "-threads", "1"]
    base = env.folder("odd")
    for name in ODD_FOLDERS:
        what = f"folder {name!r}"
        folder = os.path.join(base, name)
        status, out = env.slurm("run", "-W", folder, "--", *zargs)
        job = re.search(r"submitted job (\d+)", out)
        if not (RES.check(status == 0 and job, what, "status 0", out) and proven(out, 2, what)):
            continue
        RES.check(sorted(f for f in os.listdir(os.path.join(folder, ".zervgen-slurm"))
                         if f.startswith("task-")) ==
                  [f"task-{job.group(1)}_{k}.out" for k in (1, 2)], what,
                  "the tasks' output in the folder's record", str(os.listdir(folder)))
        same_as_local(env, folder, zargs, what)
    RES.check(sorted(os.listdir(base)) == sorted(ODD_FOLDERS), "odd folders",
              "nothing written beside the folders", str(os.listdir(base)))


# ---- failure paths -----------------------------------------------------------


BASE = ["-n", "1000", "-parts", "3", "-threads", "1"]


def part_states(folder):
    state = os.path.join(folder, ".zervgen-slurm")
    return {f: read(os.path.join(state, f)) for f in os.listdir(state) if f.startswith("part.")}


def existing_part_file(env):
    what = "existing part file"
    folder = env.folder("existing")
    with open(os.path.join(folder, "zerv.hun.2"), "w") as f:
        f.write("not a part\n")
    status, out = env.slurm("run", "-W", folder, "--", *BASE)
    RES.check(status == 1, what, "status 1", out)
    RES.check(re.search(rf"^part 2: FAILED on {NODE} \(job \d+_2\): .*File already exists", out,
                        re.M), what, "part 2 named with its node and reason", out)
    RES.check(not re.search(r"^part [13]:", out, re.M), what, "parts 1 and 3 proven", out)
    RES.check(read(os.path.join(folder, "zerv.hun.2")) == b"not a part\n", what,
              "the existing file untouched")
    status, again = env.slurm("status", folder)
    RES.check(status == 1 and "part 2: FAILED" in again, what, "status says the same", again)
    # The user removes the file; the re-run writes part 2 only.
    os.remove(os.path.join(folder, "zerv.hun.2"))
    before = part_states(folder)
    times = {f: os.stat(os.path.join(folder, f)).st_mtime_ns for f in files_of(folder)}
    rerun(env, folder, BASE, what, "parts 2 of 3")
    after = part_states(folder)
    RES.check(before["part.1"] == after["part.1"] and before["part.3"] == after["part.3"], what,
              "the proven parts' records untouched")
    RES.check(all(os.stat(os.path.join(folder, f)).st_mtime_ns == t for f, t in times.items()),
              what, "the proven parts' files untouched")


def full_folder(env):
    """A full folder fails every part and leaves nothing; a file the user
    writes there afterwards is not the failed attempt's: it stays, also
    under a record of the earlier version (which said only "owned")."""
    what = "full folder"
    folder = env.folder("full")
    zargs = ["-hu", "-n", "3000", "-parts", "3", "-threads", "1"]
    # A file-size limit of 50 KiB (Slurm hands it on to the tasks): each part
    # is about 110 KiB.
    status, out = env.slurm("run", "-W", folder, "--", *zargs, limit=51200)
    RES.check(status == 1, what, "status 1", out)
    for k in (1, 2, 3):
        RES.check(re.search(rf"^part {k}: FAILED on {NODE} \(job \d+_{k}\): .*File system full",
                            out, re.M), what, f"part {k} named with its node and reason", out)
    RES.check(files_of(folder) == [], what, "no partial file left", str(files_of(folder)))
    RES.check(record(folder, "part.2").get("left") == [], what,
              "the failed attempt names no file it left", str(record(folder, "part.2")))
    old = {k: v for k, v in record(folder, "part.3").items() if k != "left"}
    write_record(os.path.join(folder, ".zervgen-slurm", "part.3"), dict(old, owned=True))
    for k in (2, 3):
        with open(os.path.join(folder, f"zerv.hun.{k}"), "w") as f:
            f.write("my own notes\n")
    status, out = env.slurm("run", "-W", folder, "--", *zargs)
    RES.check(status == 1 and "parts 1-3 of 3" in out, what, "the re-run: status 1", out)
    for k in (2, 3):
        RES.check(re.search(rf"^part {k}: FAILED on {NODE} \(job \d+_{k}\): zerv.hun.{k} is in "
                            r"the part's way and not as an earlier attempt at the part left it: "
                            r"kept; remove it to write the part again$", out, re.M), what,
                  f"part {k} names the user's file, kept", out)
        RES.check(read(os.path.join(folder, f"zerv.hun.{k}")) == b"my own notes\n", what,
                  f"the user's zerv.hun.{k} as it was")
    RES.check("removing" not in task_logs(folder), what, "nothing removed", task_logs(folder))
    for k in (2, 3):
        os.remove(os.path.join(folder, f"zerv.hun.{k}"))
    rerun(env, folder, zargs, what, "parts 2-3 of 3")


def write_record(path, value):
    with open(path, "w") as f:
        json.dump(value, f)


def damaging_zervgen(env):
    """A zervgen that damages part 2's file after writing it, as a failing
    disk might: -verify then finds it wrong."""
    path = os.path.join(env.work, "damaging-zervgen")
    with open(path, "w") as f:
        f.write(f"""#!/bin/sh
case " $* " in *" -describe "*|*" -verify "*) exec {env.zervgen} "$@";; esac
{env.zervgen} "$@" || exit $?
case " $* " in *" -part 2 "*) printf '#' >>zerv.hun.2;; esac
""")
    os.chmod(path, 0o755)
    return path


def left_by_attempt(env):
    """Files an attempt wrote and left, named in its record by size and
    time, are taken as its own: the next attempt removes them and writes
    the part again."""
    what = "files a failed attempt left"
    folder = env.folder("left")
    zargs = ["-hu", "-n", "1000", "-parts", "3", "-threads", "1"]
    status, out = env.slurm("run", "-W", folder, "--", *zargs, zervgen=damaging_zervgen(env))
    RES.check(status == 1 and re.search(r"^part 2: FAILED on \S+ \(job \d+_2\): zerv.hun.2: "
                                        r"FAILED: ", out, re.M), what, "part 2 fails -verify", out)
    st = os.stat(os.path.join(folder, "zerv.hun.2"))
    RES.check(record(folder, "part.2").get("left") ==
              [{"name": "zerv.hun.2", "size": st.st_size, "mtime_ns": st.st_mtime_ns}], what,
              "its record names the file it left", str(record(folder, "part.2")))
    rerun(env, folder, zargs, what, "parts 2 of 3")
    RES.check("part 2: removing zerv.hun.2, left by an earlier attempt" in task_logs(folder),
              what, "the next attempt removes it", task_logs(folder))


def removed_after_run(env):
    """A proven part's file removed: its other files are the run's and are
    written again. A proven file changed since: it is not as the run left
    it, so it stays and the part fails naming it until the user removes it."""
    what = "part removed or changed after the run"
    folder = env.folder("removed")
    status, out = env.slurm("run", "-W", folder, "--", *BASE)
    RES.check(status == 0, what, "the first run", out)
    os.remove(os.path.join(folder, "zerv.hun.2"))
    with open(os.path.join(folder, "zerv.uni.3"), "r+b") as f:
        f.truncate(100)
    before = part_states(folder)
    status, out = env.slurm("status", folder)
    RES.check(status == 1, what, "status 1", out)
    RES.check("part 2: CHANGED: zerv.hun.2 is missing" in out and
              "part 3: CHANGED: zerv.uni.3 changed after it was proven" in out, what,
              "status names both files", out)
    status, out = env.slurm("run", "-W", folder, "--", *BASE)
    RES.check(status == 1 and "parts 2-3 of 3" in out and not re.search("^part 2", out, re.M) and
              re.search(r"^part 3: FAILED on \S+ \(job \d+_3\): zerv.uni.3 is in the part's way",
                        out, re.M), what, "the re-run writes part 2 and keeps zerv.uni.3", out)
    RES.check(os.path.getsize(os.path.join(folder, "zerv.uni.3")) == 100, what,
              "the changed file as it was")
    RES.check(part_states(folder)["part.1"] == before["part.1"], what, "part 1 left alone")
    os.remove(os.path.join(folder, "zerv.uni.3"))
    rerun(env, folder, BASE, what, "parts 3 of 3")
    verify_agrees(env, folder, BASE, what, 1000)


def stalling_zervgen(env):
    """A zervgen that tells it started (started.PID holding its task's PID)
    and then waits for a file 'go' that no test creates; -describe it
    answers at once."""
    path = os.path.join(env.work, "stalling-zervgen")
    with open(path, "w") as f:
        f.write(f"""#!/bin/sh
for arg; do [ "$arg" = -describe ] && exec {env.zervgen} "$@"; done
echo $PPID > "$PWD/started.tmp.$$" && mv "$PWD/started.tmp.$$" "$PWD/started.$$"
while [ ! -e "$PWD/go" ]; do sleep 0.2; done
exec {env.zervgen} "$@"
""")
    os.chmod(path, 0o755)
    return path


def wait_started(folder, count, what):
    """The markers of `count` stalled zervgens, once they are all there."""
    def started():
        return [f for f in os.listdir(folder) if re.fullmatch(r"started\.\d+", f)]
    try:
        harness.wait_until(lambda: len(started()) >= count, what, limit=900)
    except AssertionError as err:
        RES.check(False, what, str(err))
        return []
    return started()


def cancelled_job(env):
    what = "cancelled job"
    folder = env.folder("cancelled")
    status, out = env.slurm("run", "--max-running", "1", folder, "--", *BASE,
                            zervgen=stalling_zervgen(env))
    job = re.search(r"submitted job (\d+): parts 1-3 of 3", out)
    RES.check(status == 0 and job and "status " + folder in out, what,
              "the run returns at once, saying how to check", out)
    if not job or not wait_started(folder, 1, f"{what}: a task started"):
        return
    status, out = env.slurm("status", folder)
    RES.check(status == 3 and re.search(rf"^part \d: RUNNING on {NODE}", out, re.M) and
              len(re.findall(r"^part \d: PENDING", out, re.M)) == 2, what,
              "status 3, one part running, two pending", out)
    status, out = env.slurm("run", folder, "--", *BASE)
    RES.check(status == 2 and "still pending or running" in out, what,
              "a run while the job runs is refused", out)
    subprocess.run(["scancel", job.group(1)], check=True, timeout=900)
    status, out = env.slurm("status", "-W", folder)
    RES.check(status == 1, what, "status 1", out)
    ended = re.findall(rf"^part (\d): FAILED on {NODE} \(job \d+_\d\): the task was ended by "
                       r"SIGTERM", out, re.M)
    RES.check(len(ended) == 1, what, "the running part failed", out)
    RES.check(len(re.findall(r"^part \d: NOT RUN \(job \d+_\d ended before the task started: "
                             r"CANCELLED", out, re.M)) == 2, what, "two parts not run", out)
    if ended:
        RES.check(record(folder, f"part.{ended[0]}").get("left") == [], what,
                  "the stopped attempt, which wrote nothing, names no file")
    for f in files_of(folder):
        os.remove(os.path.join(folder, f))
    rerun(env, folder, BASE, what, "parts 1-3 of 3")


def interrupted_wait(env):
    """^C while run -W waits: the job goes on, and status says so."""
    what = "interrupted wait"
    folder = env.folder("interrupted")
    zargs = ["-ti", "-parts", "1"]
    tool = subprocess.Popen([sys.executable, env.script, "run", "--zervgen", stalling_zervgen(env),
                             "-W", folder, "--"] + zargs, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    line = tool.stdout.readline()
    job = re.search(r"submitted job (\d+)", line)
    RES.check(job, what, "the job submitted", line)
    tool.send_signal(signal.SIGINT)
    out, err = tool.communicate(timeout=900)
    RES.check(tool.returncode == 130 and out == "" and err ==
              f"zervgen-slurm: stopped waiting; the job goes on: zervgen-slurm status {folder}\n",
              what, "status 130 and one line", f"{tool.returncode} {out!r} {err!r}")
    status, out = env.slurm("status", folder)
    RES.check(status == 3, what, "the job goes on", out)
    if job:
        subprocess.run(["scancel", job.group(1)], check=True, timeout=900)
    status, out = env.slurm("status", "-W", folder)
    RES.check(status == 1, what, "cancelled, it is not proven", out)


def lost_tasks(env):
    """Tasks killed outright leave no result: they are named as lost. What
    their zervgen left is proven when it is the part; when it is not, it is
    no attempt's recorded file: it stays and the part fails naming it."""
    what = "lost tasks"
    folder = env.folder("lost")
    zargs = ["-n", "1000", "-parts", "2", "-threads", "1"]
    status, out = env.slurm("run", folder, "--", *zargs, zervgen=stalling_zervgen(env))
    started = wait_started(folder, 2, f"{what}: both tasks started")
    if not RES.check(status == 0 and started, what, "both tasks started", out):
        return
    for marker in started:
        task = int(read(os.path.join(folder, marker)))
        for pid in (task, int(marker.split(".")[1])):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        os.remove(os.path.join(folder, marker))
    status, out = env.slurm("status", "-W", folder)
    RES.check(status == 1 and all(re.search(rf"^part {k}: LOST on {NODE} \(job \d+_{k}\)", out,
                                            re.M) for k in (1, 2)), what,
              "both parts named as lost", out)
    # What a zervgen that outlived its task would leave: part 1 whole, part 2
    # with a damaged row.
    for k in (1, 2):
        env.local(folder, zargs + ["-part", str(k)])
    with open(os.path.join(folder, "zerv.hun.2"), "r+b") as f:
        f.seek(10)
        f.write(b"#")
    status, out = env.slurm("run", "-W", folder, "--", *zargs)
    RES.check(status == 1 and "parts 1-2 of 2" in out and not re.search("^part 1", out, re.M),
              what, "the re-run proves part 1", out)
    RES.check(re.search(r"^part 2: FAILED on \S+ \(job \d+_2\): zerv.uni.2, .*zerv.hun.2.* are "
                        r"in the part's way and not as an earlier attempt", out, re.M), what,
              "part 2 names the files it keeps", out)
    RES.check("part 1: the files an earlier attempt left are the part" in task_logs(folder),
              what, "part 1's files kept", task_logs(folder))
    for name in files_of(folder):
        if re.search(r"\.2$", name):
            os.remove(os.path.join(folder, name))
    rerun(env, folder, zargs, what, "parts 2 of 2")


def refusals(env):
    """Options of another run in a folder are refused; options zervgen
    refuses bind no folder: the corrected command runs there."""
    folder = env.folder("refused")
    status, out = env.slurm("run", "-W", folder, "--", "-ti", "-n", "50", "-parts", "1")
    RES.check(status == 2 and "At least 100 rows must be specified." in out, "refused",
              "options zervgen refuses", out)
    status, out = env.slurm("run", "-W", folder, "--", "-ti", "-parts", "1")
    RES.check(status == 0, "refused", "a first run in the folder", out)
    status, out = env.slurm("run", folder, "--", "-ti", "-parts", "2")
    RES.check(status == 2 and "holds a run of other zervgen options" in out, "refused",
              "other options in the same folder", out)


def failed_submission(env):
    """A submission sbatch refuses leaves the folder as it was: no record
    on a first run, the previous record on a later one."""
    what = "failed submission"
    folder = env.folder("submission")
    zargs = ["-hu", "-n", "1000", "-parts", "2", "-threads", "1"]
    for slurm_options in (["--sbatch=--bogus"], ["-p", "nosuch"]):
        where = f"{what}: {' '.join(slurm_options)}"
        status, out = env.slurm("run", *slurm_options, folder, "--", *zargs)
        RES.check(status == 2 and "zervgen-slurm: sbatch failed: " in out, where,
                  "status 2, saying why", out)
        RES.check(os.listdir(folder) == [], where, "nothing recorded", str(os.listdir(folder)))
        status, out = env.slurm("status", folder)
        RES.check(status == 2 and "holds no run" in out, where, "the folder holds no run", out)
    status, out = env.slurm("run", "-W", folder, "--", *zargs)
    RES.check(status == 0 and "parts 1-2 of 2" in out, what, "then the run writes both", out)
    proven(out, 2, what)
    # A re-run, with another program, that sbatch refuses: the record stays
    # that of the first run.
    os.remove(os.path.join(folder, "zerv.hun.2"))
    before = read(os.path.join(folder, ".zervgen-slurm", "run.json"))
    status, out = env.slurm("run", "-p", "nosuch", folder, "--", *zargs,
                            zervgen=stalling_zervgen(env))
    RES.check(status == 2 and "sbatch failed: " in out, what, "a failed re-run: status 2", out)
    RES.check(read(os.path.join(folder, ".zervgen-slurm", "run.json")) == before, what,
              "a failed re-run leaves the record as it was")
    status, out = env.slurm("status", folder)
    RES.check(status == 1 and out.startswith("part 2: CHANGED: zerv.hun.2 is missing\n"), what,
              "status after a failed re-run", out)
    rerun(env, folder, zargs, what, "parts 2 of 2")


def forged_name(env):
    """A file name that holds a line feed and then what reads as another
    file's -verify line: the parts are proven by their own results, and
    status shows the name on one line."""
    what = "a name that reads as a line of -verify"
    folder = env.folder("forged")
    name = "x\nzerv.hun: OK (1000 rows)"
    zargs = ["-hu", "-n", "1000", "-parts", "2", "-threads", "1", "-f", name]
    status, out = env.slurm("run", "-W", folder, "--", *zargs)
    RES.check(status == 0, what, "status 0", out)
    proven(out, 2, what)
    same_as_local(env, folder, zargs, what)
    for k in (1, 2):
        names = [f["name"] for f in record(folder, f"part.{k}").get("files", [])]
        RES.check(names == [f"{name}.{k}"], what, f"part {k} holds its file", str(names))
    os.remove(os.path.join(folder, f"{name}.2"))
    status, out = env.slurm("status", folder)
    RES.check(status == 1 and out.startswith(
        "part 2: CHANGED: x\\nzerv.hun: OK (1000 rows).2 is missing\n"), what,
              "status shows the name on one line", out)
    rerun(env, folder, zargs, what, "parts 2 of 2")


def main():
    harness.sigint_at_default()
    parser = argparse.ArgumentParser()
    parser.add_argument("--zervgen", required=True)
    parser.add_argument("--script", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--offline", action="store_true", help="the checks that need no cluster")
    parser.add_argument("--only", action="append", metavar="TEST",
                        help="run only this check (repeatable), e.g. --only odd_folders")
    args = parser.parse_args()
    env = Env(os.path.realpath(args.zervgen), os.path.realpath(args.script),
              os.path.realpath(args.work))
    os.makedirs(env.work, exist_ok=True)
    if args.offline:
        import offline
        tests = offline.TESTS
    else:
        tests = (refusals, whole_runs, odd_folders, existing_part_file, full_folder,
                 left_by_attempt, removed_after_run, failed_submission, forged_name,
                 cancelled_job, interrupted_wait, lost_tasks)
    for test in tests:
        if args.only and test.__name__ not in args.only:
            continue
        start = RES.failed
        test(env)
        print(f"{'ok  ' if RES.failed == start else 'FAIL'} {test.__name__}", flush=True)
    return RES.summary()


if __name__ == "__main__":
    sys.exit(main())
