"""cluster.py: zervgen-slurm's command line: run, status and task.

`run` asks zervgen whether it takes the options as the tasks will give
them, records the run in the folder (parts.py) and submits the parts that
are not proven through the backend (slurm.py); `status` tells where every
part stands; `task` is what each submitted task runs on its node.
"""

import argparse
import errno
import fcntl
import math
import os
import tempfile
import time

from . import cli, interface, parts, slurm
from .cli import UsageError
from .parts import PROG, read_part, read_run, run_path, state_dir

backend = slurm


# ---- zervgen's options ---------------------------------------------------------


def describe(zervgen, zargs, folder):
    """(the -describe document of `zervgen ZARGS` run in the folder, None),
    or (None, zervgen's refusal)."""
    try:
        status, out, err = interface.run(zervgen, zargs + ["-describe"], folder)
        if status != 0:
            # Its message, up to the synopsis some refusals add after it.
            said = interface.message(err, status)
            return None, (said if said != f"status {status}" else
                          f"zervgen -describe ended with status {status}")
        return interface.parse_describe(out, zervgen), None
    except interface.ZervgenError as err:
        raise UsageError(not_a_run(zervgen, zargs, folder) or str(err)) from None


def not_a_run(zervgen, zargs, folder):
    """When zervgen answers the options with something else than a run's
    document (its help, its version): which of them asks for it, as a
    refusal; None when no single one does."""
    for word in zargs:
        status, out, _ = interface.run(zervgen, [word, "-describe"], folder)
        try:
            if status == 0:
                interface.parse_describe(out, zervgen)
        except interface.ZervgenError:
            return f'"{word}" asks zervgen for something other than a run; leave it out'
    return None


def check_options(zervgen, zargs, folder):
    """Asks zervgen, in the folder, whether it takes the options as the
    tasks will give them, less "-part K"; returns its -describe document
    and whether the tasks add a "-t" of their own. Refuses, before anything
    is recorded, what zervgen refuses (with its message) and what a run on
    the cluster cannot take."""
    if "-describe" in zargs:
        raise UsageError('zervgen-slurm asks zervgen "-describe" itself; leave it out')
    # Each task gives zervgen a temporary folder of its own on its node,
    # unless the options name one: zervgen takes no second "-t".
    doc, _ = describe(zervgen, zargs + ["-t", tempfile.gettempdir()], folder)
    task_temp = doc is not None
    if doc is None:
        doc, refusal = describe(zervgen, zargs, folder)
        if doc is None:
            # zervgen refuses to write every part to standard output, and
            # tells to choose one part: not the way here.
            one, _ = describe(zervgen, zargs + ["-part", "1"], folder)
            if one is not None and "-" in parts.file_paths(one):
                raise UsageError('parts go to files in the folder; "-f -" cannot be used')
            raise UsageError(refusal)
    options = doc["options"]
    if options["part"] is not None:
        raise UsageError('zervgen-slurm chooses "-part" itself; leave it out')
    if options["verify"]:
        raise UsageError('"-verify" is run by every task; leave it out')
    if options.get("manifest") is not None:
        raise UsageError('each part is written by a zervgen of its own, and they cannot share one'
                         ' manifest: leave "-manifest" out (the folder\'s record tells what was'
                         ' proven)')
    if "-" in parts.file_paths(doc):
        raise UsageError('parts go to files in the folder; "-f -" cannot be used')
    if options["parts"] is None:
        raise UsageError('give the number of parts among zervgen\'s options: "-parts N"')
    return doc, task_temp


def check_lengths(folder, doc):
    """Refuses a folder whose longest path, a part's file or a temporary
    name of the record (written on any node), passes the system's limit."""
    limit = os.pathconf(os.path.dirname(folder) or "/", "PC_PATH_MAX")
    n = doc["options"]["parts"]
    # Host names are at most 64 bytes, process ids 7 digits.
    record = f"{parts.part_path(folder, n)}.{'h' * 64}.{'9' * 7}.tmp"
    output = os.path.join(state_dir(folder), f"task-{'9' * 10}_{n}.out")
    longest = max([record, output] + [os.path.join(folder, p) for p in parts.file_paths(doc)
                                      if not parts.is_object(p)],
                  key=lambda p: len(os.fsencode(p)))
    if len(os.fsencode(longest)) >= limit:
        raise UsageError(f"the folder's path is too long: {parts.shown(longest)[:60]}... would "
                         f"pass the system's limit of {limit} bytes; use a shorter one")


# ---- where the parts stand ---------------------------------------------------------


