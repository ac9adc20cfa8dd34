"""interface.py: what the tools know of a zervgen run, asked of zervgen.

The tools never describe the relations themselves and never read
zervgen's human text: they ask `zervgen OPTIONS -describe` what a run is
(its options as understood, its relations, columns and files), read the
manifest a run leaves with `-manifest FILE`, and read `-verify -json`'s
one object per file. The schemas are in docs/interface.md.

Every failure to ask is a ZervgenError with one line that says what went
wrong: zervgen's own message when it refused the options.
"""

import json
import os
import shutil
import subprocess

DESCRIBE_VERSION = 1
MANIFEST_VERSION = 1
VERIFY_VERSION = 1


class ZervgenError(Exception):
    """zervgen could not be asked, or refused what it was asked."""


def find_zervgen(given=None, beside=None):
    """The zervgen to run: `given` (a path, or a name on the PATH), else
    the one in the folder `beside` (the calling program's own folder) or
    in ../build of it (a checkout), else the one on the PATH. None when
    there is none."""
    if given:
        path = given if os.sep in given else shutil.which(given)
        if path and os.access(path, os.X_OK) and not os.path.isdir(path):
            return path
        return None
    candidates = []
    if beside:
        candidates += [os.path.join(beside, "zervgen"), os.path.join(beside, "..", "build", "zervgen")]
    candidates.append(shutil.which("zervgen"))
    for path in candidates:
        if path and os.access(path, os.X_OK) and not os.path.isdir(path):
            return path
    return None


def message(err, status):
    """zervgen's message on standard error without its banner: the lines
    up to the first blank one (a refusal's synopsis follows it), joined
    into one; or its status when it said nothing."""
    lines = []
    for line in err.decode("utf-8", "replace").splitlines():
        if " - zervgen " in line and not lines:
            continue
        if not line.strip():
            if lines:
                break
            continue
        lines.append(line.strip())
    return " ".join(lines) if lines else f"status {status}"


def run(zervgen, args, cwd=None):
    """Runs zervgen with `args`; (status, standard output, standard error)
    as bytes. A zervgen that cannot be started is a ZervgenError."""
    try:
        p = subprocess.run([zervgen] + list(args), cwd=cwd, stdin=subprocess.DEVNULL,
                           capture_output=True)
    except OSError as e:
        raise ZervgenError(f"cannot run {zervgen}: {e.strerror}") from None
    return p.returncode, p.stdout, p.stderr


def describe(zervgen, args, cwd=None):
    """The -describe document of `zervgen ARGS` (run in `cwd`): what the
    run is. A refused command line is a ZervgenError with zervgen's
    message."""
    status, out, err = run(zervgen, list(args) + ["-describe"], cwd)
    if status != 0:
        raise ZervgenError(message(err, status))
    return parse_describe(out, zervgen)


def parse_describe(text, source):
    try:
        doc = json.loads(text)
    except ValueError:
        raise ZervgenError(f"{source} -describe: not a JSON document (a zervgen without -describe?)") from None
    if not isinstance(doc, dict) or doc.get("zervgen_describe") != DESCRIBE_VERSION:
        raise ZervgenError(f"{source}: not a -describe document of version {DESCRIBE_VERSION}")
    return doc


def read_manifest(path):
    """The manifest a run wrote with -manifest: {"describe": ..., "written": [...]}."""
    try:
        with open(path, "rb") as f:
            doc = json.loads(f.read())
    except OSError as e:
        raise ZervgenError(f"cannot read the manifest {path}: {e.strerror}") from None
    except ValueError:
        raise ZervgenError(f"{path} is not a zervgen manifest (not JSON)") from None
    if not isinstance(doc, dict) or doc.get("zervgen_manifest") != MANIFEST_VERSION:
        raise ZervgenError(f"{path} is not a zervgen manifest of version {MANIFEST_VERSION}")
    parse_describe(json.dumps(doc.get("describe")), path)
    return doc


def verify_command(zervgen, args):
    """The command line of `zervgen ARGS -verify -json`, for a caller that
    runs it itself (beside other work) and hands its ending to read_verify."""
    return [zervgen] + list(args) + ["-verify", "-json"]


def read_verify(status, out, err):
    """(status, [one dict per file], zervgen's message) of a -verify -json
    that ended with `status`, standard output `out` and standard error
    `err` (bytes). Status 0: every file as it should be; 1: a file is not;
    else the check could not be made (the list may be short)."""
    return status, verify_objects(out), message(err, status)


def verify(zervgen, args, cwd=None):
    """Runs `zervgen ARGS -verify -json`; see read_verify."""
    status, out, err = run(zervgen, verify_command(zervgen, args)[1:], cwd)
    return read_verify(status, out, err)


def relation(doc, name):
    """The relation `name` of a -describe document, or None."""
    return next((r for r in doc["relations"] if r["name"] == name), None)


def column(rel, name):
    """The column `name` of a relation of a -describe document, or None."""
    return next((c for c in rel["columns"] if c["name"] == name), None)


def verify_objects(out):
    """The objects `-verify -json` printed on standard output (bytes), one
    dict per file, for a caller that runs zervgen itself (to hand it a
    signal, say); verify() reads them the same way."""
    files = []
    for line in out.decode("utf-8", "surrogateescape").splitlines():
        try:
            obj = json.loads(line)
        except ValueError:
            continue
        if isinstance(obj, dict) and obj.get("zervgen_verify") == VERIFY_VERSION:
            files.append(obj)
    return files
