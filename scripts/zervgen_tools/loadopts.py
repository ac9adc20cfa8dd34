"""loadopts.py: zervgen-load's command line and its help.

    zervgen-load DATABASE [OPTIONS] [TARGET...] PREFIX
    zervgen-load DATABASE [OPTIONS] -g ZERVGEN [TARGET...] [ZERVGEN-OPTIONS...]

DATABASE is a backend's module (postgresql, sqlite, mariadb); called as
zervgen-load-DATABASE or load-DATABASE.sh it comes from the program's name.
The options are read as getopts reads them: single letters, clustered or
not (-cj 2, -j2), up to the first operand or "--"; -g ZERVGEN ends them, and
what follows it is the targets and then zervgen's own options, which the
loader does not read. argparse (cli.ArgumentParser) reads the options thus
set apart, writes the help and the one-line usage errors (status 2).
"""

import argparse
import os
import re
import textwrap

from . import cli, interface

BACKENDS = ("postgresql", "sqlite", "mariadb")

EXIT_TEXT = ("Exit status: 0 the tables are loaded; 1 the load failed, the tables are as"
             " they were; 2 a usage error or a missing program or file, nothing was done;"
             " 128+N ended by signal N.")


class HelpFormatter(argparse.RawDescriptionHelpFormatter):
    """The help of 79 columns, the options' texts from column 17."""

    def __init__(self, prog):
        super().__init__(prog, max_help_position=16, width=79)


def usage_line(prog, groups):
    """prog and the groups of a usage line, wrapped between groups."""
    lines = [prog]
    for g in groups:
        if len(lines[-1]) + 1 + len(g) > 71:
            lines.append("    ")
        lines[-1] += " " + g
    return "\n           ".join(lines)


def wrap(text):
    return textwrap.fill(text, 79)


class Options:
    """The command line as read: the options argparse sets (delim_word,
    jobs, check_cols, manifest, report, sqlfile, verifier, zervgen and a
    backend's own), the operands (targets, prefix or gen_args) and what
    follows from them:

    delim       the delimiter as bytes (a tab for fixed format)
    fixed       fixed-format files (-d fixed)
    delim_given -d was given (else a record gives the format, or ',')
    fixed_ok    the database loads fixed-format files
    zervgen     -g ZERVGEN as given: rows piped from it, no files
    zexe        the zervgen the loader runs (-g's, -z's, or found)
    """

    def __init__(self):
        self.targets = []
        self.prefix = None
        self.gen_args = []
        self.delim = b","
        self.fixed = False
        self.delim_given = False
        self.fixed_ok = False
        self.zexe = None


