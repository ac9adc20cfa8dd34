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
import select
import shutil
import stat
import subprocess

DESCRIBE_VERSION = 1
MANIFEST_VERSION = 1
VERIFY_VERSION = 1
HEAD_VERSION = 1


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


def said_lines(err):
    """zervgen's lines on standard error (bytes or text) after its banner,
    which is always the first line it writes there (-describe's "banner")."""
    if isinstance(err, bytes):
        err = err.decode("utf-8", "replace")
    return err.splitlines()[1:]


def message(err, status):
    """zervgen's message on standard error without its banner: the lines
    up to the first blank one (a refusal's synopsis follows it), joined
    into one; or its status when it said nothing."""
    lines = []
    for line in said_lines(err):
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


# -describe's answers by (program, arguments, folder): a load asks the same
# question several times, and each answer is a new parse, which its caller
# may change.
_described = {}


def describe(zervgen, args, cwd=None):
    """The -describe document of `zervgen ARGS` (run in `cwd`): what the
    run is. A refused command line is a ZervgenError with zervgen's
    message."""
    asked = (zervgen, tuple(args), cwd)
    if asked not in _described:
        status, out, err = run(zervgen, list(args) + ["-describe"], cwd)
        if status != 0:
            raise ZervgenError(message(err, status))
        _described[asked] = out
    return parse_describe(_described[asked], zervgen)


def parse_describe(text, source):
    try:
        doc = json.loads(text)
    except ValueError:
        raise ZervgenError(f"{source} -describe: not a JSON document (a zervgen without -describe?)") from None
    if not isinstance(doc, dict) or doc.get("zervgen_describe") != DESCRIBE_VERSION:
        raise ZervgenError(f"{source}: not a -describe document of version {DESCRIBE_VERSION}")
    return doc


# The most bytes a manifest or report can have: 1000 parts of each of five
# relations, each file named twice in a manifest with up to 528 bytes of
# name, each byte escaped in at most six; the rest is small beside it.
RECORD_LIMIT = 64 << 20


# How long a FIFO that no program writes yet is waited for.
FIFO_WAIT = 5.0


def read_record(path, what):
    """The bytes of the record `what` ("the manifest") at path, whatever
    kind of file it is: a pipe is read once; a FIFO is opened without
    waiting, and read once a program writes to it, which it must begin to
    do within FIFO_WAIT seconds. A folder, a file that cannot be read, a
    FIFO nobody writes, or more bytes than RECORD_LIMIT (not read further)
    is a ZervgenError."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY)
    except OSError as e:
        raise ZervgenError(f"cannot read {what} {path}: {e.strerror}") from None
    try:
        st = os.fstat(fd)
        if stat.S_ISDIR(st.st_mode):
            raise ZervgenError(f"{what} {path} is a folder, not a file")
        if stat.S_ISREG(st.st_mode) and st.st_size > RECORD_LIMIT:
            raise ZervgenError(f"{what} {path} has {st.st_size} bytes, more than a zervgen"
                               f" record can have ({RECORD_LIMIT}): not read")
        if stat.S_ISFIFO(st.st_mode):
            # A writer that opens the FIFO makes it readable; until one
            # does, reading would find its end at once.
            poller = select.poll()
            poller.register(fd, select.POLLIN)
            if not poller.poll(FIFO_WAIT * 1000):
                raise ZervgenError(f"{what} {path} is a FIFO that nothing wrote to within"
                                   f" {FIFO_WAIT:g} seconds")
        os.set_blocking(fd, True)
        chunks, size = [], 0
        while True:
            chunk = os.read(fd, min(1 << 20, RECORD_LIMIT + 1 - size))
            if not chunk:
                break
            chunks.append(chunk)
            size += len(chunk)
            if size > RECORD_LIMIT:
                raise ZervgenError(f"{what} {path} holds more than a zervgen record can have"
                                   f" ({RECORD_LIMIT} bytes): not read further")
    except OSError as e:
        raise ZervgenError(f"cannot read {what} {path}: {e.strerror}") from None
    finally:
        os.close(fd)
    data = b"".join(chunks)
    if not data:
        raise ZervgenError(f"{what} {path} is empty")
    return data


def read_manifest(path):
    """The manifest a run wrote with -manifest: {"describe": ..., "written": [...]},
    read as read_record reads it. Only its kind and version are checked:
    check_record tells whether its -describe document is the run's."""
    data = read_record(path, "the manifest")
    try:
        doc = json.loads(data)
    except (ValueError, RecursionError):  # RecursionError: nested too deep
        raise ZervgenError(f"{path} is not a zervgen manifest (not JSON)") from None
    if not isinstance(doc, dict) or doc.get("zervgen_manifest") != MANIFEST_VERSION:
        raise ZervgenError(f"{path} is not a zervgen manifest of version {MANIFEST_VERSION}")
    parse_describe(json.dumps(doc.get("describe")), path)
    return doc