def latest_job(run, k):
    for job in reversed(run.get("jobs", [])):
        if k in job["parts"]:
            return str(job["id"])
    return None


def seen_objects(folder, run, zervgen=None):
    """The run's objects that are there now, by name with their size and
    ETag, as zervgen -head tells them; {} when no part's record names an
    object (nothing is asked then)."""
    if not any(parts.records_objects(read_part(folder, k)) for k in range(1, run["parts"] + 1)):
        return {}
    try:
        return parts.object_entries(zervgen or run["zervgen"], run["args"], folder)
    except (parts.LookFailed, interface.ZervgenError) as err:
        raise UsageError(f"cannot tell which of the run's objects are there: {err}") from None


def part_report(folder, run, k, queue, seen):
    """(kind, line) of part k: kind is proven, active or open."""
    record = read_part(folder, k)
    if parts.is_proven(folder, record, seen):
        return "proven", None
    job = latest_job(run, k)
    where = f"job {job}_{k}" if job else "no job"
    if job is not None and k in queue.get(job, {}):
        state, node = queue[job][k]
        if state == "RUNNING":
            return "active", f"part {k}: RUNNING on {node} ({where})"
        return "active", f"part {k}: {state} ({where})"
    if record and record.get("state") == "proven":
        return "open", f"part {k}: CHANGED: {parts.changed_file(folder, record, seen)}"
    if record is None or job is None or record.get("job") != f"{job}_{k}":
        if job is None:
            return "open", f"part {k}: NOT RUN (no job has been submitted for it)"
        says = backend.finished(job, k)
        return "open", (f"part {k}: NOT RUN ({where} ended before the task started" +
                        (f": {says})" if says else ")"))
    node = record.get("node", "?")
    if record.get("state") == "failed":
        return "open", f"part {k}: FAILED on {node} ({where}): {record.get('reason')}"
    says = backend.finished(job, k)
    return "open", (f"part {k}: LOST on {node} ({where}): the task ended without a result" +
                    (f"; Slurm says {says}" if says else ""))


def report(folder, run):
    """Prints a line per part that is not proven and a summary; returns
    the status."""
    n = run["parts"]
    seen = seen_objects(folder, run)
    unproven = [k for k in range(1, n + 1)
                if not parts.is_proven(folder, read_part(folder, k), seen)]
    queue = {}
    for job in {latest_job(run, k) for k in unproven} - {None}:
        queue[job] = backend.queued(job)
    kinds = {"proven": 0, "active": 0, "open": 0}
    for k in range(1, n + 1):
        kind, line = (("proven", None) if k not in unproven else
                      part_report(folder, run, k, queue, seen))
        kinds[kind] += 1
        if line:
            print(line, flush=True)
    if kinds["proven"] == n:
        files = sum(len(read_part(folder, k)["files"]) for k in range(1, n + 1))
        print(f"{PROG}: all {n} parts proven ({files} files) in {folder}")
        return cli.DONE
    summary = f"{PROG}: {kinds['proven']} of {n} parts proven in {folder}"
    if kinds["active"]:
        print(f"{summary}; {kinds['active']} pending or running")
        return cli.PENDING
    print(f"{summary}; the same '{PROG} run' again completes the others "
          f"(the tasks' output: {state_dir(folder)}/task-JOB_PART.out)")
    return cli.FAILED


def wait_for(run, poll):
    jobs = {str(job["id"]) for job in run.get("jobs", [])[-1:]}
    while any(backend.queued(job) for job in jobs):
        time.sleep(poll)


# ---- run -------------------------------------------------------------------------


def submit(args, folder, run, todo, previous, script):
    """Submits the parts `todo`; a submission the scheduler refuses puts
    back the record as it was (`previous`, the bytes of run.json, None for
    none). What is sent is recorded first ("submitting": the job's name
    and parts): an interrupt while the scheduler is asked keeps it, since
    a job may exist, and a later run or status looks for that job."""
    # Each task runs this program by its own path, as it runs zervgen: a
    # copy of it, as sbatch would run a script, would not find zervgen_tools.
    command = ["python3", script, "task", folder]
    # The tasks read the options and the program from run.json: it is
    # written before they can start, and again with the job's number.
    record = run_path(folder)
    run["submitting"] = {"name": args.job_name, "parts": sorted(todo)}
    parts.write_json(record, run)
    try:
        job = backend.submit(folder, todo, args, command)
    except UsageError:
        # Refused: nothing was submitted.
        if previous is None:
            os.remove(record)
        else:
            parts.write_whole(record, previous)
        raise
    except BaseException:
        # Interrupted (^C) while the scheduler was asked: it may have taken
        # the job, whose tasks need the record.
        args.unsure = backend.find_command(folder, args.job_name)
        raise
    args.submitted = True
    del run["submitting"]
    run["jobs"].append({"id": job, "parts": sorted(todo)})
    parts.write_json(record, run)
    return job


