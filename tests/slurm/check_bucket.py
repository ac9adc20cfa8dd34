#!/usr/bin/env python3
"""Checks zervgen-slurm writing a run's parts into a bucket of a local S3
server (s3rver, started by .ci/slurm-tests with the bucket "zervgen") on a
running Slurm cluster (SLURM_CONF set):

  whole       -parts 4 -n 1000000 runs, zstd text and Parquet, every part
              proven, each object the bytes of the same run on disk (read
              back with the AWS SDK); a second run submits nothing
  remade      a part's object removed through the SDK: status names it, and
              the next run remakes that part alone, removing the part's
              other objects through zervgen by their ETags
  kept        an object replaced by someone else: kept, the part fails
              naming it until it is removed
  killed      an attempt killed after its zervgen wrote wrong bytes: the
              next removes those objects (they are its own) and remakes the
              part

The credentials reach the tasks only through the environment: none is ever
written into the folder's record or the tasks' output.

    python3 tests/slurm/check_bucket.py --zervgen Z --script S --work W \\
        --npm-dir N --port P [--only whole]
"""

import argparse
import json
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from check_slurm import RES, Env, record, task_logs  # noqa: E402

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
READER = os.path.join(REPO, "tests", "s3", "reader.mjs")
BUCKET = "zervgen"
SECRET = "slurm-checks/SECRET+value"
BIG = ["-n", "1000000", "-parts", "4"]


class Store:
    """The local server, through the AWS SDK reader of the object checks."""

    def __init__(self, npm_dir, port):
        os.environ.update(AWS_ACCESS_KEY_ID="S3RVER", AWS_SECRET_ACCESS_KEY=SECRET,
                          AWS_REGION="us-east-1", AWS_ENDPOINT_URL=f"http://127.0.0.1:{port}",
                          ZERVGEN_NPM_DIR=npm_dir)

    def reader(self, *args):
        done = subprocess.run(["node", READER] + list(args), capture_output=True, text=True,
                              timeout=1800)
        return done.returncode, done.stdout, done.stderr

    def same_as(self, prefix, local, what):
        """Every object under PREFIX is the file of the same suffix beside
        `local` (the run on disk), byte for byte, and there is no other."""
        status, out, err = self.reader("compare", BUCKET, prefix, local, "--no-uploads")
        if not RES.check(status == 0, what, "the objects are the bytes of the run on disk", err):
            return
        told = json.loads(out)
        on_disk = [f for f in os.listdir(os.path.dirname(local))
                   if f.startswith(os.path.basename(local))]
        RES.check(told["objects"] == len(on_disk), what, "an object per file", out)

    def cat(self, key):
        return self.reader("cat", BUCKET, key)[1]


def on_disk(env, zargs, name):
    """The same run on this machine into files: the prefix of its files."""
    folder = os.path.join(env.work, name + "-disk")
    subprocess.run(["rm", "-rf", folder], check=True)
    status, _, err = env.local(folder, zargs + ["-f", "r"])
    RES.check(status == 0, name, "the run on disk", err)
    return os.path.join(folder, "r")


def no_secret(folder, what):
    state = os.path.join(folder, ".zervgen-slurm")
    found = [f for f in os.listdir(state)
             if SECRET.encode() in open(os.path.join(state, f), "rb").read()]
    RES.check(not found, what, "no secret in the record or the tasks' output", str(found))


def whole(env, store):
    for name, zargs in (("zstd", BIG + ["-compress", "zstd"]), ("parquet", BIG + ["-parquet"])):
        what = f"bucket {name}"
        folder = env.folder(f"bucket-{name}")
        prefix = f"{name}/r"
        run = zargs + ["-f", f"s3://{BUCKET}/{prefix}"]
        status, out = env.slurm("run", "-W", folder, "--", *run)
        RES.check(status == 0 and "all 4 parts proven (20 files)" in out, what,
                  "every part proven", out)
        store.same_as(prefix, on_disk(env, zargs, f"bucket-{name}"), what)
        files = record(folder, "part.2")["files"]
        RES.check([f["name"] for f in files] ==
                  [f"s3://{BUCKET}/{prefix}.{r}.2" + (".zst" if name == "zstd" else ".parquet")
                   for r in ("uni", "upd", "hun", "ten", "tny")] and
                  all(isinstance(f.get("etag"), str) and f["size"] > 0 for f in files), what,
                  "a proven part names its objects by size and ETag", str(files))
        no_secret(folder, what)
        status, out = env.slurm("run", "-W", folder, "--", *run)
        RES.check(status == 0 and "submitted" not in out and "all 4 parts proven" in out, what,
                  "a second run submits nothing", out)


