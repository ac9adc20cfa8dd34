"""cli.py: what every zervgen tool does the same way on its command line.

Exit status, the same in zervgen-load and zervgen-slurm:

    0   the work is done (the tables loaded, every part proven)
    1   the work failed and what it touched is as it was (the old tables,
        the parts that are not proven), one line on standard error says why
    2   the command line is wrong, or what the tool needs cannot be had (a
        program, a folder, Slurm): nothing was done
    3   (zervgen-slurm status) tasks still pending or running
    128+N  ended by signal N (130 for SIGINT, 143 for SIGTERM, 129 SIGHUP)

A Failure ends a tool with its status and one line "PROG: TEXT"; `--help`
writes to standard output and ends with status 0; a usage error is one line
naming what was wrong and where the help is.
"""

import argparse
import os
import sys

from . import interface

DONE, FAILED, USAGE, PENDING = 0, 1, 2, 3


class Failure(Exception):
    """Ends the tool with `status` and the one line 'PROG: TEXT'."""

    status = FAILED

    def __init__(self, text, status=None):
        super().__init__(text)
        if status is not None:
            self.status = status


class UsageError(Failure):
    """A command line the tool cannot take, or a tool it cannot find."""

    status = USAGE


def one_line(text):
    """text as one line of printable ASCII (any other character shows as '?')."""
    return "".join(c if " " <= c <= "~" else "?" for c in text)


def say(prog, text):
    """The tool's one line on standard error."""
    sys.stderr.write(one_line(f"{prog}: {text}") + "\n")
    sys.stderr.flush()


class ArgumentParser(argparse.ArgumentParser):
    """argparse, but a usage error is one line, 'PROG: REASON (see PROG
    --help)', and status 2; subcommands' parsers are of this class too."""

    def error(self, message):
        say(self.prog, f"{message} (see {self.prog} --help)")
        raise SystemExit(USAGE)


def find_zervgen(given=None, option="--zervgen", beside=None):
    """The zervgen a tool runs: `given` (a path, or a name on the PATH),
    else the one beside the running program, or built in its checkout,
    else zervgen on the PATH. Not found is a UsageError naming `option`."""
    here = beside or os.path.dirname(os.path.realpath(sys.argv[0]))
    path = interface.find_zervgen(given, here)
    if path is None:
        if given:
            raise UsageError(f"{option}: cannot run '{given}'")
        raise UsageError(f"no zervgen beside this program or on the PATH: name one with {option} ZERVGEN")
    return path


def run_main(prog, main, argv):
    """main(argv)'s status; a Failure is its line and status, a file or
    program the system refuses (OSError) a line and status 1."""
    try:
        return main(argv)
    except Failure as failure:
        say(prog, str(failure))
        return failure.status
    except OSError as err:
        where = f"{err.filename}: " if err.filename else ""
        say(prog, f"{where}{err.strerror or err}")
        return FAILED
