"""The checks of zervgen-slurm that need no cluster (check_slurm.py
--offline): command lines refused before anything is recorded or
submitted, each with one line and status 2, and a host without sbatch.

Every refusal runs with a PATH that holds no program of Slurm: a command
line that got as far as submitting would end with "'sbatch' not found"
instead of its own reason.
"""

import json
import os
import shutil
import signal
import subprocess
import sys

import harness

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
    (["-compress", "lz4", "-parts", "2"], "zervgen", 'Option, "-compress", must be zstd or gzip,'
     " with a level as zstd:N or gzip:N, not 'lz4'."),
    (["-parquet", "-compress", "zstd", "-parts", "2"], "zervgen",
     'Only one of "-parquet" and "-compress" may be specified ("-codec" compresses Parquet pages).'),
    (["-hu", "-parts", "\u00b2"], "zervgen", "The number of parts must be from 1 to 1000."),
    (["-n", "1000"], "slurm", 'give the number of parts among zervgen\'s options: "-parts N"'),
    (["-parts", "3", "-part", "1"], "slurm", 'zervgen-slurm chooses "-part" itself; leave it out'),
    (["-hu", "-parts", "2", "-f", "-"], "slurm",
     'parts go to files in the folder; "-f -" cannot be used'),
    (["-hu", "-parts", "2", "-compress", "gzip", "-f", "-"], "slurm",
     'parts go to files in the folder; "-f -" cannot be used'),
    (["-parts", "2", "-verify"], "slurm", '"-verify" is run by every task; leave it out'),
    (["-parts", "2", "-manifest", "m.json"], "slurm",
     'each part is written by a zervgen of its own, and they cannot share one manifest:'
     ' leave "-manifest" out (the folder\'s record tells what was proven)'),
]

# zervgen-slurm's own options it refuses, before DIR: (options, the line's
# text after "zervgen-slurm: " or "zervgen-slurm run: ").
OPTIONS_REFUSED = [
    (["--poll", "-1", "-W"], "argument --poll: must be a number of seconds above 0, not '-1'"),
    (["--poll", "0"], "argument --poll: must be a number of seconds above 0, not '0'"),
    (["--poll", "nan"], "argument --poll: must be a number of seconds above 0, not 'nan'"),
    (["--max-running", "0"], "--max-running must be 1 or more"),
    (["--sbatch=--chdir=/elsewhere"], "--sbatch=--chdir=/elsewhere: zervgen-slurm sets --chdir "
     "itself"),
    (["--sbatch=-D/elsewhere"], "--sbatch=-D/elsewhere: zervgen-slurm sets --chdir itself"),
    (["--sbatch=--output=x.out"], "zervgen-slurm sets --output itself"),
    (["--sbatch=-ex.err"], "zervgen-slurm sets --error itself"),
    (["--sbatch=--array=1-2"], "zervgen-slurm sets --array itself"),
    (["--sbatch=--wrap=true"], "zervgen-slurm sets --wrap itself"),
    (["--sbatch=--parsable"], "zervgen-slurm sets --parsable itself"),
    (["--sbatch=-Jmine"], "--sbatch=-Jmine: zervgen-slurm sets --job-name itself; give it with "
     "-J NAME"),
    (["--sbatch=--part=debug"], "zervgen-slurm sets --partition itself; give it with "
     "-p PARTITION"),
    (["--sbatch=-vt5"], "zervgen-slurm sets --time itself; give it with -t TIME"),
    (["--sbatch=--mem=1G"], "zervgen-slurm sets --mem itself; give it with --mem SIZE"),
]

NOBODY = 65534


def as_nobody():
    os.setgid(NOBODY)
    os.setuid(NOBODY)


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


def refused(env, where, args, says, **kw):
    """zervgen-slurm ARGS ends with status 2 and the one line `says`,
    nothing on standard output."""
    done = env.tool(*args, path=no_slurm_path(env), **kw)
    harness.ended(env.res, where, done.returncode, done.stderr, 2, says)
    env.res.check(done.stdout == "", where, "nothing on standard output", done.stdout)


def offline_refusals(env):
    for zargs, whose, text in REFUSED:
        where = f"refused: {' '.join(zargs)}"
        line = f"zervgen-slurm: {text}"
        if whose == "zervgen":
            line = f"zervgen-slurm: {env.zervgen}: {text}"
            _, _, err = env.local(env.folder("scratch"), zargs)
            env.res.check(f"{env.zervgen}: {text}" in err.splitlines(), where, "zervgen says it",
                          err)
        for folder, existed in folders(env, "refused"):
            refused(env, where, ["run", "--zervgen", env.zervgen, folder, "--"] + zargs, line)
            env.res.check(untouched(folder, existed), where,
                      f"the folder as it was ({'empty' if existed else 'missing'})")
    for options, text in OPTIONS_REFUSED:
        where = f"refused: {' '.join(options)}"
        for folder, existed in folders(env, "refused"):
            refused(env, where, ["run", "--zervgen", env.zervgen] + options +
                    [folder, "--", "-hu", "-parts", "2"], text)
            env.res.check(untouched(folder, existed), where, "the folder as it was")