def remade(env, store):
    """Runs on the zstd run of whole(): an object removed, then one replaced."""
    what = "bucket remade"
    folder = os.path.join(env.work, "bucket-zstd")
    run = BIG + ["-compress", "zstd", "-f", f"s3://{BUCKET}/zstd/r"]
    status, _, err = store.reader("delete", BUCKET, "zstd/r.hun.2.zst")
    RES.check(status == 0, what, "the SDK removes part 2's hundred", err)
    status, out = env.slurm("status", folder)
    RES.check(status == 1 and f"part 2: CHANGED: s3://{BUCKET}/zstd/r.hun.2.zst is missing" in out,
              what, "status names the missing object", out)
    status, out = env.slurm("run", "-W", folder, "--", *run)
    RES.check(status == 0 and "parts 2 of 4" in out and "all 4 parts proven" in out, what,
              "the next run remakes part 2 alone", out)
    RES.check(f"part 2: removing s3://{BUCKET}/zstd/r.uni.2.zst, left by an earlier attempt"
              in task_logs(folder), what, "the part's other objects removed first",
              task_logs(folder))
    local = os.path.join(env.work, "bucket-zstd-disk", "r")
    store.same_as("zstd/r", local, what)

    what = "bucket kept"
    other = os.path.join(env.work, "other-bytes")
    with open(other, "wb") as f:
        f.write(b"someone else's\n")
    status, _, err = store.reader("put", BUCKET, "zstd/r.uni.3.zst", other)
    RES.check(status == 0, what, "the SDK replaces part 3's uniques", err)
    status, out = env.slurm("status", folder)
    RES.check(status == 1 and f"part 3: CHANGED: s3://{BUCKET}/zstd/r.uni.3.zst changed after it "
              "was proven" in out, what, "status names the changed object", out)
    status, out = env.slurm("run", "-W", folder, "--", *run)
    RES.check(status == 1 and re.search(rf"^part 3: FAILED on \S+ \(job \d+_3\): s3://{BUCKET}/"
                                        r"zstd/r.uni.3.zst is in the part's way and not as an "
                                        r"earlier attempt", out, re.M), what,
              "the part fails naming the object it keeps", out)
    RES.check(store.cat("zstd/r.uni.3.zst") == "someone else's\n", what,
              "the object holds someone else's bytes still")
    store.reader("delete", BUCKET, "zstd/r.uni.3.zst")
    status, out = env.slurm("run", "-W", folder, "--", *run)
    RES.check(status == 0 and "parts 3 of 4" in out and "all 4 parts proven" in out, what,
              "removed by its owner, the part is remade", out)
    store.same_as("zstd/r", local, what)
    no_secret(folder, what)


def killing_zervgen(env):
    """A zervgen that writes part 2 with other rows (the same objects'
    names, other bytes) and then, at the -verify of that attempt, kills its
    task outright; the first time only."""
    path = os.path.join(env.work, "killing-zervgen")
    with open(path, "w") as f:
        f.write(f"""#!/bin/bash
z={env.zervgen}
case " $* " in *" -part 2 "*) ;; *) exec $z "$@";; esac
case " $* " in *" -describe "*|*" -head "*|*" -remove-object "*) exec $z "$@";; esac
[ -e "$PWD/killed" ] && exec $z "$@"
case " $* " in *" -verify "*) touch "$PWD/killed"; kill -9 $PPID; exit 1;; esac
args=() prev=
for a; do [ "$prev" = -n ] && a=$((a - 1)); args+=("$a"); prev=$a; done
exec $z "${{args[@]}}"
""")
    os.chmod(path, 0o755)
    return path


def killed(env, store):
    what = "bucket killed"
    folder = env.folder("bucket-killed")
    zargs = ["-n", "20000", "-parts", "2", "-compress", "zstd"]
    run = zargs + ["-f", f"s3://{BUCKET}/killed/r"]
    status, out = env.slurm("run", "-W", folder, "--", *run, zervgen=killing_zervgen(env))
    RES.check(status == 1 and re.search(r"^part 2: LOST on", out, re.M), what,
              "part 2's task is lost", out)
    left = record(folder, "part.2").get("left", [])
    RES.check(len(left) == 5 and all("etag" in e for e in left), what,
              "its record names the objects it wrote, by ETag", str(left))
    status, out = env.slurm("run", "-W", folder, "--", *run)
    RES.check(status == 0 and "parts 2 of 2" in out and "all 2 parts proven" in out, what,
              "the next run remakes part 2", out)
    RES.check(f"part 2: removing s3://{BUCKET}/killed/r.hun.2.zst, left by an earlier attempt"
              in task_logs(folder), what, "the killed attempt's objects removed", task_logs(folder))
    store.same_as("killed/r", on_disk(env, zargs, "bucket-killed"), what)


def main():
    parser = argparse.ArgumentParser()
    for name in ("--zervgen", "--script", "--work", "--npm-dir", "--port"):
        parser.add_argument(name, required=True)
    parser.add_argument("--only", action="append", metavar="TEST")
    args = parser.parse_args()
    env = Env(os.path.realpath(args.zervgen), os.path.realpath(args.script),
              os.path.realpath(args.work))
    os.makedirs(env.work, exist_ok=True)
    store = Store(args.npm_dir, args.port)
    for test in (whole, remade, killed):
        if args.only and test.__name__ not in args.only:
            continue
        start = RES.failed
        test(env, store)
        print(f"{'ok  ' if RES.failed == start else 'FAIL'} bucket {test.__name__}", flush=True)
    return RES.summary()


if __name__ == "__main__":
    sys.exit(main())