# The fields -describe gained after its first documents: a record of an
# older zervgen lacks them.
LATER_FIELDS = ("proof_args", "compress_codecs", "banner", "rules")


def first_difference(got, want, where):
    """The path ("describe.options.compress") of the first field in which
    `got` differs from `want` (a field `got` lacks, or has more, included;
    LATER_FIELDS at the top may be missing), or None."""
    if isinstance(want, dict) and isinstance(got, dict):
        for key in got:
            if key not in want:
                return f"{where}.{key}"
        for key, value in want.items():
            if key not in got:
                if where == "describe" and key in LATER_FIELDS:
                    continue
                return f"{where}.{key}"
            else:
                found = first_difference(got[key], value, f"{where}.{key}")
                if found:
                    return found
        return None
    if isinstance(want, list) and isinstance(got, list) and len(got) == len(want):
        for i, (a, b) in enumerate(zip(got, want)):
            found = first_difference(a, b, f"{where}[{i}]")
            if found:
                return found
        return None
    if type(got) is not type(want) or got != want:
        return where
    return None


def check_record(zervgen, doc, name):
    """The -describe document `doc` a record holds, checked: zervgen
    describes its argv again and must give the same document, field by
    field (argv[0] and the banner, which name the program as it was
    called, aside). Returns zervgen's own document; a record of wrong
    types, unknown values or any edit is a ZervgenError naming the
    first field that differs."""
    argv = doc.get("argv")
    if (not isinstance(argv, list) or not argv
            or not all(isinstance(a, str) for a in argv) or "-describe" in argv):
        raise ZervgenError(f"{name}: describe.argv is not the command line of a zervgen run")
    try:
        own = describe(zervgen, [os.fsencode(a) for a in argv[1:]])
    except ZervgenError as e:
        raise ZervgenError(f"{name}: zervgen refuses its describe.argv ({e})") from None
    own["argv"] = argv  # the argv described, without the -describe added to it
    mine = dict(doc)
    mine.pop("banner", None)
    field = first_difference(mine, dict(own, banner=None), "describe")
    if field:
        raise ZervgenError(f"{name}: {field} is not what zervgen says of the run's command line"
                           " (an edited record, or another zervgen's?)")
    return own


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


def rules(doc, source="zervgen"):
    """The rules of every run that a -describe document gives: the bounds of
    -n and -fc, and each relation's count and figures as functions of the
    rows; a ZervgenError for a document without them (an older zervgen)."""
    found = doc.get("rules")
    if not isinstance(found, dict):
        raise ZervgenError(f"{source} -describe gives no rules (a zervgen older than this tool?)")
    return found


def rule_value(rule, rows):
    """A figure of -describe's rules for a run of `rows` rows: a constant
    as it stands, else rows // rows_over + plus, at most at_most."""
    if not isinstance(rule, dict):
        return rule
    value = rows // rule["rows_over"] + rule["plus"]
    return min(value, rule["at_most"]) if "at_most" in rule else value


def column(rel, name):
    """The column `name` of a relation of a -describe document, or None."""
    return next((c for c in rel["columns"] if c["name"] == name), None)


def head_objects(out):
    """The objects `-head` printed on standard output (bytes): one dict per
    object of the run, with its "path", "size" and "etag" (null when it is
    not there, "failure" says), in the order the run writes them."""
    return [obj for obj in json_lines(out) if obj.get("zervgen_head") == HEAD_VERSION]


def json_lines(out):
    """The JSON objects of the lines of `out` (bytes); other lines left out."""
    objects = []
    for line in out.decode("utf-8", "surrogateescape").splitlines():
        try:
            obj = json.loads(line)
        except ValueError:
            continue
        if isinstance(obj, dict):
            objects.append(obj)
    return objects


def verify_objects(out):
    """The objects `-verify -json` printed on standard output (bytes), one
    dict per file, for a caller that runs zervgen itself (to hand it a
    signal, say); verify() reads them the same way."""
    return [obj for obj in json_lines(out) if obj.get("zervgen_verify") == VERIFY_VERSION]
