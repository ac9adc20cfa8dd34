#!/usr/bin/env python3
"""Checks zervgen-slurm on a running Slurm cluster (SLURM_CONF set; started
by .ci/slurm-tests): whole runs of text and Parquet against single-machine
runs, and the failure paths (an existing part file, a full folder, a part
removed or changed after the run, a cancelled job, a lost task, a failed
submission, a file name that reads as a line of -verify).

With --offline, the checks that need no cluster instead: command lines
refused before anything is recorded or submitted, and a submit host
without sbatch. .ci/slurm-tests runs them before it starts the cluster; by
hand:

    python3 tests/slurm/check_slurm.py --offline --zervgen build/zervgen \
        --script scripts/zervgen-slurm --work /tmp/slurm-offline

Every wait is on a job's state or on a file, with a generous timeout; no
check depends on how fast the machine is.
"""

import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time

NODE = "zn1"
TIMEOUT = 900  # seconds for one command; a busy machine is slow, not wrong

failures = []


def check(condition, what, detail=""):
    if not condition:
        failures.append(what)
        print(f"FAIL: {what}" + (f"\n{detail}" if detail else ""), flush=True)
    return condition


class Env:
    def __init__(self, zervgen, script, work):
        self.zervgen = zervgen
        self.script = script
        self.work = work

    def folder(self, name):
        path = os.path.join(self.work, name)
        shutil.rmtree(path, ignore_errors=True)
        os.makedirs(path)
        return path

    def slurm(self, *args, zervgen=None, limit=None, path=None):
        """Runs zervgen-slurm (with PATH set to `path` when given); returns
        (status, standard output + error)."""
        def lower_limit():
            if limit is not None:
                import resource
                resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
        cmd = [sys.executable, self.script] + list(args)
        if args[0] == "run":
            cut = cmd.index("--") if "--" in cmd else len(cmd)
            cmd[cut:cut] = ["--zervgen", zervgen or self.zervgen, "--poll", "0.5"]
        elif "-W" in args:
            cmd.insert(3, "--poll")
            cmd.insert(4, "0.5")
        env = dict(os.environ, PATH=path) if path is not None else None
        done = subprocess.run(cmd, capture_output=True, text=True, timeout=TIMEOUT,
                              preexec_fn=lower_limit, env=env)
        return done.returncode, done.stdout + done.stderr

    def local(self, folder, zargs):
        """zervgen run on this machine, in `folder`."""
        os.makedirs(folder, exist_ok=True)
        done = subprocess.run([self.zervgen] + zargs, cwd=folder, capture_output=True,
                              text=True, timeout=TIMEOUT)
        return done.returncode, done.stdout, done.stderr


def files_of(folder):
    return sorted(f for f in os.listdir(folder) if not f.startswith(".") and
                  os.path.isfile(os.path.join(folder, f)))


def read(path):
    with open(path, "rb") as f:
        return f.read()


def same_as_local(env, folder, zargs, what):
    """The run's files are those of `zervgen ZARGS` on this machine, byte for
    byte, and (text) each relation's parts concatenate to its whole file."""
    ref = os.path.join(env.work, "ref")
    shutil.rmtree(ref, ignore_errors=True)
    status, _, err = env.local(ref, zargs)
    if not check(status == 0, f"{what}: local reference run", err):
        return
    got = [f for f in files_of(folder) if not f.startswith("started.")]
    check(got == files_of(ref), f"{what}: the same files as a local run",
          f"cluster {got}\nlocal   {files_of(ref)}")
    for name in files_of(ref):
        if name in got:
            check(read(os.path.join(folder, name)) == read(os.path.join(ref, name)),
                  f"{what}: {name} has the bytes of a local run")
    if "-parquet" not in zargs:
        whole = os.path.join(env.work, "whole")
        shutil.rmtree(whole, ignore_errors=True)
        cut = zargs.index("-parts")
        status, _, err = env.local(whole, zargs[:cut] + zargs[cut + 2:])
        n = int(zargs[cut + 1])
        for name in files_of(whole):
            joined = b"".join(read(os.path.join(folder, f"{name}.{k}")) for k in range(1, n + 1)
                              if os.path.exists(os.path.join(folder, f"{name}.{k}")))
            check(joined == read(os.path.join(whole, name)),
                  f"{what}: the parts of {name} concatenate to the whole file")