def adopt(folder, run):
    """A submission that was interrupted while the scheduler was asked:
    its jobs that are still pending or running (found by name and folder)
    join the record's jobs (in `run`; the caller writes it). True when the
    record changed."""
    sent = run.pop("submitting", None)
    if not isinstance(sent, dict):
        return sent is not None
    known = {str(job["id"]) for job in run["jobs"]}
    for job in backend.find(folder, sent.get("name")):
        if job not in known:
            run["jobs"].append({"id": job, "parts": sent.get("parts", [])})
    return True


def make_folders(path):
    """Creates the folder `path` with its missing parents; returns those it
    created, the outermost first."""
    made, there = [], path
    while not os.path.lexists(there) and os.path.dirname(there) != there:
        made.insert(0, there)
        there = os.path.dirname(there)
    if not os.path.isdir(there):
        raise UsageError(f"cannot create {path}: {there} is not a folder")
    for folder in made:
        try:
            os.mkdir(folder)
        except OSError as err:
            raise UsageError(f"cannot create {folder}: {err.strerror}") from err
    return made


def remove_made(made):
    """Removes again the folders make_folders created, when nothing else
    went into them (the lock of the folder's record aside)."""
    for folder in reversed(made):
        if os.path.basename(folder) == parts.STATE and os.listdir(folder) == ["lock"]:
            os.remove(os.path.join(folder, "lock"))
        try:
            os.rmdir(folder)
        except OSError:
            pass


def command_run(args, zargs, script):
    folder = os.path.realpath(args.dir)
    backend.check(folder, args)
    zervgen = os.path.realpath(cli.find_zervgen(args.zervgen, "--zervgen",
                                                os.path.dirname(script)))
    # A run refused, by zervgen or by sbatch, leaves the folder as it was.
    made = make_folders(folder)
    try:
        if not os.access(folder, os.W_OK | os.X_OK):
            raise UsageError(f"cannot write into {folder}: {os.strerror(errno.EACCES)}")
        doc, task_temp = check_options(zervgen, zargs, folder)
        check_lengths(folder, doc)
        made += make_folders(state_dir(folder))
        with open(os.path.join(state_dir(folder), "lock"), "w", encoding="utf-8") as lock:
            try:
                fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except OSError as err:
                raise UsageError(f"another {PROG} submits into {folder} now") from err
            previous = parts.read_bytes(run_path(folder))
            run = read_run(folder)
            if run is not None and run["args"] != zargs:
                raise UsageError(f"{folder} holds a run of other zervgen options "
                                 f"({' '.join(run['args'])}); use another folder")
            n = doc["options"]["parts"]
            run = run or {"args": zargs, "parts": n, "jobs": []}
            if adopt(folder, run):
                parts.write_json(run_path(folder), run)
            run["zervgen"] = zervgen
            run["task_temp"] = task_temp
            for job in run["jobs"][-1:]:
                if backend.queued(job["id"]):
                    raise UsageError(f"job {job['id']} of {folder} is still pending or running; "
                                     f"wait for it ({PROG} status -W {folder}) or cancel it "
                                     f"(scancel {job['id']})")
            seen = seen_objects(folder, run, zervgen)
            todo = [k for k in range(1, n + 1)
                    if not parts.is_proven(folder, read_part(folder, k), seen)]
            if not todo:
                return report(folder, run)
            job = submit(args, folder, run, todo, previous, script)
    except BaseException:
        remove_made(made)
        raise
    print(f"{PROG}: submitted job {job}: parts {parts.ranges(todo)} of {n} into {folder}",
          flush=True)
    if not args.wait:
        print(f"{PROG}: check with: {PROG} status {folder}", flush=True)
        return cli.DONE
    wait_for(run, args.poll)
    return report(folder, run)


def command_status(args):
    folder = os.path.realpath(args.dir)
    args.submitted = True  # by an earlier run: an interrupt leaves it going
    if os.path.lexists(folder) and not os.path.isdir(folder):
        raise UsageError(f"{folder} is not a folder")
    run = read_run(folder)
    if run is None:
        raise UsageError(f"{folder} holds no run of {PROG}")
    adopt(folder, run)  # seen, not recorded: status writes nothing
    if args.wait:
        wait_for(run, args.poll)
    return report(folder, run)