def folder_refusals(env):
    """Folders zervgen-slurm cannot use: each refused with one line."""
    zargs = ["--", "-hu", "-n", "1000", "-parts", "2"]
    base = env.folder("folders")
    afile = os.path.join(base, "a-file")
    with open(afile, "w") as f:
        f.write("a file\n")
    slash = os.path.join(base, "back\\slash")
    # The record's files would pass PATH_MAX: the folder itself does not.
    deep = base
    while len(deep) < 3800:
        deep = os.path.join(deep, "d" * 200)
    deep = os.path.join(deep, "e" * (4040 - len(deep)))
    # A folder that holds the record of a run of someone else's, which
    # this user may not write.
    theirs = os.path.join(base, "theirs")
    os.makedirs(os.path.join(theirs, ".zervgen-slurm"))
    # The user's own folder, with someone else's record in it.
    mine = os.path.join(base, "mine")
    os.makedirs(os.path.join(mine, ".zervgen-slurm"))
    os.chown(mine, NOBODY, NOBODY)
    cases = [
        ("run into a file", ["run", afile], f"cannot create {afile}: {afile} is not a folder"),
        ("run under a file", ["run", os.path.join(afile, "sub")],
         f"{afile} is not a folder"),
        ("status of a file", ["status", afile], f"{afile} is not a folder"),
        ("status of a folder without a run", ["status", os.path.join(base, "nothing")],
         "holds no run"),
        ("a backslash", ["run", slash], "Slurm cannot write the tasks' output in a folder "
         "whose path holds a backslash; use another folder"),
        ("a path near PATH_MAX", ["run", deep], "the folder's path is too long:"),
        ("a folder the user cannot write", ["run", theirs],
         f"cannot write into {theirs}: Permission denied"),
        ("a record the user cannot write", ["run", mine],
         f"{mine}/.zervgen-slurm/lock: Permission denied"),
    ]
    for what, args, says in cases:
        where = f"folder: {what}"
        if args[0] == "run":
            args = args[:1] + ["--zervgen", env.zervgen] + args[1:] + zargs
        if "user cannot" in what:
            # A Python of the system's, which every user may run.
            python = shutil.which("python3", path="/usr/bin:/bin") or sys.executable
            refused(env, where, args, says, preexec=as_nobody, python=python)
        else:
            refused(env, where, args, says)
    env.res.check(sorted(os.listdir(base)) == ["a-file", "mine", "theirs"] and
                  os.listdir(os.path.join(theirs, ".zervgen-slurm")) == [] and
                  os.listdir(os.path.join(mine, ".zervgen-slurm")) == [], "folders",
                  "nothing made or recorded", str(os.listdir(base)))


def no_sbatch(env):
    """A host without sbatch: the run says so and leaves the folder as it
    was, without a record that would bind it."""
    zargs = ["-hu", "-n", "1000", "-parts", "2"]
    for folder, existed in folders(env, "no-sbatch"):
        where = f"no sbatch ({'empty' if existed else 'missing'} folder)"
        refused(env, where, ["run", "--zervgen", env.zervgen, folder, "--"] + zargs,
                "zervgen-slurm: 'sbatch' not found: is this a Slurm submit host?")
        env.res.check(untouched(folder, existed), where, "the folder as it was")
        if existed:
            refused(env, where, ["status", folder], "holds no run")


def help_and_usage(env):
    """--help on standard output and status 0, for the tool and each
    command; a usage error one line and status 2."""
    for args in (["--help"], ["run", "--help"], ["status", "--help"]):
        done = env.tool(*args)
        env.res.check(done.returncode == 0 and done.stdout.startswith("usage: zervgen-slurm") and
                  done.stderr == "", f"help: {' '.join(args)}", "usage on standard output",
                  done.stdout + done.stderr)
    for args, says in ((["bogus"], "invalid choice: 'bogus'"),
                       (["status"], "the following arguments are required: DIR"),
                       (["status", "x", "--", "-parts", "2"], "'status' takes no zervgen options"),
                       (["run", "x"], "give zervgen's options after '--'")):
        refused(env, f"usage: {' '.join(args)}", args, says)