def verify_agrees(env, folder, zargs, what, rows=None):
    """zervgen -verify over the whole folder finds every file OK; the row
    counts of the parts of each relation add up to `rows` (text)."""
    status, out, err = env.local(folder, zargs + ["-verify"])
    check(status == 0, f"{what}: zervgen -verify passes", out + err)
    lines = out.splitlines()
    check(len(lines) == len([f for f in files_of(folder) if not f.startswith("started.")]),
          f"{what}: zervgen -verify has a line per file", out)
    if rows is not None:
        sums = {}
        for line in lines:
            m = re.fullmatch(r"(.+)\.\d+(\.parquet)?: OK \((\d+) rows?\)", line)
            if m:
                sums[m.group(1)] = sums.get(m.group(1), 0) + int(m.group(3))
        expected = {base: (1 if base.endswith(".tny") else rows) for base in sums}
        check(sums and sums == expected, f"{what}: the parts hold every row once", str(sums))


def proven(out, n, what):
    return check(f"all {n} parts proven" in out, f"{what}: every part proven", out)


# ---- whole runs ------------------------------------------------------------


RUNS = [
    # (name, zervgen options, rows per relation for the row check)
    ("text-5rel-3", ["-n", "1000", "-fc", "5", "-parts", "3", "-threads", "1"], 1000),
    ("text-hu-4", ["-hu", "-n", "2501", "-dc", "|", "-parts", "4", "-f", "hun"], 2501),
    ("text-ff-1", ["-ff", "-te", "-n", "700", "-parts", "1"], 700),
    ("text-ti-2", ["-ti", "-parts", "2", "-f", "tiny.txt"], None),
    ("parquet-5rel-2", ["-parquet", "-n", "1500", "-parts", "2", "-threads", "1"], 1500),
    ("parquet-te-5", ["-parquet", "-te", "-n", "3000", "-parts", "5", "-rowgroup", "1000",
                      "-codec", "none", "-f", "ten.parquet"], 3000),
]


def whole_runs(env):
    # A build without the codec libraries refuses -parquet's default codec:
    # its Parquet runs say "-codec none".
    version = subprocess.run([env.zervgen, "--version"], capture_output=True, text=True,
                             timeout=TIMEOUT).stdout
    plain = "snappy" not in version
    for name, zargs, rows in RUNS:
        if plain and "-parquet" in zargs and "-codec" not in zargs:
            zargs = zargs + ["-codec", "none"]
        folder = env.folder(name)
        n = int(zargs[zargs.index("-parts") + 1])
        status, out = env.slurm("run", "-W", folder, "--", *zargs)
        check(status == 0, f"{name}: status 0", out)
        proven(out, n, name)
        same_as_local(env, folder, zargs, name)
        verify_agrees(env, folder, zargs, name, rows)
        # Nothing left to do: a second run submits nothing.
        status, out = env.slurm("run", "-W", folder, "--", *zargs)
        check(status == 0 and "submitted" not in out and proven(out, n, name),
              f"{name}: a second run submits nothing", out)


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
    check(status == 1, f"{what}: status 1", out)
    check(re.search(rf"^part 2: FAILED on {NODE} \(job \d+_2\): .*File already exists", out,
                    re.M), f"{what}: part 2 named with its node and reason", out)
    check(not re.search(r"^part [13]:", out, re.M), f"{what}: parts 1 and 3 proven", out)
    check(read(os.path.join(folder, "zerv.hun.2")) == b"not a part\n",
          f"{what}: the existing file untouched")
    status, again = env.slurm("status", folder)
    check(status == 1 and "part 2: FAILED" in again, f"{what}: status says the same", again)
    # The user removes the file; the re-run writes part 2 only.
    os.remove(os.path.join(folder, "zerv.hun.2"))
    before = part_states(folder)
    times = {f: os.stat(os.path.join(folder, f)).st_mtime_ns for f in files_of(folder)}
    status, out = env.slurm("run", "-W", folder, "--", *BASE)
    check(status == 0 and re.search(r"submitted job \d+: parts 2 of 3", out),
          f"{what}: the re-run submits part 2 alone", out)
    proven(out, 3, what)
    after = part_states(folder)
    check(before["part.1"] == after["part.1"] and before["part.3"] == after["part.3"],
          f"{what}: the proven parts' records untouched")
    check(all(os.stat(os.path.join(folder, f)).st_mtime_ns == t for f, t in times.items()),
          f"{what}: the proven parts' files untouched")
    same_as_local(env, folder, BASE, what)