# ---- the command line -------------------------------------------------------------------


def seconds(text):
    """--poll's value: a number of seconds above 0."""
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not 0 < value < math.inf:
        raise argparse.ArgumentTypeError(f"must be a number of seconds above 0, not '{text}'")
    return value


def parser():
    top = cli.ArgumentParser(
        prog=PROG, description="Generates a zervgen run on a Slurm cluster, one array "
        "task per part, and proves every part with zervgen -verify.",
        epilog=f"example: {PROG} run -p batch -W /shared/zerv -- -n 10000000 -parts 16; "
        f"see {PROG} run --help and man {PROG}")
    sub = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    run = sub.add_parser("run", help="submit the parts not yet proven",
                         usage=f"{PROG} run [OPTIONS] DIR -- ZERVGEN-OPTIONS")
    run.add_argument("dir", metavar="DIR", help="output folder, seen by every node; "
                     "zervgen runs in it")
    run.add_argument("-p", "--partition", help="Slurm partition")
    run.add_argument("-A", "--account", help="account to charge")
    run.add_argument("-t", "--time", help="time limit of each task (sbatch --time)")
    run.add_argument("-c", "--cpus-per-task", metavar="N",
                     help="CPUs of each task (zervgen uses them all)")
    run.add_argument("--mem", metavar="SIZE", help="memory of each task (sbatch --mem)")
    run.add_argument("-J", "--job-name", default="zervgen", metavar="NAME",
                     help="job name (zervgen)")
    run.add_argument("--max-running", type=int, metavar="N",
                     help="at most N tasks at once (--array=...%%N)")
    run.add_argument("--sbatch", action="append", default=[], metavar="OPTION",
                     help="another sbatch option, as one word: --sbatch=--qos=high (not one "
                     "zervgen-slurm sets itself)")
    run.add_argument("--zervgen", metavar="PROGRAM",
                     help="the zervgen program every node runs (default: the one beside this "
                     "script, else zervgen on PATH)")
    add_wait(run)
    status = sub.add_parser("status", help="tell where every part stands",
                            usage=f"{PROG} status [-W] DIR")
    status.add_argument("dir", metavar="DIR")
    add_wait(status)
    # What each task runs on its node; not for users.
    task = sub.add_parser("task")
    task.add_argument("dir")
    return top


def add_wait(sub):
    sub.add_argument("-W", "--wait", action="store_true",
                     help="wait until no task is pending or running, then report")
    sub.add_argument("--poll", type=seconds, default=10.0, metavar="SECONDS",
                     help="how often to ask Slurm while waiting (10)")


def main(argv, script):
    """zervgen-slurm with the arguments `argv`; `script` is the program's
    own path, which every task runs."""
    zargs = []
    if "--" in argv:
        cut = argv.index("--")
        argv, zargs = argv[:cut], argv[cut + 1:]
    args = parser().parse_args(argv)
    if args.command == "task":
        k, job, node = backend.task_identity()
        return parts.Attempt(os.path.realpath(args.dir), k, job, node).main()
    if args.command == "run" and not zargs:
        raise UsageError("give zervgen's options after '--', among them \"-parts N\"")
    if args.command != "run" and zargs:
        raise UsageError(f"'{args.command}' takes no zervgen options")
    if args.command == "run" and args.max_running is not None and args.max_running < 1:
        raise UsageError("--max-running must be 1 or more")
    try:
        if args.command == "run":
            return command_run(args, zargs, script)
        return command_status(args)
    except KeyboardInterrupt:
        if getattr(args, "submitted", False):
            cli.say(PROG, f"stopped waiting; the job goes on: {PROG} status "
                    f"{os.path.realpath(args.dir)}")
        elif getattr(args, "unsure", None):
            cli.say(PROG, "interrupted by SIGINT while sbatch ran: a job may have been submitted,"
                    f" and the record of it is kept; look for it with: {args.unsure}; then"
                    f" cancel it (scancel JOB) or let it run ({PROG} status"
                    f" {os.path.realpath(args.dir)})")
        else:
            cli.say(PROG, "interrupted by SIGINT; nothing was recorded or submitted")
        return 130
    except OSError as err:
        # The folder or its record cannot be had: nothing was done.
        where = f"{err.filename}: " if err.filename else ""
        raise UsageError(f"{where}{err.strerror or err}") from err