def interrupted_before_submitting(env):
    """^C while zervgen is asked about the options: one line, status 130,
    and the folder as it was."""
    marker = os.path.join(env.work, "describing")
    program = os.path.join(env.work, "stalling-describe")
    with open(program, "w") as f:
        f.write(f"""#!/bin/sh
: > {marker}
while [ ! -e {env.work}/go ]; do sleep 0.2; done
""")
    os.chmod(program, 0o755)
    for folder, existed in folders(env, "interrupted"):
        where = f"interrupted ({'empty' if existed else 'missing'} folder)"
        if os.path.exists(marker):
            os.remove(marker)
        tool = subprocess.Popen([sys.executable, env.script, "run", "--zervgen", program, folder,
                                 "--", "-hu", "-parts", "2"], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        harness.wait_until(lambda: os.path.exists(marker), "zervgen asked about the options")
        tool.send_signal(signal.SIGINT)
        out, err = tool.communicate(timeout=900)
        harness.ended(env.res, where, tool.returncode, err, 130,
                      "interrupted by SIGINT; nothing was recorded or submitted")
        env.res.check(untouched(folder, existed), where, "the folder as it was")


def stub_slurm(env, folder):
    """A PATH whose sbatch marks that it runs and answers job 4711 only once
    the file "go" exists, and whose squeue lists job 4711, named zervgen,
    in `folder`, its two tasks pending."""
    path = os.path.join(env.work, "stub-slurm")
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    for name, text in (("sbatch", f"""#!/bin/sh
: > {path}/sbatch-runs
while [ ! -e {path}/go ]; do sleep 0.1; done
echo 4711
"""), ("squeue", f"""#!/bin/sh
case "$*" in
  *--name=zervgen*) echo '4711|{folder}' ;;
  *-j\ 4711*) printf '1|PENDING|\n2|PENDING|\n' ;;
esac
""")):
        with open(os.path.join(path, name), "w") as f:
            f.write(text)
        os.chmod(os.path.join(path, name), 0o755)
    return path


def interrupted_submission(env):
    """^C while a slow sbatch runs: the job may exist. The record stays
    (its tasks need it) and says what was sent; the line says how to find
    the job; a later run finds it (squeue, by name and folder) and waits
    for it."""
    folder = env.folder("unsure")
    path = stub_slurm(env, folder)
    tool = subprocess.Popen([sys.executable, env.script, "run", "--zervgen", env.zervgen, folder,
                             "--", "-hu", "-n", "1000", "-parts", "2"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True,
                            env=dict(os.environ, PATH=path + os.pathsep + os.environ["PATH"]))
    harness.wait_until(lambda: os.path.exists(os.path.join(path, "sbatch-runs")), "sbatch runs")
    tool.send_signal(signal.SIGINT)
    _, err = tool.communicate(timeout=900)
    open(os.path.join(path, "go"), "w").close()
    where = "interrupted while sbatch runs"
    harness.ended(env.res, where, tool.returncode, err, 130, "a job may have been submitted")
    env.res.check("squeue --user=" in err and "--name=zervgen" in err and folder in err, where,
                  "the line says how to find the job", err)
    record = os.path.join(folder, ".zervgen-slurm", "run.json")
    env.res.check(os.path.exists(record), where, "the record is kept")
    if os.path.exists(record):
        with open(record) as f:
            sent = json.load(f).get("submitting")
        env.res.check(sent == {"name": "zervgen", "parts": [1, 2]}, where,
                      "the record says what was sent", str(sent))
    done = env.tool("run", "--zervgen", env.zervgen, folder, "--", "-hu", "-n", "1000", "-parts",
                    "2", path=path + os.pathsep + os.environ["PATH"])
    harness.ended(env.res, f"{where}, then run", done.returncode, done.stderr, 2,
                  f"job 4711 of {folder} is still pending or running")


def not_a_run(env):
    """zervgen options that ask it for something other than a run: one
    line naming the option."""
    for word, says in (("-describe", 'zervgen-slurm asks zervgen "-describe" itself; leave it out'),
                       ("-help", '"-help" asks zervgen for something other than a run; leave it out'),
                       ("--version", '"--version" asks zervgen for something other than a run;'
                        " leave it out")):
        folder = env.folder("not-a-run")
        refused(env, f"not a run: {word}", ["run", "--zervgen", env.zervgen, folder, "--",
                                            "-hu", "-parts", "2", word], f"zervgen-slurm: {says}")
        env.res.check(untouched(folder, True), f"not a run: {word}", "the folder as it was")


TESTS = (offline_refusals, folder_refusals, no_sbatch, help_and_usage,
         interrupted_before_submitting, interrupted_submission, not_a_run)