def full_folder(env):
    what = "full folder"
    folder = env.folder("full")
    zargs = ["-hu", "-n", "2000", "-parts", "2", "-threads", "1"]
    # A file-size limit of 16 KiB (Slurm hands it on to the tasks): each part
    # is about 75 KiB.
    status, out = env.slurm("run", "-W", folder, "--", *zargs, limit=16384)
    check(status == 1, f"{what}: status 1", out)
    for k in (1, 2):
        check(re.search(rf"^part {k}: FAILED on {NODE} \(job \d+_{k}\): .*File system full",
                        out, re.M), f"{what}: part {k} named with its node and reason", out)
    check(files_of(folder) == [], f"{what}: no partial file left", str(files_of(folder)))
    status, out = env.slurm("run", "-W", folder, "--", *zargs)
    check(status == 0 and "parts 1-2 of 2" in out, f"{what}: the re-run writes both", out)
    same_as_local(env, folder, zargs, what)


def removed_after_run(env):
    what = "part removed or changed after the run"
    folder = env.folder("removed")
    status, out = env.slurm("run", "-W", folder, "--", *BASE)
    check(status == 0, f"{what}: the first run", out)
    os.remove(os.path.join(folder, "zerv.hun.2"))
    with open(os.path.join(folder, "zerv.uni.3"), "r+b") as f:
        f.truncate(100)
    before = part_states(folder)
    status, out = env.slurm("status", folder)
    check(status == 1, f"{what}: status 1", out)
    check("part 2: CHANGED: zerv.hun.2 is missing" in out and
          "part 3: CHANGED: zerv.uni.3 changed after it was proven" in out,
          f"{what}: status names both files", out)
    status, out = env.slurm("run", "-W", folder, "--", *BASE)
    check(status == 0 and "parts 2-3 of 3" in out, f"{what}: the re-run writes parts 2 and 3",
          out)
    check(part_states(folder)["part.1"] == before["part.1"], f"{what}: part 1 left alone")
    same_as_local(env, folder, BASE, what)
    verify_agrees(env, folder, BASE, what, 1000)


def stalling_zervgen(env):
    """A zervgen that tells it started (started.PID holding its task's PID)
    and then waits for a file 'go' that no test creates; -describe it
    answers at once."""
    path = os.path.join(env.work, "stalling-zervgen")
    with open(path, "w") as f:
        f.write(f"""#!/bin/sh
for arg; do [ "$arg" = -describe ] && exec {env.zervgen} "$@"; done
echo $PPID > "$PWD/started.$$"
while [ ! -e "$PWD/go" ]; do sleep 0.2; done
exec {env.zervgen} "$@"
""")
    os.chmod(path, 0o755)
    return path


def wait_started(folder, count):
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        started = [f for f in os.listdir(folder) if f.startswith("started.")]
        if len(started) >= count and all(os.path.getsize(os.path.join(folder, f)) for f in
                                          started):
            return started
        time.sleep(0.2)
    return []


