"""slurm.py: the Slurm backend of zervgen-slurm.

A backend is all the command line (cluster.py) knows of a scheduler. A
second one (Kubernetes jobs, GNU parallel over ssh) implements the same:

    check(folder, options)   refuses, before anything is recorded, a
                             folder or scheduler options it cannot take
    submit(folder, parts, options, command) -> job id
                             one task per part, each running `command` with
                             the part's identity in its environment
    queued(job) -> {part: (state, node)}
                             the job's parts still pending or running
    find(folder, name) -> [job id]
                             the pending or running jobs of that name
                             whose tasks run in the folder
    find_command(folder, name) -> text
                             the command a user runs to find them
    finished(job, part) -> text
                             what the scheduler says of a finished part
                             ("CANCELLED, exit 0:15"; "" when nothing)
    task_identity() -> (part, attempt, node)
                             in a task: its part, the scheduler's name for
                             the attempt ("4711_2") and its node

Everything else, the record, the attempt at a part and the rule of whose
file is whose, is parts.py's and is the same on every scheduler.
"""

import os
import pwd
import shlex
import socket
import subprocess

from .cli import Failure, UsageError
from .parts import ranges, shown, state_dir

# The sbatch options zervgen-slurm sets itself, by long name: their short
# name and zervgen-slurm's own option for what they set, when it has one.
SETS = {
    "chdir": ("D", None), "output": ("o", None), "error": ("e", None), "array": ("a", None),
    "wrap": (None, None), "parsable": (None, None), "job-name": ("J", "-J NAME"),
    "partition": ("p", "-p PARTITION"), "account": ("A", "-A ACCOUNT"),
    "time": ("t", "-t TIME"), "cpus-per-task": ("c", "-c N"), "mem": (None, "--mem SIZE"),
}
SHORT = {short: name for name, (short, _) in SETS.items() if short}
# sbatch's short options that take no argument: a word "-vD/x" is -v and -D.
FLAGS = set("hHIkOQsuvVW")


def set_by_tool(word):
    """The long name of the option the sbatch word `word` sets, when
    zervgen-slurm sets it itself; else None. sbatch takes a long option by
    any prefix that names it alone."""
    if word.startswith("--"):
        name = word[2:].split("=", 1)[0]
        if len(name) >= 2:
            for full in SETS:
                if full.startswith(name):
                    return full
        return None
    if word.startswith("-"):
        for char in word[1:]:
            if char in SHORT:
                return SHORT[char]
            if char not in FLAGS:
                return None  # the rest of the word is this option's value
    return None


def check(folder, options):
    """Refuses what sbatch cannot take as the tasks need it: a folder Slurm
    cannot name the tasks' output in, an sbatch option zervgen-slurm sets
    itself."""
    if "\\" in folder:
        # Slurm reads a backslash in an output file's name as "take the
        # name as it is, less its backslashes": the folder cannot be named.
        raise UsageError(f"{shown(folder)}: Slurm cannot write the tasks' output in a folder "
                         "whose path holds a backslash; use another folder")
    for word in options.sbatch:
        full = set_by_tool(word)
        if full is not None:
            own = SETS[full][1]
            raise UsageError(f"--sbatch={word}: zervgen-slurm sets --{full} itself" +
                             (f"; give it with {own}" if own else ""))


def pattern(path):
    """`path` as a name in sbatch's --output, where % starts a field: each
    % doubled."""
    return path.replace("%", "%%")


def said(text):
    """A program's lines on standard error as one."""
    return "; ".join(line.strip() for line in text.splitlines() if line.strip())


def slurm(args):
    try:
        return subprocess.run(args, capture_output=True, text=True, check=False)
    except FileNotFoundError as err:
        raise UsageError(f"'{args[0]}' not found: is this a Slurm submit host?") from err