def option_rows(db, sql_dir):
    """(flag, METAVAR or None, dest, default, help) of every option of
    backend db, in the order of the help."""
    if db.fixed_ok:
        fixed_word = "; or 'fixed' for fixed-format files (zervgen -ff)."
        gen_format, gen_taken = "-dc DELIM (or -ff)", "-f, -r, -ff, -dc"
    else:
        fixed_word = ". Fixed-format files cannot be loaded."
        gen_format, gen_taken = "-dc DELIM", "-f, -r, -dc"
    targets = " ".join(t for t, _ in db.target_args)
    follow = (f"{targets}, then zervgen's own options follow it" if targets
              else "zervgen's own options follow it")
    rows = [
        ("-d", "DELIM", "delim_word", None,
         f"the run's delimiter (zervgen -dc): ',' (the default), '|' or 'tab'{fixed_word}"
         " Files with a manifest or report need none: the record gives it, and a -d that"
         " says otherwise is refused. Without either, the files' first rows show it."),
        ("-g", "ZERVGEN", "zervgen", None,
         f"read no files: run ZERVGEN -<rel> -f - {gen_format} with the remaining options"
         f" (e.g. -n 100000 -fc 20) once per relation and pipe its rows straight into the"
         f" database. -g ZERVGEN ends the loader's options: {follow}. They are checked"
         " with ZERVGEN -describe first; do not pass"
         f" {gen_taken}, -parts, -part or a relation option."),
        ("-M", "MANIFEST", "manifest", None,
         "the run's manifest (zervgen -manifest FILE); by default PREFIX.manifest when it"
         " exists. ZERVGEN -verify with the run's options must find every file exactly as the"
         " run wrote it before the new tables take the old ones' place."),
        ("-R", "REPORT", "report", None,
         "the run's report (zervgen -r); by default PREFIX.rpt when it exists and there is no"
         " manifest. Its Cmd: line gives the run's options for the proof; when zervgen cannot"
         " take them back (a file name with a blank, an edited line), the load stops: give the"
         " manifest. The loaded row counts must be the run's. Files with neither are proven as"
         " the run they show (its rows the large relations' line counts)."),
        ("-z", "ZERVGEN", "verifier", None,
         "the zervgen that describes the run and proves the files (by default the zervgen"
         " beside this program, else on the PATH)."),
        ("-c", None, "check_cols", False,
         "also check every numeric and date column of the new tables against the run:"
         " minimum, maximum and number of distinct values (adds about a third to the load's"
         " time at -n 100000, more for larger runs: the distinct counts sort every column)."),
        ("-s", "SQLFILE", "sqlfile", os.path.join(sql_dir, db.sqlfile),
         f"the CREATE TABLE script (by default {db.sqlfile} of this package; keys in lines of"
         " their own, ALTER TABLE ... ADD PRIMARY KEY or CREATE UNIQUE INDEX, which run after"
         " the data is in)."),
        ("-j", "N", "jobs", "1",
         "load every relation as N parts: from the part files PREFIX.hun.1 .. PREFIX.hun.N"
         " (zervgen -parts N -part K), or with -g from N pipes of ZERVGEN -<rel> -parts N"
         f" -part K -f -. {db.jobs_text}"),
    ]
    for flag, metavar, dest, text in db.extra_options:
        rows.append((flag, metavar, dest, None, text))
    return rows


def backend_parser(db, prog, sql_dir):
    """The argparse parser of backend db's options; its help is the
    loader's --help."""
    rows = option_rows(db, sql_dir)
    extra = [f"[{flag} {metavar}]..." for flag, metavar, _, _ in db.extra_options]
    targets = [t for t, _ in db.target_args]
    usage = (usage_line(prog, ["[-d DELIM]", "[-j N]", "[-c]", "[-M MANIFEST | -R REPORT]",
                               "[-s SQLFILE]", "[-z ZERVGEN]"] + extra + targets + ["PREFIX"])
             + "\n       " + usage_line(prog, ["[-d DELIM]", "[-j N]", "[-c]", "[-s SQLFILE]"]
                                       + extra + ["-g ZERVGEN"] + targets
                                       + ["[ZERVGEN-OPTIONS...]"]))
    parser = cli.ArgumentParser(
        prog=prog, usage=usage,
        description=db.usage_intro.replace("PROG", prog), epilog=wrap(EXIT_TEXT),
        add_help=False, allow_abbrev=False, formatter_class=HelpFormatter)
    operands = parser.add_argument_group("operands")
    for name, text in db.target_args:
        operands.add_argument(name, nargs="?", help=text)
    operands.add_argument("PREFIX", nargs="?", help=(
        "the run's files as zervgen -f PREFIX names them (PREFIX.hun, PREFIX.ten, ...); a"
        " folder stands for FOLDER/zerv. Every relation's file must exist. \"--\" before the"
        " operands lets a name start with '-'."))
    options = parser.add_argument_group("options")
    for flag, metavar, dest, default, text in rows:
        if metavar is None:
            options.add_argument(flag, dest=dest, action="store_true", help=text)
        elif dest in {d for _, _, d, _ in db.extra_options}:
            options.add_argument(flag, metavar=metavar, dest=dest, action="append", default=[],
                                 help=text)
        else:
            options.add_argument(flag, metavar=metavar, dest=dest, default=default, help=text)
    options.add_argument("-h", "--help", action="help", help="show this help and exit")
    return parser, {flag[1]: metavar is not None for flag, metavar, *_ in rows}