def cancelled_job(env):
    what = "cancelled job"
    folder = env.folder("cancelled")
    status, out = env.slurm("run", "--max-running", "1", folder, "--", *BASE,
                            zervgen=stalling_zervgen(env))
    job = re.search(r"submitted job (\d+): parts 1-3 of 3", out)
    check(status == 0 and job and "status " + folder in out,
          f"{what}: the run returns at once, saying how to check", out)
    if not job or not check(wait_started(folder, 1), f"{what}: a task started"):
        return
    status, out = env.slurm("status", folder)
    check(status == 3 and re.search(rf"^part \d: RUNNING on {NODE}", out, re.M) and
          len(re.findall(r"^part \d: PENDING", out, re.M)) == 2,
          f"{what}: status 3, one part running, two pending", out)
    status, out = env.slurm("run", folder, "--", *BASE)
    check(status == 2 and "still pending or running" in out,
          f"{what}: a run while the job runs is refused", out)
    subprocess.run(["scancel", job.group(1)], check=True, timeout=TIMEOUT)
    status, out = env.slurm("status", "-W", folder)
    check(status == 1, f"{what}: status 1", out)
    check(len(re.findall(rf"^part \d: FAILED on {NODE} \(job \d+_\d\): the task was ended by "
                         r"SIGTERM", out, re.M)) == 1, f"{what}: the running part failed", out)
    check(len(re.findall(r"^part \d: NOT RUN \(job \d+_\d ended before the task started: "
                         r"CANCELLED", out, re.M)) == 2, f"{what}: two parts not run", out)
    for f in files_of(folder):
        os.remove(os.path.join(folder, f))
    status, out = env.slurm("run", "-W", folder, "--", *BASE)
    check(status == 0 and "parts 1-3 of 3" in out, f"{what}: the re-run writes all", out)
    same_as_local(env, folder, BASE, what)


def lost_tasks(env):
    """Tasks killed outright leave no result: they are named as lost, and
    what their zervgen left is proven when it is the part and written again
    when it is not."""
    what = "lost tasks"
    folder = env.folder("lost")
    zargs = ["-n", "1000", "-parts", "2", "-threads", "1"]
    status, out = env.slurm("run", folder, "--", *zargs, zervgen=stalling_zervgen(env))
    started = wait_started(folder, 2)
    if not check(status == 0 and started, f"{what}: both tasks started", out):
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
    check(status == 1 and all(re.search(rf"^part {k}: LOST on {NODE} \(job \d+_{k}\)", out,
                                        re.M) for k in (1, 2)),
          f"{what}: both parts named as lost", out)
    # What a zervgen that outlived its task would leave: part 1 whole, part 2
    # with a damaged row.
    for k in (1, 2):
        env.local(folder, zargs + ["-part", str(k)])
    with open(os.path.join(folder, "zerv.hun.2"), "r+b") as f:
        f.seek(10)
        f.write(b"#")
    status, out = env.slurm("run", "-W", folder, "--", *zargs)
    check(status == 0 and "parts 1-2 of 2" in out, f"{what}: the re-run proves both", out)
    logs = "".join(read(os.path.join(folder, ".zervgen-slurm", f)).decode()
                   for f in os.listdir(os.path.join(folder, ".zervgen-slurm"))
                   if f.startswith("task-"))
    check("part 1: the files an earlier attempt left are the part" in logs,
          f"{what}: part 1's files kept", logs)
    check("part 2: removing zerv.hun.2, left by an earlier attempt" in logs,
          f"{what}: part 2's files written again", logs)
    same_as_local(env, folder, zargs, what)


def refusals(env):
    """Options of another run in a folder are refused; options zervgen
    refuses bind no folder: the corrected command runs there."""
    folder = env.folder("refused")
    status, out = env.slurm("run", "-W", folder, "--", "-ti", "-n", "50", "-parts", "1")
    check(status == 2 and "At least 100 rows must be specified." in out,
          "refused: options zervgen refuses", out)
    status, out = env.slurm("run", "-W", folder, "--", "-ti", "-parts", "1")
    check(status == 0, "refused: a first run in the folder", out)
    status, out = env.slurm("run", folder, "--", "-ti", "-parts", "2")
    check(status == 2 and "holds a run of other zervgen options" in out,
          "refused: other options in the same folder", out)


