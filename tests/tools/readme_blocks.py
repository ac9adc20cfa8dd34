#!/usr/bin/env python3
"""readme_blocks.py: the fenced blocks of the README and the docs pages, for
.ci/readme-examples, which runs them.

  readme_blocks.py list OUT_DIR FILE...
      Writes each block of the FILEs as OUT_DIR/NNN.block (its text) and one
      line per block to OUT_DIR/blocks.tsv: number, mark, FILE:LINE (the line
      of its opening fence), the number of the block whose folder it runs in
      (its own, or with ", in the folder of the block before" after a mark
      that runs, the block before's: it goes on with that block's files). Every block must carry a mark, an HTML comment
      on the line before its opening fence:
          <!-- ci: run -->             run with bash
          <!-- ci: console -->         run the "$ " lines, compare their output
          <!-- ci: databases -->       run with bash beside PostgreSQL and MariaDB
          <!-- ci: quick-start -->     a Quick start block (run elsewhere)
          <!-- ci: package-test -->    the package block (.ci/package-test)
          <!-- ci: output -->          output shown, nothing to run
          <!-- ci: not run: REASON --> not runnable in CI; in the docs pages
                                       the text before the block must tell
                                       the reader so (the README, the
                                       user's path, says nothing of CI)
      A block without a mark, with an unknown mark, or "not run" without a
      reason or (outside README.md) without "not run by CI" / "CI does not
      run" in the text since the block before, is an error naming FILE:LINE
      (status 1). So is
      a relative link of the FILEs to a file that does not exist or to an
      anchor that no heading of its page makes.

  readme_blocks.py console BLOCK_FILE WHERE
      Runs the "$ " lines of a console block in turn in one bash, in the
      current folder, and compares what each prints (standard output and
      error together) with the lines shown below it. Lines of `ls -l` are
      compared by name and size, and a report's size (*.rpt) not at all: it
      changes with the date and the times it gives. A command that ends
      with a status other than 0 must be followed by "$ echo $?". Status 1
      with the first difference, naming WHERE, when they differ.
"""

import os
import re
import subprocess
import sys

MARK = re.compile(r"^\s*<!-- ci: (.*?) -->\s*$")
FENCE = re.compile(r"^(\s*)```")
KINDS = {"run", "console", "databases", "quick-start", "package-test", "output"}
RUNS = {"run", "console", "databases"}
AFTER = ", in the folder of the block before"
TOLD = re.compile(r"not\s+run\s+by\s+CI|CI\s+does\s+not\s+run", re.I)


def blocks(path):
    """Yields (line, mark, text, error) for each fenced block of path."""
    lines = open(path, encoding="utf-8").read().split("\n")
    i = 0
    prose_start = 0
    while i < len(lines):
        m = FENCE.match(lines[i])
        if not m:
            i += 1
            continue
        indent = m.group(1)
        start = i
        body = []
        i += 1
        while i < len(lines) and not lines[i].startswith(indent + "```"):
            body.append(lines[i][len(indent):] if lines[i].startswith(indent) else lines[i])
            i += 1
        if i == len(lines):
            yield start + 1, None, "", "a block that is never closed"
            return
        i += 1
        mark = MARK.match(lines[start - 1]) if start > 0 else None
        error = None
        kind = mark.group(1) if mark else None
        if kind is None:
            error = "a block without a <!-- ci: ... --> mark on the line before it"
        elif kind.startswith("not run"):
            if not re.match(r"not run: \S", kind):
                error = "a 'not run' mark without its reason"
            elif (os.path.basename(path) != "README.md"
                  and not TOLD.search("\n".join(lines[prose_start:start]))):
                error = "a block not run by CI whose text does not say 'not run by CI'"
            kind = "not-run"
        elif kind.endswith(AFTER):
            kind = kind[:-len(AFTER)]
            if kind not in RUNS:
                error = f"'{AFTER.strip(', ')}' after a mark that runs nothing"
            else:
                kind += "+"
        elif kind not in KINDS:
            error = f"an unknown mark '{kind}'"
        prose_start = i
        yield start + 1, kind, "\n".join(body) + "\n", error


def slug(heading):
    """The anchor a heading makes on GitHub: lower case, punctuation dropped
    but for hyphens and underscores, blanks as hyphens."""
    return re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")


def anchors(path):
    text = re.sub(r"```.*?```", "", open(path, encoding="utf-8").read(), flags=re.S)
    return {slug(m.group(1)) for m in re.finditer(r"^#+ (.*)$", text, re.M)}


