#!/usr/bin/env python3
"""zervgen writing to an S3 server and proving what it wrote there.

  check_s3.py ZERVGEN NPM_DIR S3RVER_PORT S3RVER_DIR WORK [--only NAME]

Every run goes through the fault proxy (proxy.py), which checks each
request as a real store does; what landed is read back by a client of its
own (reader.mjs, the AWS SDK) and compared with the same run on disk.
Ends with "N passed, N failed"; status 1 when a check failed.
"""

import json
import os
import random
import shutil
import signal
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import SECRET, Proxy, Tally, World, after_banner, object_name  # noqa: E402

BIG = ["-parts", "4", "-n", "1000000"]
SMALL = ["-n", "80000"]  # every relation but tiny above one 8 MiB part


def no_uploads(w, t, bucket, prefix=""):
    left = [u for u in w.uploads(bucket) if u["key"].startswith(prefix)]
    t.check(left == [], f"no multipart upload left in {bucket}/{prefix}", json.dumps(left))


def same_as_disk(w, t, bucket, prefix, local, present=False, skip=None):
    flags = (["--present"] if present else []) + ([f"--skip={skip}"] if skip else [])
    status, out, err = w.reader("compare", bucket, prefix, local, *flags)
    t.check(status == 0, f"the objects under {bucket}/{prefix} are the files {local}*", err)
    return json.loads(out) if status == 0 else None


def write_requests(log):
    return [e for e in log if (e["method"] == "PUT" and not set(e["query"]) - {"x-id"}) or
            (e["method"] == "POST" and e["query"] == ["uploadId"])]


def check_proxy_rules(w, t):
    """The proxy refuses, to the SDK as well, what a real store refuses."""
    t.section("the proxy's rules")
    bucket = w.bucket("rules")
    status, out, err = w.reader("rules", bucket)
    want = {"order": "InvalidPartOrder", "etag": "InvalidPart", "complete": "ok",
            "small": "EntityTooSmall", "abort": "ok", "gone": "NoSuchUpload",
            "exists": "PreconditionFailed", "put": "PreconditionFailed", "new": "ok"}
    got = json.loads(out) if status == 0 else {}
    t.check(got == want, "each answered as a real store answers", f"{got}\n{err}")
    t.check(w.uploads(bucket) == [], "no upload left")