def failed_submission(env):
    """A submission sbatch refuses leaves the folder as it was: no record
    on a first run, the previous record on a later one."""
    what = "failed submission"
    folder = env.folder("submission")
    zargs = ["-hu", "-n", "1000", "-parts", "2", "-threads", "1"]
    for slurm_options in (["--sbatch=--bogus"], ["-p", "nosuch"]):
        status, out = env.slurm("run", *slurm_options, folder, "--", *zargs)
        check(status == 2 and "zervgen-slurm: sbatch failed: " in out,
              f"{what}: {' '.join(slurm_options)}: status 2, saying why", out)
        check(os.listdir(folder) == [], f"{what}: {' '.join(slurm_options)}: nothing recorded",
              str(os.listdir(folder)))
        status, out = env.slurm("status", folder)
        check(status == 2 and "holds no run" in out,
              f"{what}: {' '.join(slurm_options)}: the folder holds no run", out)
    status, out = env.slurm("run", "-W", folder, "--", *zargs)
    check(status == 0 and "parts 1-2 of 2" in out, f"{what}: then the run writes both", out)
    proven(out, 2, what)
    # A re-run, with another program, that sbatch refuses: the record stays
    # that of the first run.
    os.remove(os.path.join(folder, "zerv.hun.2"))
    record = read(os.path.join(folder, ".zervgen-slurm", "run.json"))
    status, out = env.slurm("run", "-p", "nosuch", folder, "--", *zargs,
                            zervgen=stalling_zervgen(env))
    check(status == 2 and "sbatch failed: " in out, f"{what}: a failed re-run: status 2", out)
    check(read(os.path.join(folder, ".zervgen-slurm", "run.json")) == record,
          f"{what}: a failed re-run leaves the record as it was")
    status, out = env.slurm("status", folder)
    check(status == 1 and out.startswith("part 2: CHANGED: zerv.hun.2 is missing\n"),
          f"{what}: status after a failed re-run", out)
    status, out = env.slurm("run", "-W", folder, "--", *zargs)
    check(status == 0 and "parts 2 of 2" in out, f"{what}: the re-run writes part 2", out)
    same_as_local(env, folder, zargs, what)


def forged_name(env):
    """A file name that holds a line feed and then what reads as another
    file's -verify line: the parts are proven by their own results, and
    status shows the name on one line."""
    what = "a name that reads as a line of -verify"
    folder = env.folder("forged")
    name = "x\nzerv.hun: OK (1000 rows)"
    zargs = ["-hu", "-n", "1000", "-parts", "2", "-threads", "1", "-f", name]
    status, out = env.slurm("run", "-W", folder, "--", *zargs)
    check(status == 0, f"{what}: status 0", out)
    proven(out, 2, what)
    same_as_local(env, folder, zargs, what)
    for k in (1, 2):
        record = os.path.join(folder, ".zervgen-slurm", f"part.{k}")
        names = [f["name"] for f in json.loads(read(record)).get("files", [])] \
            if os.path.exists(record) else None
        check(names == [f"{name}.{k}"], f"{what}: part {k} holds its file", str(names))
    os.remove(os.path.join(folder, f"{name}.2"))
    status, out = env.slurm("status", folder)
    check(status == 1 and out.startswith(
        "part 2: CHANGED: x\\nzerv.hun: OK (1000 rows).2 is missing\n"),
          f"{what}: status shows the name on one line", out)
    status, out = env.slurm("run", "-W", folder, "--", *zargs)
    check(status == 0 and "parts 2 of 2" in out, f"{what}: the re-run writes part 2", out)
    same_as_local(env, folder, zargs, what)


# ---- without a cluster -----------------------------------------------------------


# Command lines refused before anything is recorded or submitted, with the
# message that says why: zervgen's own (zervgen says it of the same options,
# after its name) or zervgen-slurm's.
REFUSED = [
    (["-n", "50", "-parts", "2"], "zervgen", "At least 100 rows must be specified."),
    (["-parquet", "-ff", "-parts", "2"], "zervgen",
     'Only one of "-parquet" and "-ff" may be specified.'),
    (["-bogus", "-parts", "2"], "zervgen", "Unknown option, '-bogus'."),
    (["-rowgroup", "5000", "-parts", "2"], "zervgen",
     'Option, "-rowgroup", requires "-parquet" to be specified.'),
    (["-dc", "1", "-parts", "2"], "zervgen",
     "Option, \"-dc\", cannot be '1': it occurs in numbers and dates."),
    (["-parquet", "-codec", "lz4", "-parts", "2"], "zervgen",
     "Option, \"-codec\", must be none, snappy or zstd, not 'lz4'."),
    (["-threads", "0", "-parts", "2"], "zervgen", "The number of threads must be from 1 to 1024."),
    (["-n", "1000", "-parts", "3", "-r", "zerv.hun.1"], "zervgen",
     "Option, \"-r\", cannot be 'zerv.hun.1': a relation is written to that file."),
    (["-parts", "1001"], "zervgen", "The number of parts must be from 1 to 1000."),
    (["-n", "1000"], "slurm", 'give the number of parts among zervgen\'s options: "-parts N"'),
    (["-parts", "3", "-part", "1"], "slurm", 'zervgen-slurm chooses "-part" itself; leave it out'),
    (["-hu", "-parts", "2", "-f", "-"], "slurm",
     'parts go to files in the folder; "-f -" cannot be used'),
    (["-parts", "2", "-verify"], "slurm", '"-verify" is run by every task; leave it out'),
    (["-parts", "2", "-manifest", "m.json"], "slurm",
     'each part is written by a zervgen of its own, and they cannot share one manifest:'
     ' leave "-manifest" out (the folder\'s record tells what was proven)'),
]


