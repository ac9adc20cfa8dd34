#!/usr/bin/env python3
"""check_readme_blocks.py: the checks of readme_blocks.py, on pages made for
them, so that .ci/readme-examples cannot pass an example it no longer
checks: a block without a mark, a 'not run' block the reader is not told
of, a link that leads nowhere, and a console transcript whose output or
status is not what it shows must each fail; the pages as they should be
must pass.

  python3 tests/tools/check_readme_blocks.py     (from anywhere; .ci/readme-examples runs it)
"""

import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

TOOL = os.path.join(harness.REPO, "tests", "tools", "readme_blocks.py")

GOOD = """# Page

## A heading

See [the heading](#a-heading).

<!-- ci: run -->
```sh
true
```

Not run by CI: it needs a cluster.

<!-- ci: not run: needs a cluster -->
```sh
kubectl apply -f job.yaml
```
"""

# Each page is GOOD with one fault; the line the failure must name.
BAD = {
    "unmarked": (GOOD.replace("<!-- ci: run -->\n", ""), "page.md:7:", "without a"),
    "not told": (GOOD.replace("Not run by CI: it", "It"), "page.md:15:", "does not say"),
    "no reason": (GOOD.replace("not run: needs a cluster", "not run"), "page.md:15:", "reason"),
    "unknown mark": (GOOD.replace("ci: run", "ci: runn"), "page.md:8:", "unknown mark"),
    "bad anchor": (GOOD.replace("(#a-heading)", "(#b-heading)"), "page.md:5:", "no such heading"),
    "no file": (GOOD.replace("(#a-heading)", "(gone.md)"), "page.md:5:", "no such file"),
}

TRANSCRIPT = """$ mkdir d && cd d && printf 'ab\\n' > f.txt && echo made
made
$ ls -l f.txt
-rw-r--r-- 1 root root 3 Dec  8 02:14 f.txt
$ cat f.txt; false
ab
$ echo $?
1
"""

# Each transcript is TRANSCRIPT with one fault.
BAD_TRANSCRIPTS = {
    "other output": TRANSCRIPT.replace("made\n$", "mode\n$"),
    "other size": TRANSCRIPT.replace(" 3 Dec", " 4 Dec"),
    "missing line": TRANSCRIPT.replace("ab\n$ echo", "$ echo"),
    "failure unshown": TRANSCRIPT.replace("$ echo $?\n1\n", ""),
}


def main():
    res = harness.Results("check_readme_blocks")
    with tempfile.TemporaryDirectory() as tmp:
        # The README, the user's path, says nothing of CI: its blocks that
        # are not run need not tell it; a docs page's must.
        cases = ([("good", GOOD, None, None),
                  ("README not told", BAD["not told"][0], None, "README.md")] +
                 [(k, *v) for k, v in BAD.items()])
        for name, text, where, says in cases:
            page = "README.md" if name == "README not told" else "page.md"
            with open(os.path.join(tmp, page), "w") as f:
                f.write(text)
            out = os.path.join(tmp, "out-" + name.replace(" ", "-"))
            os.mkdir(out)
            r = harness.run([sys.executable, TOOL, "list", out, page], cwd=tmp)
            if where is None:
                res.check(r.returncode == 0, name, "the page is refused", r.stderr)
                res.check(open(os.path.join(out, "blocks.tsv")).read().split("\t")[1] == "run",
                          name, "the first block is not listed as 'run'")
            else:
                res.check(r.returncode == 1 and where in r.stderr and says in r.stderr, name,
                          f"status {r.returncode}, not 1 with '{where} ... {says}'", r.stderr)
        cases = [("transcript", TRANSCRIPT, 0)] + [(k, v, 1) for k, v in BAD_TRANSCRIPTS.items()]
        for name, text, want in cases:
            work = tempfile.mkdtemp(dir=tmp)
            block = os.path.join(tmp, "block")
            with open(block, "w") as f:
                f.write(text)
            r = harness.run([sys.executable, TOOL, "console", block, "page.md:1"], cwd=work)
            res.check(r.returncode == want and (want == 0 or "page.md:1" in r.stderr), name,
                      f"status {r.returncode}, not {want}", r.stderr)
    return res.summary()


if __name__ == "__main__":
    sys.exit(main())