def check_whole_runs(w, t):
    """A -parts 4 run of 10^6 rows, zstd text and Parquet: the objects are
    the files of the same run on disk, -verify proves them in place, and a
    changed object is named by -verify."""
    bucket = w.bucket("whole")
    for name, form in (("zstd", ["-compress", "zstd"]), ("parquet", ["-parquet"])):
        t.section(f"whole run, {name}")
        args = BIG + form
        local = w.on_disk(args, name)
        target = f"s3://{bucket}/{name}/r"
        start = w.proxy.log_length()
        status, _, err = w.run(args + ["-f", target, "-manifest", f"s3://{bucket}/{name}.manifest"])
        if not t.check(status == 0, "the run into the bucket succeeds", err):
            continue
        got = same_as_disk(w, t, bucket, f"{name}/r", local)
        t.check(got is not None and got["objects"] == 20, "20 objects read back", str(got))
        log = w.proxy.log_since(start)
        writes = write_requests(log)
        t.check(writes and all(e["if_none_match"] == "*" for e in writes),
                "every PUT and CompleteMultipartUpload asks If-None-Match: *")
        t.check(any(e["query"] == ["partNumber", "uploadId"] for e in log),
                "the large objects go up in parts")
        first_write = next(i for i, e in enumerate(log) if e["method"] in ("PUT", "POST"))
        heads = {e["path"] for e in log[:first_write] if e["method"] == "HEAD"}
        listed = {f"/{bucket}/{k}" for k in w.objects(bucket, f"{name}/r")}
        t.check(listed <= heads, "every object is looked for before the first write",
                str(sorted(listed - heads)))
        no_uploads(w, t, bucket, f"{name}/")
        # The manifest, an object beside the run, records every object
        # with its size, and no secret.
        status, text, err = w.reader("cat", bucket, f"{name}.manifest")
        written = {object_name(f["path"]): f["bytes"]
                   for f in json.loads(text)["written"]} if status == 0 else {}
        t.check(written == w.objects(bucket, f"{name}/r"),
                "the manifest object names every object and its size", text[:2000] + err)
        t.check(SECRET not in text, "the manifest holds no secret")

        status, out, _ = w.run(["-describe"] + args + ["-f", target])
        described = sorted(object_name(f["path"]) for r in json.loads(out)["relations"]
                           for f in r["files"]) if status == 0 else []
        t.check(described == sorted(w.objects(bucket, f"{name}/r")),
                "-describe names the objects written", str(described))
        t.check(SECRET not in out, "-describe shows no secret")

        status, out, err = w.run(args + ["-f", target, "-verify"])
        t.check(status == 0 and out.count(": OK (") == 20, "-verify proves every object", out + err)
        status, out, err = w.run(args + ["-f", target, "-verify", "-json"])
        records = [json.loads(line) for line in out.splitlines()] if status == 0 else []
        t.check(len(records) == 20 and all(r["ok"] and r["exact"] is not False for r in records),
                "-verify -json proves every object", out + err)

        # A changed object, put by another client, is named by -verify.
        victim = f"{name}/r.ten.3" + (".zst" if name == "zstd" else ".parquet")
        changed = os.path.join(w.work, f"changed-{name}")
        with open(local + victim[len(f"{name}/r"):], "rb") as f:
            data = bytearray(f.read())
        data[len(data) // 2] ^= 1
        with open(changed, "wb") as f:
            f.write(data)
        status, _, err = w.reader("put", bucket, victim, changed)
        t.check(status == 0, "the changed object is put", err)
        # Part 3 alone is read again: the four others and the changed one.
        status, out, err = w.run(args + ["-part", "3", "-f", target, "-verify"])
        bad = [line for line in out.splitlines() if ": OK (" not in line]
        t.check(status == 1 and any(victim in line for line in bad + err.splitlines()) and
                out.count(": OK (") == 4, "-verify refuses the changed object, naming it",
                out + err)
        status, out, err = w.run(args + ["-part", "3", "-f", target, "-verify", "-json"])
        failed = [json.loads(line) for line in out.splitlines() if not json.loads(line)["ok"]]
        t.check(status == 1 and len(failed) == 1 and object_name(failed[0]["path"]) == victim,
                "-verify -json names the changed object", out + err)


def check_existing_object(w, t):
    """An object the run would write exists: the run is refused as for a
    file, naming the object, and writes nothing."""
    t.section("existing object")
    bucket = w.bucket("exist")
    local = w.on_disk(["-n", "1000"], "exist")
    # The same refusal on disk, for its status and its lines.
    folder = os.path.join(w.work, "exist-file")
    os.mkdir(folder)
    shutil.copy(local + ".ten", folder)
    status_file, _, err_file = w.run(["-n", "1000", "-f", "r"], cwd=folder)
    status, _, err = w.reader("put", bucket, "e/r.ten", local + ".ten")
    t.check(status == 0, "the existing object is put", err)
    start = w.proxy.log_length()
    status, out, err = w.run(["-n", "1000", "-f", f"s3://{bucket}/e/r"])
    t.check(status == status_file and status != 0, f"status {status}, as for a file: {status_file}")
    t.check(any(err == err_file.replace("'r.ten'", f"'{name}'")
                for name in (f"s3://{bucket}/e/r.ten", f"{bucket}/e/r.ten", "e/r.ten")),
            "the refusal is the file's, naming the object", err + "\nfor a file:\n" + err_file)
    t.check(sorted(w.objects(bucket)) == ["e/r.ten"], "nothing else is written")
    t.check(not write_requests(w.proxy.log_since(start)), "no write was sent")
    same_as_disk(w, t, bucket, "e/r.ten", local + ".ten")

    # The object appears between the look and the write: the conditional
    # write (a PUT, or the completion of a multipart upload) refuses it, and
    # it stays as it was.
    for prefix, args, what in (("c", ["-n", "1000"], "PUT"),
                               ("m", SMALL, "multipart upload")):
        t.section(f"object appearing after the look, {what}")
        local = w.on_disk(args, f"appear-{prefix}")
        key = f"{prefix}/r.ten"
        w.proxy.configure(hide=[key])
        status, _, err = w.reader("put", bucket, key, local + ".hun")
        status, out, err = w.run(args + ["-f", f"s3://{bucket}/{prefix}/r"])
        refused = w.proxy.stats()["refused"]
        w.proxy.configure()
        t.check(refused.get("PreconditionFailed", 0) > 0, "the store refused the write")
        t.check(status == 255 and key in err, "the run fails naming the object", err)
        same_as_disk(w, t, bucket, key, local + ".hun")
        same_as_disk(w, t, bucket, f"{prefix}/r.", local + ".", present=True, skip=key)
        no_uploads(w, t, bucket, f"{prefix}/")


def check_faults(w, t):
    """503s, 500s, resets in the middle of a body and delays that retries
    absorb; faults that stay; the server gone in the middle of an upload."""
    t.section("transient faults")
    bucket = w.bucket("faults")
    local = w.on_disk(SMALL, "faults")
    # Seed 4 draws a fault of each kind among the first three requests.
    for prefix, match, faults in (
            ("t", ".", {"503": 0.15, "500": 0.1, "reset": 0.15, "delay": 0.05}),
            # A real store may answer a completion 200 with an error in its
            # body, to be tried again.
            ("e", r"^POST .*\?uploadId$", {"error200": 0.5})):
        w.proxy.configure(seed=4, match=match, faults=faults)
        status, _, err = w.run(SMALL + ["-f", f"s3://{bucket}/{prefix}/r"])
        injected = w.proxy.stats()["faults"]
        w.proxy.configure()
        t.check(all(injected.get(k, 0) > 0 for k in faults if k != "delay"),
                f"the schedule injected every kind of fault of {sorted(faults)}", str(injected))
        t.check(status == 0, f"the retries absorb {sorted(faults)}", err)
        same_as_disk(w, t, bucket, f"{prefix}/r", local)
        no_uploads(w, t, bucket, f"{prefix}/")

    # Answers lost after the store acted (the request done, its answer
    # reset): an upload created whose id never came must not stay behind;
    # a write done whose answer was lost must not end as a failure that
    # left nothing, nor as a success that left nothing.
    writes = r"^(PUT|POST) [^?]*(\?partNumber&uploadId|\?uploadId)?$"
    for prefix, what, match in (("lc", "upload created", r"^POST .*\?uploads$"),
                                ("lw", "write", writes)):
        w.proxy.configure(seed=4, match=match, faults={"lost": 0.3})
        status, _, err = w.run(SMALL + ["-f", f"s3://{bucket}/{prefix}/r"])
        injected = w.proxy.stats()["faults"]
        w.proxy.configure()
        t.check(injected.get("lost", 0) > 0, f"answers to '{what}' were lost", str(injected))
        got = same_as_disk(w, t, bucket, f"{prefix}/r", local, present=True) or {}
        t.check(status == 0 and got.get("objects") == 5 or status == 255 and after_banner(err),
                f"lost answers to '{what}': the run succeeds with every object, or fails saying"
                " so", f"status {status}\n{err}")
        t.check(got.get("uploads") == [], f"lost answers to '{what}': no upload left", str(got))

    # -verify reads through the same faults.
    w.proxy.configure(seed=4, match="^(GET|HEAD) ", faults={"503": 0.3, "500": 0.1, "reset": 0.2})
    status, out, err = w.run(SMALL + ["-f", f"s3://{bucket}/t/r", "-verify"])
    injected = w.proxy.stats()["faults"]
    w.proxy.configure()
    t.check(status == 0 and out.count(": OK (") == 5 and injected,
            "-verify proves the objects through 503s, 500s and resets", f"{injected}\n{out}{err}")

    for what, prefix, request, fault in (
            ("a part", "s1", r"^PUT /faults/s1/r\.uni\?partNumber", "503"),
            ("the completion", "s2", r"^POST /faults/s2/r\.ten\?uploadId", "500"),
            ("a small object", "s3", r"^PUT /faults/s3/r\.tny$", "reset")):
        t.section(f"a fault that stays: {what}")
        failed = f"{prefix}/r.{request.split(chr(92) + '.')[1][:3]}"
        w.proxy.configure(always={"match": request, "fault": fault})
        report = os.path.join(w.work, f"{prefix}.rpt")
        status, _, err = w.run(SMALL + ["-f", f"s3://{bucket}/{prefix}/r", "-r", report])
        w.proxy.configure()
        told = err + (open(report).read() if os.path.exists(report) else "")
        t.check(status == 255 and after_banner(err) and failed in told and SECRET not in told,
                f"the run fails as on a full disk, naming {failed} (message or report)",
                f"status {status}\n{told}")
        objects = w.objects(bucket, f"{prefix}/")
        t.check(failed not in objects, "the failed object does not exist", str(objects))
        same_as_disk(w, t, bucket, f"{prefix}/r", local, present=True)
        no_uploads(w, t, bucket, f"{prefix}/")

    t.section("server gone in the middle of an upload")
    w.proxy.configure(down_at_part=3)
    status, _, err = w.run(SMALL + ["-f", f"s3://{bucket}/d/r"])
    went_down = w.proxy.stats()["down"]
    w.proxy.up()
    w.proxy.configure()
    t.check(went_down, "the server went away")
    t.check(status == 255 and after_banner(err) and SECRET not in err, "the run fails",
            f"status {status}\n{err}")
    objects = w.objects(bucket, "d/")
    t.check(len(objects) < 5, "not every object was written", str(objects))
    same_as_disk(w, t, bucket, "d/r", local, present=True)
    # The upload in flight could not be aborted: it stays, invisible.
    kept = [u for u in w.uploads(bucket) if u["key"].startswith("d/")]
    print(f"s3: uploads the stopped server kept: {len(kept)}", flush=True)


def check_signals(w, t, tries=21):
    """Signals at moments drawn over a run's length (its requests and bytes
    as the proxy counts them): only complete objects stay, none in parts."""
    t.section("signals at random moments")
    bucket = w.bucket("signals")
    local = w.on_disk(SMALL, "signals")
    w.proxy.configure()
    status, _, err = w.run(SMALL + ["-f", f"s3://{bucket}/full/r"])
    length = w.proxy.stats()["moment"]
    t.check(status == 0, "the uninterrupted run succeeds", err)
    rng = random.Random(20261209)
    pidfile = os.path.join(w.work, "zervgen.pid")
    left = []
    for i in range(tries):
        at = rng.randrange(length)
        sig = rng.choice([signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
        if os.path.exists(pidfile):
            os.remove(pidfile)
        w.proxy.configure(signal={"at": at, "signal": int(sig), "pidfile": pidfile})
        process = w.start(SMALL + ["-f", f"s3://{bucket}/s{i}/r"], pidfile)
        out, err = process.communicate(timeout=600)
        what = f"try {i}: {sig.name} at {at} of {length}"
        # The program's name in its messages is the path it was run by.
        told = f"{w.zervgen}: Terminated by user.\n"
        t.check(process.returncode == 255 and after_banner(err) == told,
                f"{what}: the run ends as an interrupted run", f"status {process.returncode}\n{err}")
        got = same_as_disk(w, t, bucket, f"s{i}/r", local, present=True) or {}
        t.check(got.get("uploads") == [], f"{what}: no multipart upload left", str(got))
        left.append(got.get("objects"))
        # And proven in place: -verify finds each object there as it is made.
        present = got.get("keys", [])
        _, out, err = w.run(SMALL + ["-f", f"s3://{bucket}/s{i}/r", "-verify"])
        proven = {object_name(line.split(": OK (")[0]) for line in out.splitlines()
                  if ": OK (" in line}
        t.check(set(present) == proven, f"{what}: -verify proves the objects left, no other",
                out + err)
    print(f"s3: objects left by each interrupted run: {left}", flush=True)
    t.check(any(0 < (n or 0) < 5 for n in left), "some runs were interrupted between objects")
    w.proxy.configure()


def check_wrong_secret(w, t):
    t.section("wrong secret")
    bucket = w.bucket("secret")
    wrong = "wrongSECRETnot2bShown"
    before = w.proxy.stats()["refused"].get("SignatureDoesNotMatch", 0)
    status, out, err = w.run(["-n", "1000", "-f", f"s3://{bucket}/w/r"], secret=wrong)
    after = w.proxy.stats()["refused"].get("SignatureDoesNotMatch", 0)
    t.check(status == 255 and after > before, "the run is refused by the store", err)
    t.check(wrong not in out + err, "no message shows the secret", err)
    t.check(w.objects(bucket) == {}, "nothing is written")


def check_session_token(w, t):
    """Temporary credentials: the token goes with every request, signed; a
    store that wants one refuses a run without it. Neither is shown."""
    t.section("session token")
    bucket = w.bucket("token")
    local = w.on_disk(["-n", "1000"], "token")
    token = "zervgenSessionToken/abc+123="
    w.proxy.configure(token=token)
    status, out, err = w.run(["-n", "1000", "-f", f"s3://{bucket}/k/r"], token=token)
    t.check(status == 0 and token not in out + err, "a run with the token succeeds", err)
    status, _, err = w.run(["-n", "1000", "-f", f"s3://{bucket}/n/r"])
    refused = w.proxy.stats()["refused"]
    w.proxy.configure()  # the reader has no token
    t.check(status == 255 and refused.get("InvalidToken", 0) > 0, "a run without it is refused",
            err)
    same_as_disk(w, t, bucket, "k/r", local)
    t.check(w.objects(bucket, "n/") == {}, "and writes nothing")


def check_names(w, t):
    """A prefix with characters a URL must encode (space, '+', '&', '=',
    non-ASCII): every request is signed over the name as a store encodes
    it, and the objects take the names asked for."""
    t.section("names to encode")
    bucket = w.bucket("names")
    local = w.on_disk(["-n", "1000"], "names")
    prefix = "a b+c&d=e/\u00fc~%41/r"
    status, _, err = w.run(["-n", "1000", "-f", f"s3://{bucket}/{prefix}"])
    t.check(status == 0, "the run succeeds", err)
    same_as_disk(w, t, bucket, prefix, local)
    status, out, err = w.run(["-n", "1000", "-f", f"s3://{bucket}/{prefix}", "-verify"])
    t.check(status == 0 and out.count(": OK (") == 5, "-verify proves them", out + err)


CHECKS = {"rules": check_proxy_rules, "whole": check_whole_runs, "exist": check_existing_object, "names": check_names,
          "faults": check_faults,
          "signals": check_signals, "secret": check_wrong_secret, "token": check_session_token}


def main():
    zervgen, npm_dir, upstream, data, work = sys.argv[1:6]
    only = sys.argv[7].split(",") if len(sys.argv) > 7 and sys.argv[6] == "--only" else list(CHECKS)
    proxy = Proxy(int(upstream), data, work)
    tally = Tally()
    try:
        world = World(zervgen, npm_dir, proxy, work)
        for name in only:
            try:
                CHECKS[name](world, tally)
            except Exception as e:  # a check that cannot go on fails, the others run
                tally.check(False, f"{name} could not go on: {e!r}")
    finally:
        proxy.stop()
    print(f"s3: {tally.passed} passed, {tally.failed} failed")
    return 1 if tally.failed else 0


if __name__ == "__main__":
    sys.exit(main())