def no_slurm_path(env):
    """A PATH without sbatch or any other program of Slurm."""
    path = os.path.join(env.work, "no-slurm-bin")
    os.makedirs(path, exist_ok=True)
    return path


def untouched(folder, existed):
    """The folder is as it was: still empty, or still missing with its parent."""
    if existed:
        return os.path.isdir(folder) and os.listdir(folder) == []
    return not os.path.lexists(os.path.dirname(folder))


def folders(env, name):
    """(folder, it existed): an empty folder, and one whose parent is missing."""
    new = os.path.join(env.work, f"{name}-new")
    shutil.rmtree(new, ignore_errors=True)
    return [(env.folder(name), True), (os.path.join(new, "sub"), False)]


def offline_refusals(env):
    for zargs, whose, text in REFUSED:
        what = f"refused: {' '.join(zargs)}"
        line = f"zervgen-slurm: {text}"
        if whose == "zervgen":
            line = f"zervgen-slurm: {env.zervgen}: {text}"
            _, _, err = env.local(env.folder("scratch"), zargs)
            check(f"{env.zervgen}: {text}" in err.splitlines(), f"{what}: zervgen says it", err)
        for folder, existed in folders(env, "refused"):
            status, out = env.slurm("run", folder, "--", *zargs, path=no_slurm_path(env))
            check(status == 2 and out.splitlines()[:1] == [line],
                  f"{what}: status 2 and the message", out)
            check(untouched(folder, existed),
                  f"{what}: the folder as it was ({'empty' if existed else 'missing'})")
    status, out = env.slurm("status", os.path.join(env.work, "nothing-here"))
    check(status == 2 and "holds no run" in out, "refused: status of a folder without a run",
          out)


def no_sbatch(env):
    """A host without sbatch: the run says so and leaves the folder as it
    was, without a record that would bind it."""
    zargs = ["-hu", "-n", "1000", "-parts", "2"]
    for folder, existed in folders(env, "no-sbatch"):
        what = f"no sbatch ({'empty' if existed else 'missing'} folder)"
        status, out = env.slurm("run", folder, "--", *zargs, path=no_slurm_path(env))
        check(status == 2 and out.splitlines() ==
              ["zervgen-slurm: 'sbatch' not found: is this a Slurm submit host?"],
              f"{what}: status 2, saying why", out)
        check(untouched(folder, existed), f"{what}: the folder as it was")
        if existed:
            status, out = env.slurm("status", folder, path=no_slurm_path(env))
            check(status == 2 and "holds no run" in out, f"{what}: the folder holds no run", out)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--zervgen", required=True)
    parser.add_argument("--script", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--offline", action="store_true",
                        help="the checks that need no cluster")
    args = parser.parse_args()
    env = Env(os.path.realpath(args.zervgen), os.path.realpath(args.script),
              os.path.realpath(args.work))
    os.makedirs(env.work, exist_ok=True)
    tests = (offline_refusals, no_sbatch) if args.offline else (
        refusals, whole_runs, existing_part_file, full_folder, removed_after_run,
        failed_submission, forged_name, cancelled_job, lost_tasks)
    for test in tests:
        start = len(failures)
        test(env)
        print(f"{'ok  ' if len(failures) == start else 'FAIL'} {test.__name__}", flush=True)
    if failures:
        print(f"slurm-tests: {len(failures)} checks failed", flush=True)
        return 1
    print("slurm-tests: all checks passed", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