def bad_links(path):
    """Yields (line, link, why) for each relative link of path that leads nowhere."""
    for number, line in enumerate(open(path, encoding="utf-8").read().split("\n"), 1):
        for link in re.findall(r"\]\(([^)\s]+)\)", line):
            if re.match(r"[a-z]+:", link):
                continue
            target, _, anchor = link.partition("#")
            target = os.path.normpath(os.path.join(os.path.dirname(path), target)) if target else path
            if not os.path.exists(target):
                yield number, link, "no such file"
            elif anchor and (os.path.isdir(target) or anchor not in anchors(target)):
                yield number, link, "no such heading"


def list_blocks(out_dir, files):
    errors = 0
    for path in files:
        for line, link, why in bad_links(path):
            print(f"readme-examples: {path}:{line}: link '{link}': {why}", file=sys.stderr)
            errors += 1
    with open(os.path.join(out_dir, "blocks.tsv"), "w", encoding="utf-8") as tsv:
        n = 0
        for path in files:
            before = None  # the block before in this file: (number, kind)
            for line, kind, text, error in blocks(path):
                where = f"{path}:{line}"
                folder = f"{n + 1:03d}"
                if kind and kind.endswith("+"):
                    kind = kind[:-1]
                    if before is None or before[1] not in RUNS:
                        error = "runs in the folder of the block before, which runs nothing"
                    else:
                        folder = before[0]
                if error:
                    print(f"readme-examples: {where}: {error}", file=sys.stderr)
                    errors += 1
                    continue
                n += 1
                with open(os.path.join(out_dir, f"{n:03d}.block"), "w", encoding="utf-8") as f:
                    f.write(text)
                tsv.write(f"{n:03d}\t{kind}\t{where}\t{folder}\n")
                before = (folder, kind)
    return 1 if errors else 0


LS_LINE = re.compile(r"^[-dl][rwxsStT-]{9}\S*\s+\d+\s+\S+\s+\S+\s+(\d+)\s+\S+\s+\d+\s+\S+\s+(.*)$")


def same_line(expected, found):
    e, f = LS_LINE.match(expected), LS_LINE.match(found)
    if e and f:
        return e.group(2) == f.group(2) and (e.group(2).endswith(".rpt") or e.group(1) == f.group(1))
    return expected == found


def console(block_file, where):
    steps = []  # [command, [expected output lines]]
    for line in open(block_file, encoding="utf-8").read().rstrip("\n").split("\n"):
        if line.startswith("$ "):
            steps.append([line[2:], []])
        elif steps:
            steps[-1][1].append(line)
        else:
            print(f"readme-examples: {where}: output before the first '$ ' line", file=sys.stderr)
            return 1
    # One shell runs every command; a line of its own marks where each
    # command's output begins and with what status the one before ended.
    script = ["__s=0"]
    for n, (command, _) in enumerate(steps):
        script.append(f"printf '\\n@@step {n} %d\\n' \"$__s\"; (exit $__s)")
        script.append(f"{{ {command}\n}} 2>&1; __s=$?")
    script.append("printf '\\n@@step end %d\\n' \"$__s\"")
    # The C locale, so that `ls -l` lines have the fields compared above.
    env = dict(os.environ, LC_ALL="C")
    run = subprocess.run(["bash", "-c", "\n".join(script)], stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, text=True, errors="replace", env=env)
    found = {}
    statuses = {}
    current = None
    order = [str(n) for n in range(len(steps))] + ["end"]
    for line in run.stdout.split("\n"):
        m = re.match(r"^@@step (\S+) (\d+)$", line)
        if m:
            idx = order.index(m.group(1))
            if idx > 0:
                statuses[idx - 1] = int(m.group(2))
                # the newline printed before the marker is not output
                if found[current] and found[current][-1] == "":
                    found[current].pop()
            current = m.group(1)
            found.setdefault(current, [])
            continue
        if current is not None:
            found[current].append(line)
    if "end" not in found:
        print(f"readme-examples: {where}: the shell ended early:\n{run.stdout}", file=sys.stderr)
        return 1
    for n, (command, expected) in enumerate(steps):
        got = found.get(str(n), [])
        status = statuses.get(n)
        if status != 0 and not (n + 1 < len(steps) and steps[n + 1][0] == "echo $?"):
            print(f"readme-examples: {where}: '$ {command}' ended with status {status}:\n"
                  + "\n".join(got), file=sys.stderr)
            return 1
        if len(got) != len(expected) or not all(map(same_line, expected, got)):
            print(f"readme-examples: {where}: '$ {command}' printed other lines than the block shows\n"
                  "--- shown\n" + "\n".join(expected) + "\n--- printed\n" + "\n".join(got),
                  file=sys.stderr)
            return 1
    return 0


def main(argv):
    if len(argv) >= 3 and argv[1] == "list":
        return list_blocks(argv[2], argv[3:])
    if len(argv) == 4 and argv[1] == "console":
        return console(argv[2], argv[3])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