def split_options(argv, takes_value):
    """(the option words, the operands, whether -g ended them) of argv,
    read as getopts reads it: clustered letters are taken apart, a value
    joined to its letter ("-o--socket=PATH"), so that argparse reads a
    value that starts with '-' as the value; the options end at the first
    operand, at "--" and after -g's value. Letters argparse does not know
    are passed on for it to name."""
    words, i = [], 0
    while i < len(argv):
        a = argv[i]
        if a == "--":
            return words, argv[i + 1:], False
        if a.startswith("--"):
            words.append(a)
            i += 1
            continue
        if not a.startswith("-") or a == "-":
            break
        j = 1
        while j < len(a):
            c = a[j]
            if not takes_value.get(c):
                words.append("-" + c)
                j += 1
                continue
            if j + 1 < len(a):
                value = a[j + 1:]
            elif i + 1 < len(argv):
                i += 1
                value = argv[i]
            else:
                words.append("-" + c)  # argparse: expected one argument
                break
            words += [f"-{c}{value}"] if value else ["-" + c, value]
            if c == "g":
                return words, argv[i + 1:], True
            break
        i += 1
    return words, argv[i:], False


def misplaced(operands, takes_value):
    """The first word after the first operand that is one of the options,
    or None."""
    for word in operands[1:]:
        if word in ("-h", "--help", "--") or (len(word) > 1 and word[0] == "-"
                                        and word[1] in takes_value):
            return word
    return None


# The formats the loader reads: delimiters that no generated field holds
# and that every database's load statement takes as they are, and fixed
# format. zervgen writes others ("'", ';', ...), which the loader refuses.
FORMATS = (",", "|", "tab", "fixed")


def parse(db, prog, argv, sql_dir):
    """The Options of argv for backend db; a usage error ends the loader
    with its one line and status 2, --help with the help and status 0."""
    parser, takes_value = backend_parser(db, prog, sql_dir)
    words, operands, generated = split_options(argv, takes_value)
    opts = parser.parse_args(words, namespace=Options())
    opts.zervgen = opts.zervgen if generated else None
    # Only delimiters that no generated field contains: numbers hold '-'
    # and '.', dates '/', the fixed texts '+' and blanks, the random texts
    # letters, digits, ':', '.' and blanks.
    opts.delim_given = opts.delim_word is not None
    opts.fixed_ok = db.fixed_ok
    d = opts.delim_word = opts.delim_word if opts.delim_given else ","
    if d in (",", "|"):
        opts.delim = d.encode()
    elif d in ("tab", "\t"):
        opts.delim, opts.delim_word = b"\t", "tab"
    elif d == "fixed":
        if not db.fixed_ok:
            parser.error("fixed-format rows cannot be loaded into this database:"
                         " use -d ',', '|' or 'tab'")
        opts.delim, opts.fixed = b"\t", True
    else:
        parser.error(f"unsupported delimiter '{d}': use ',', '|', 'tab' or 'fixed'")
    if not re.fullmatch(r"[1-9][0-9]?", opts.jobs):
        parser.error("-j takes a number of parts from 1 to 99")
    opts.jobs = int(opts.jobs)
    if opts.zervgen and opts.report:
        parser.error("-R: with -g there is no run's report to read: each zervgen describes its rows")
    if opts.zervgen and opts.manifest:
        parser.error("-M: with -g there is no run's manifest to read: each zervgen describes its rows")
    if opts.report and opts.manifest:
        parser.error("-M and -R: give one record of the run (the manifest proves the files)")
    take_operands(parser, db, opts, operands, takes_value)
    return opts


def take_operands(parser, db, opts, operands, takes_value):
    """The targets and PREFIX (or with -g the targets and zervgen's
    options) into opts."""
    names = [t for t, _ in db.target_args]
    n = len(names)
    want = n if opts.zervgen else n + 1
    if len(operands) < want or (len(operands) > want and not opts.zervgen):
        word = misplaced(operands, takes_value)
        if word is not None:
            parser.error(f"options go before the operands: {word}")
        if len(operands) < want:
            missing = (names + ([] if opts.zervgen else ["PREFIX"]))[len(operands):]
            parser.error(f"the following arguments are required: {', '.join(missing)}")
        parser.error(f"unrecognized arguments: {' '.join(operands[want:])}")
    opts.targets = operands[:n]
    if opts.zervgen:
        opts.gen_args = operands[n:]
    else:
        # zervgen would read a name that starts with '-' as an option.
        opts.prefix = ("./" if operands[n].startswith("-") else "") + operands[n]
        if os.path.isdir(opts.prefix):
            opts.prefix = opts.prefix.rstrip("/") + "/zerv"