def submit(folder, parts, options, command):
    """Submits one array job, a task per part in `parts`, each running
    `command` (a list of words) in the folder; returns the job's number."""
    sbatch = ["sbatch", "--parsable", f"--job-name={options.job_name}", f"--chdir={folder}",
              "--output=" + pattern(os.path.join(state_dir(folder), "task-")) + "%A_%a.out"]
    array = ranges(parts)
    if options.max_running:
        array += f"%{options.max_running}"
    sbatch.append(f"--array={array}")
    for flag, value in (("--partition", options.partition), ("--account", options.account),
                        ("--time", options.time), ("--cpus-per-task", options.cpus_per_task),
                        ("--mem", options.mem)):
        if value is not None:
            sbatch.append(f"{flag}={value}")
    sbatch += options.sbatch
    sbatch.append("--wrap=exec " + " ".join(shlex.quote(word) for word in command))
    done = slurm(sbatch)
    if done.returncode != 0:
        raise UsageError(f"sbatch failed: {said(done.stderr)}")
    job = done.stdout.strip().split(";")[0]
    if not (job.isascii() and job.isdigit()):
        # sbatch took it: a job may exist.
        raise Failure(f"sbatch gave no job number: '{done.stdout.strip()}'; a job may have been"
                      f" submitted: look for it with: {find_command(folder, options.job_name)}")
    return job


def queued(job):
    """Task number -> (state, node) of the job's tasks Slurm still holds
    pending or running."""
    done = slurm(["squeue", "-h", "-r", "-j", str(job), "-o", "%K|%T|%N"])
    if done.returncode != 0:
        if "Invalid job id" in done.stderr:
            return {}
        raise UsageError(f"squeue failed: {said(done.stderr)}")
    tasks = {}
    for line in done.stdout.splitlines():
        fields = line.strip().split("|")
        if len(fields) == 3 and fields[0].isascii() and fields[0].isdigit():
            tasks[int(fields[0])] = (fields[1], fields[2])
    return tasks


def user():
    return pwd.getpwuid(os.getuid()).pw_name


def find_command(folder, name):
    """The squeue command line that lists the user's jobs named `name` with
    their folders (the jobs of this run have `folder`)."""
    return (f"squeue --user={shlex.quote(user())} --name={shlex.quote(name)} --format='%F %Z'"
            f" (its folder: {shown(folder)})")


def find(folder, name):
    """The numbers of the user's pending or running jobs named `name` whose
    tasks run in `folder`."""
    if not isinstance(name, str) or not name:
        return []
    done = slurm(["squeue", "-h", f"--user={user()}", f"--name={name}", "-o", "%F|%Z"])
    if done.returncode != 0:
        raise UsageError(f"squeue failed: {said(done.stderr)}")
    jobs = []
    for line in done.stdout.splitlines():
        job, _, where = line.strip().partition("|")
        if job.isascii() and job.isdigit() and where == folder and job not in jobs:
            jobs.append(job)
    return jobs


def finished(job, k):
    """What Slurm still knows of a finished task, e.g. 'CANCELLED, exit 0:15',
    or an empty string."""
    done = slurm(["scontrol", "-o", "show", "job", f"{job}_{k}"])
    if done.returncode != 0:
        return ""
    for line in done.stdout.splitlines()[:1]:
        fields = dict(f.split("=", 1) for f in line.split() if "=" in f)
        text = fields.get("JobState", "")
        if fields.get("Reason", "None") != "None":
            text += f" ({fields['Reason']})"
        if fields.get("ExitCode", "0:0") != "0:0":
            text += f", exit {fields['ExitCode']}"
        return text
    return ""


def task_identity():
    """(part, "JOB_PART", node) of the array task this runs in."""
    k = int(os.environ["SLURM_ARRAY_TASK_ID"])
    job = f"{os.environ.get('SLURM_ARRAY_JOB_ID', '?')}_{k}"
    return k, job, os.environ.get("SLURMD_NODENAME") or socket.gethostname()
