"""sources.py: where a load reads a relation's rows from.

A part of a relation's rows is a file, a zervgen pipe, or the decompression
of a compressed file (by the command -describe's compress_codecs gives);
Source reads its rows, or gives a shell command that writes them, and
tells when the command that wrote them failed.
"""

import subprocess

from .common import quote


class Source:
    """Part k (1..jobs) of a relation's rows: a file (path), or a command
    (its messages to the file err) that writes them, named `name` in
    messages: a zervgen pipe, or the decompression of a compressed file
    (path and command both set). Whatever reads a command's rows checks
    gen_failure() once they are in."""

    def __init__(self, rel, k, path=None, command=None, err=None, name=None):
        self.rel, self.k = rel, k
        self.path, self.command, self.err = path, command, err
        self.name = name or path
        self.proc = None  # the command while lines() reads it

    def lines(self, spawn):
        """The rows (bytes, no line feed) numbered from 1; a command is
        started with spawn(COMMAND, stdout=, stderr=), and its failure noted
        for gen_failure() when its rows are read."""
        if self.command is None:
            with open(self.path, "rb") as f:
                for n, line in enumerate(f, 1):
                    yield n, line[:-1] if line.endswith(b"\n") else line
            return
        with open(self.err, "wb") as err:
            p = self.proc = spawn(self.command, stdout=subprocess.PIPE, stderr=err)
        for n, line in enumerate(p.stdout, 1):
            yield n, line[:-1] if line.endswith(b"\n") else line
        p.stdout.close()
        if p.wait() != 0:
            with open(self.err, "a") as err:
                err.write("zervgen-failed\n")

    def settled_failure(self):
        """gen_failure() once the decompression of a compressed file that
        lines() reads has ended: a row that fails its checks can be the
        first sign of a damaged file, which the decompressor names better."""
        p = self.proc
        if p is not None and self.path is not None:
            if not p.stdout.closed:
                while p.stdout.read(1 << 20):
                    pass
                p.stdout.close()
            if p.wait() != 0:
                with open(self.err, "a") as err:
                    err.write("zervgen-failed\n")
        return self.gen_failure()

    def decompress_failure(self):
        """For a compressed file whose load failed: why it does not
        decompress (its decompressor run again to the end), or None."""
        if self.path is None or self.command is None:
            return None
        p = subprocess.run(self.command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        if p.returncode == 0:
            return None
        said = p.stderr.decode("utf-8", "replace").strip().splitlines()
        return (f"{self.rel}: {self.path}: cannot decompress it:"
                f" {said[-1] if said else 'it ended with a failure'}")

    def shell(self):
        """A shell command that writes the rows (a command: its status is the
        command's, its failure noted in the .err file; a decompressor that
        ends by SIGPIPE did not fail, its reader stopped first)."""
        if self.command is None:
            return "exec cat " + quote(self.path)
        piped = "" if self.path is None else "[ $s = 141 ] || "
        return ("{ " + " ".join(quote(a) for a in self.command) + " 2>" + quote(self.err)
                + " || { s=$?; " + piped + "echo zervgen-failed >>" + quote(self.err)
                + "; exit $s; }; }")

    def gen_failure(self):
        """zervgen's last message when its pipe failed, else None."""
        if self.command is None:
            return None
        try:
            with open(self.err, encoding="utf-8", errors="replace") as f:
                lines = f.read().splitlines()
        except OSError:
            return None
        if "zervgen-failed" not in lines:
            return None
        said = [line for line in lines if line != "zervgen-failed"]
        said = said[-1] if said else "it ended with a failure"
        if self.path is not None:
            return f"{self.rel}: {self.path}: cannot decompress it: {said}"
        return f"{self.rel}: {self.name} failed: {said}"