def check_files(opts):
    """The files the options name can be read: else a usage error."""
    if not os.access(opts.sqlfile, os.R_OK) or os.path.isdir(opts.sqlfile):
        raise cli.UsageError(f"cannot read the table script '{opts.sqlfile}' (use -s)")
    for flag, path, what in (("-R", opts.report, "report"), ("-M", opts.manifest, "manifest")):
        if path and os.path.isdir(path):
            raise cli.UsageError(f"-{flag[1]}: the {what} '{path}' is a folder, not a file")
        if path and not os.access(path, os.R_OK):
            raise cli.UsageError(f"{flag}: cannot read the {what} '{path}'")


def read_sqlfile(opts):
    """The table script's text, read once (a pipe or FIFO too, as
    interface.read_record reads it: a FIFO nothing writes to is not
    waited for beyond a few seconds); one that cannot be read is a usage
    error."""
    try:
        return interface.read_record(opts.sqlfile, "the table script").decode("utf-8")
    except interface.ZervgenError as e:
        raise cli.UsageError(f"{e} (use -s)") from None
    except UnicodeDecodeError:
        raise cli.UsageError(f"the table script {opts.sqlfile} is not UTF-8 text (use -s)") from None


def find_zervgen(opts, beside):
    """The zervgen the loader asks, into opts.zexe: the -g one, the -z one,
    else the one beside the loader (or built in its checkout) or on the
    PATH; none is a usage error."""
    if opts.zervgen:
        opts.zexe = cli.find_zervgen(opts.zervgen, "-g", beside)
        return
    try:
        opts.zexe = cli.find_zervgen(opts.verifier, "-z", beside)
    except cli.UsageError:
        if opts.verifier:
            raise
        raise cli.UsageError("no zervgen beside the loader or on the PATH, which tells what the"
                             " run's files hold: name one with -z ZERVGEN") from None


def top_parser(base):
    """The parser of `zervgen-load DATABASE ...` without a database."""
    parser = cli.ArgumentParser(
        prog=base, usage=f"{base} DATABASE [OPTIONS] ...",
        description=wrap("Loads a zervgen run into a database: replaces its tables, one per"
                         " relation as zervgen -describe names them, with the run's rows"
                         " (files, or rows piped from zervgen), or leaves them as they were."),
        epilog=wrap(f"{base} DATABASE --help gives the options of one database. Called as"
                    f" zervgen-load-DATABASE (load-DATABASE.sh in a checkout) it is {base}"
                    " DATABASE.") + "\n\n" + wrap(EXIT_TEXT), add_help=False,
        allow_abbrev=False, formatter_class=HelpFormatter)
    parser.add_argument("database", metavar="DATABASE", choices=BACKENDS, help=(
        "postgresql (through psql), sqlite (a database file, through Python's sqlite3)"
        " or mariadb (through the mariadb client)"))
    parser.add_argument("-h", "--help", action="help", help="show this help and exit")
    parser._positionals.title = "operands"
    parser._optionals.title = "options"
    return parser


def database(argv):
    """(the backend's name, the program's name for messages, its arguments)
    from argv: the old names choose the database themselves."""
    base = os.path.basename(argv[0])
    args = argv[1:]
    m = re.fullmatch(r"(?:zervgen-)?load-(\w+?)(?:\.sh)?", base)
    if m and m.group(1) in BACKENDS:
        return m.group(1), base, args
    if args and args[0] in BACKENDS:
        return args[0], f"{base} {args[0]}", args[1:]
    parser = top_parser(base)
    parser.parse_args(args[:1])  # the help, or a usage error: either ends the loader
    parser.error("the following arguments are required: DATABASE")
