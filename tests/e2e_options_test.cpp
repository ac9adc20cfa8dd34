// End-to-end runs of the command line: every rejection with its exact message
// and status (and nothing left behind), the help text, the settings an
// accepted command line gives as seen in the files and in the report header,
// and the report's failure paths.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <regex>
#include <string>
#include <vector>

#include "e2e_util.h"
#include "help_text.h"
#include "options_catalog.h"
#include "relations.h"

namespace zervgen_test {
namespace {

const std::string kHelp =
    "\n" + kSynopsis + "\n" +
    "where   -hu   Generate just the hundred table.\n"
    "        -te   Generate just the ten percent table.\n"
    "        -ti   Generate just the tiny table.\n"
    "        -un   Generate just the uniques table.\n"
    "        -up   Generate just the updates table.\n"
    "        -f    Specifies the full path to the file that will contain the\n"
    "              generated table if one of -hu, -te, -ti, -un, or -up is\n"
    "              specified.  In this case, it may be, \"-\", in which case\n"
    "              the table is written to standard output.  If all the tables\n"
    "              are to be generated, the file name specifies the prefix name\n"
    "              for each table, which will be suffixed with \".hun\", \".ten\",\n"
    "              \".tny\", \".uni\", and \".upd\").  The default prefix name\n"
    "              is \"zerv\".\n"
    "        -n    Specifies the number of rows to generate.  Must be between\n"
    "              100 and 100000000, and defaults to 100000, the size of the\n"
    "              40 megabyte database.\n"
    "        -4    Generate the 4 megabyte database.\n"
    "        -40   Generate the 40 megabyte database.\n"
    "        -400  Generate the 400 megabyte database.\n"
    "        -s    Specify the Scale Factor of the tables.\n"
    "        -fc   Specifies the number of characters in the fill column.\n"
    "              The default is 0 -- no fill column.\n"
    "        -r    Specifies the optional report is to be generated.  If the\n"
    "              report file name is not specified, it defaults to \"zerv.rpt\".\n"
    "        -ff   Specifies that the columns are to be in fixed format.  The\n"
    "              default is <delimChar> separated, variable format.\n"
    "        -dc   Sets the field delimiter to delimChar.  The default is ','.\n"
    "              To specify a tab as the delimiter character, use the word \"tab\".\n"
    "        -t    Specifies the directory where temporary files are to be\n"
    "              created.  The default is the current directory.\n"
    "        -help Prints this help text and exits.\n"
    "\n"
    "NOTE:   -hu, -te, -ti, -un, and -up are mutually exclusive.\n"
    "        -n, -4, -40, -400, -s are mutually exclusive.\n"
    "        -ff and -dc are mutually exclusive.\n"
    "\n"
    "More options:\n"
    "        -parts N    Splits each generated table into N part files, 1 to\n"
    "                    1000.  Part K is the table's file name with \".K\"\n"
    "                    appended (zerv.hun.1 ... zerv.hun.N) and holds rows\n"
    "                    (K-1)*n/N to K*n/N-1 (rounded down) of the n rows, so\n"
    "                    the parts in order make up the whole table.\n"
    "        -part K     Writes only part K of the N parts.  With one of -hu,\n"
    "                    -te, -ti, -un, -up and -f -, it goes to standard output.\n"
    "        -threads N  Uses N threads, 1 to 1024.  The default is every core\n"
    "                    the program may run on.  The output is the same for any N.\n"
    "        -parquet    Writes each table as a Parquet file with typed columns\n"
    "                    (zerv.hun.parquet ...; parts zerv.hun.K.parquet) instead\n"
    "                    of text.  Not with -ff or -dc.\n"
    "        -codec C    Compresses the Parquet pages with C: snappy (the\n"
    "                    default), zstd or none.  Needs -parquet.\n" +
    CodecsHelp() +
    "        -rowgroup R Puts R rows in each Parquet row group, 1000 to\n"
    "                    16777216 (default 1048576).  Needs -parquet.\n"
    "        -verify     Writes nothing: reads the files that the same command\n"
    "                    without -verify writes (with -f -, standard input) and\n"
    "                    compares them byte for byte with what it would write.\n"
    "                    Prints a line per file, \"NAME: OK (R rows)\" or\n"
    "                    \"NAME: FAILED: ...\" with the first difference, and\n"
    "                    exits with 0 when all are OK, 1 otherwise.  -r is\n"
    "                    ignored; no temporary files are made.\n"
    "        -json       With -verify: prints one JSON object per file instead\n"
    "                    of its line (for tools; see docs/interface.md).\n"
    "        -describe   Writes nothing: checks the command line as a run of it\n"
    "                    would and prints what the run is (its options, its\n"
    "                    relations and columns, the files it writes) as one\n"
    "                    JSON document.\n"
    "        -manifest F After a complete run, writes a JSON record of it to the\n"
    "                    new file F: the -describe document and every file\n"
    "                    written with its size.  Not with -verify.\n"
    "        --help      Prints this help text and exits.\n"
    "        --version   Prints the program name and version and exits.\n" +
    DelimiterHelp() + CompressHelp() + kParquetEngineHelp + kObjectStorageHelp;

// A relative path of exactly 513 characters: five folders of 100 characters
// (created in `dir`) and the 8-character `leaf`, which is not created.
std::string LongPath(const ScratchDir& dir, const std::string& leaf) {
  std::string path;
  for (char c : {'p', 'q', 'r', 's', 't'}) {
    path += std::string(100, c) + "/";
    ::mkdir(dir.File(path).c_str(), 0755);
  }
  return path + leaf;
}

// ---------------------------------------------------------------------------
// Rejected command lines: every case of the catalog is parsed in-process by
// the unit tests; here every seventh also runs the binary, for the banner,
// the status and the folder left empty.

TEST(CommandLine, RejectionsWriteOneMessageAndCreateNothing) {
  for (std::size_t i = 0; i < std::size(kRejectCases); i += 7) {
    const RejectCase& c = kRejectCases[i];
    SCOPED_TRACE(Joined(c.args));
    ScratchDir dir;
    RunResult r = RunZervgen(dir.path(), c.args);
    EXPECT_EQ(r.status, kStatusError);
    EXPECT_EQ(r.err.rfind("zervgen - ", 0), 0u) << "banner missing: " << r.err;
    EXPECT_EQ(AfterBanner(r.err), c.err);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(dir.List().empty()) << dir.List().front();
  }
}

// The banner is one line; a rejection's message starts on the next one.
TEST(CommandLine, BannerIsTheFirstLineEvenForAnInvalidCommandLine) {
  ScratchDir dir;
  RunResult r = RunZervgen(dir.path(), {"-h"});
  EXPECT_EQ(r.status, kStatusError);
  std::size_t nl = r.err.find('\n');
  ASSERT_NE(nl, std::string::npos);
  std::string banner = r.err.substr(0, nl);
  EXPECT_EQ(banner.rfind("zervgen - ", 0), 0u) << banner;
  EXPECT_GT(banner.size(), std::string("zervgen - ").size());
  EXPECT_EQ(r.err.substr(nl + 1), Unknown("-h"));
}

// ---------------------------------------------------------------------------
// Help, and accepted values shown by asking for help after them.

TEST(CommandLine, HelpPrintsSynopsisAndHelpTextAndExitsZero) {
  ScratchDir names;  // holds the folders of the 513-character names
  const std::vector<std::vector<std::string>> cases = {
      {"-help"},
      {"-he"},
      {"-hex"},
      {"?"},
      {"?x"},
      {"-help", "-x"},
      {"-hu", "-n", "500", "-help"},
      // Bounds that are accepted: parsing goes on to the help request.
      {"-n", "100", "-help"},
      {"-n", "100000000", "-help"},
      {"-s", "1", "-help"},
      {"-s", "10000", "-help"},
      {"-fc", "0", "-help"},
      {"-fc", "100", "-help"},
      {"-ti", "-f", k513, "-help"},
      {"-r", k513, "-help"},
      {"-t", k513, "-help"},
      {"--help"},
      {"-hu", "--help", "-x"},
      {"-parts", "1000", "-part", "1000", "-threads", "1024", "-help"},
  };
  for (const std::vector<std::string>& args : cases) {
    SCOPED_TRACE(Joined(args));
    ScratchDir dir;
    RunResult r = RunZervgen(dir.path(), args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(AfterBanner(r.err), kHelp);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(dir.List().empty());
  }
}

TEST(CommandLine, VersionPrintsNameAndVersionAndExitsZero) {
  std::string textCodecs = std::string(kHaveZstd ? "zstd" : "") +
                           (kHaveZstd && kHaveGzip ? " " : "") + (kHaveGzip ? "gzip" : "");
  if (textCodecs.empty()) textCodecs = "none";
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--version"}, {"-hu", "-n", "500", "--version", "-x"}}) {
    SCOPED_TRACE(Joined(args));
    ScratchDir dir;
    RunResult r = RunZervgen(dir.path(), args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string("zervgen 1.0\nParquet codecs: ") + (kHaveSnappy ? "snappy " : "") +
                         (kHaveZstd ? "zstd " : "") + "none\nText codecs: " + textCodecs + "\n");
    EXPECT_EQ(AfterBanner(r.err), "");
    EXPECT_TRUE(dir.List().empty());
  }
}

// A codec the build lacks is refused before anything is created, with the
// library to build with; one it has writes the file. Both branches hold the
// same command lines, so a build with and a build without the libraries each
// check their own.
TEST(CommandLine, ParquetCodecsTheBuildLacksAreRefusedUpFront) {
  const struct {
    std::vector<std::string> args;
    bool built;
    std::string refusal;
  } cases[] = {
      {{"-parquet"},
       kHaveSnappy,
       "Option, \"-parquet\", compresses with snappy unless \"-codec\" says otherwise, and this "
       "zervgen was built without snappy (libsnappy-dev); build it with libsnappy-dev installed, "
       "or add \"-codec none\"."},
      {{"-parquet", "-codec", "snappy"},
       kHaveSnappy,
       "Option, \"-codec\", cannot be 'snappy': this zervgen was built without it "
       "(libsnappy-dev); build it with libsnappy-dev installed, or use \"-codec none\"."},
      {{"-parquet", "-codec", "zstd"},
       kHaveZstd,
       "Option, \"-codec\", cannot be 'zstd': this zervgen was built without it (libzstd-dev); "
       "build it with libzstd-dev installed, or use \"-codec none\"."},
      {{"-parquet", "-codec", "none"}, true, ""},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"-hu", "-n", "1000", "-r", "run.rpt"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(Joined(args));
    ScratchDir dir;
    RunResult r = RunZervgen(dir.path(), args);
    if (c.built) {
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(dir.List(), (std::vector<std::string>{"run.rpt", "zerv.hun.parquet"}));
      EXPECT_EQ(ReadFile(dir.File("zerv.hun.parquet")).substr(0, 4), "PAR1");
    } else {
      EXPECT_EQ(r.status, kStatusError);
      EXPECT_EQ(AfterBanner(r.err), "zervgen: " + c.refusal + "\n");
      EXPECT_TRUE(dir.List().empty()) << dir.List().front();
    }
  }
}

// ---------------------------------------------------------------------------
// Accepted command lines: which files are written.

struct FilesCase {
  std::vector<std::string> args;
  std::vector<std::string> files;  // the folder's entries afterwards
  int rows;                        // lines of each relation file; -1: by relation
};

const FilesCase kFilesCases[] = {
    {{"-hu", "-n", "100"}, {"zerv.hun"}, 100},
    {{"-te", "-n", "100"}, {"zerv.ten"}, 100},
    {{"-ti", "-n", "100"}, {"zerv.tny"}, 1},
    {{"-un", "-n", "100"}, {"zerv.uni"}, 100},
    {{"-up", "-n", "100"}, {"zerv.upd"}, 100},
    {{"-n", "100"}, AllFiles(), -1},
    {{"-n", "100", "-f", "data"}, AllFiles("data"), -1},
    {{"-ti", "-n", "100", "-f", "data"}, {"data"}, 1},
    {{"-hu", "-n", "100", "-f", "data"}, {"data"}, 100},
    {{"-ti", "-n", "100", "-r"}, {"zerv.rpt", "zerv.tny"}, 1},
    {{"-ti", "-r", "-n", "100"}, {"zerv.rpt", "zerv.tny"}, 1},
    {{"-ti", "-n", "100", "-r", "x.rpt"}, {"x.rpt", "zerv.tny"}, 1},
    {{"-ti", "-n", "100", "-r", "-"}, {"-", "zerv.tny"}, 1},
};

int CountLines(const std::string& text) {
  int n = 0;
  for (char c : text) n += c == '\n';
  return n;
}

TEST(CommandLine, RelationAndNameOptionsChooseTheFiles) {
  for (const FilesCase& c : kFilesCases) {
    SCOPED_TRACE(Joined(c.args));
    ScratchDir dir;
    RunResult r = RunZervgen(dir.path(), c.args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(AfterBanner(r.err), "");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(dir.List(), c.files);
    for (const std::string& name : c.files) {
      if (name.find("rpt") != std::string::npos || name == "-") continue;
      const bool tiny = name.find(".tny") != std::string::npos;
      const int rows = c.rows >= 0 ? c.rows : tiny ? 1 : 100;
      EXPECT_EQ(CountLines(ReadFile(dir.File(name))), rows) << name;
    }
  }
}

TEST(CommandLine, TinyRelationTextByFormatAndDestination) {
  struct Case {
    std::vector<std::string> args;
    std::string file;  // "" for standard output
    std::string text;
  };
  const Case cases[] = {
      {{"-ti", "-n", "100"}, "zerv.tny", "0\n"},
      {{"-ti", "-n", "100", "-ff"}, "zerv.tny", "         0\n"},
      {{"-ti", "-n", "100", "-f", "-"}, "", "0\n"},
      {{"-ti", "-n", "100", "-f", "-", "-ff"}, "", "         0\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Joined(c.args));
    ScratchDir dir;
    RunResult r = RunZervgen(dir.path(), c.args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(AfterBanner(r.err), "");
    if (c.file.empty()) {
      EXPECT_EQ(r.out, c.text);
      EXPECT_TRUE(dir.List().empty());
    } else {
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(ReadFile(dir.File(c.file)), c.text);
    }
  }
}

// Names of 513 characters are used as given: the relation file, the report
// and the temporary directory.
TEST(CommandLine, LongestNamesAreAccepted) {
  ScratchDir dir;
  const std::string file = LongPath(dir, "tiny.out");
  const std::string report = LongPath(dir, "zerv.rep");
  const std::string tmp = LongPath(dir, "tmpdir01");
  ASSERT_EQ(file.size(), 513u);
  ASSERT_EQ(::mkdir(dir.File(tmp).c_str(), 0755), 0);
  RunResult r = RunZervgen(dir.path(), {"-ti", "-n", "100", "-f", file, "-r", report, "-t", tmp});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(AfterBanner(r.err), "");
  EXPECT_EQ(ReadFile(dir.File(file)), "0\n");
  EXPECT_NE(ReadFile(dir.File(report)).find("\nTemp: " + tmp + "\n"), std::string::npos);
}

// The delimiter replaces every comma between fields, and a character of the
// text columns equal to it becomes a comma: the rows of a default run with
// the comma and the delimiter swapped. "-f -" writes the same rows to
// standard output.
TEST(CommandLine, HundredRowsByDelimiterAndDestination) {
  ScratchDir base;
  ASSERT_EQ(RunZervgen(base.path(), {"-hu", "-n", "100"}).status, 0);
  const std::string reference = ReadFile(base.File("zerv.hun"));
  ASSERT_EQ(CountLines(reference), 100);
  ASSERT_EQ(reference.find_first_of("\t;"), std::string::npos) << "rows hold a delimiter";
  struct Case {
    std::vector<std::string> args;
    char delim;
    bool toStdout;
  };
  const Case cases[] = {
      {{"-dc", "tab"}, '\t', false},            // the word gives a tab
      {{"-dc", ";x"}, ';', false},              // the first character
      {{"-dc", ";"}, ';', false},               // a single character
      {{"-dc", ","}, ',', false},               // the default, given
      {{"-dc", ""}, ',', false},                // empty: the default
      {{"-dc", "|"}, '|', false},               // punctuation
      {{"-dc", "x"}, 'x', false},               // a letter of the text columns
      {{"-dc", "\\t"}, '\\', false},            // no escapes: the first character
      {{"-f", "-"}, ',', true},                 // standard output
      {{"-f", "-", "-dc", "tab"}, '\t', true},  // both
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Joined(c.args));
    std::vector<std::string> args = {"-hu", "-n", "100"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ScratchDir dir;
    RunResult r = RunZervgen(dir.path(), args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(AfterBanner(r.err), "");
    std::string expected = reference;
    for (char& ch : expected) {
      if (ch == ',') {
        ch = c.delim;
      } else if (ch == c.delim) {
        ch = ',';
      }
    }
    if (c.toStdout) {
      EXPECT_EQ(r.out, expected);
      EXPECT_TRUE(dir.List().empty());
    } else {
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(ReadFile(dir.File("zerv.hun")), expected);
    }
  }
}

// ---------------------------------------------------------------------------
// Settings shown in the report header.

struct HeaderLineCase {
  std::vector<std::string> args;  // run with -ti -r
  std::string line;               // a whole line of the report
};

TEST(ReportHeader, RowCountFillAndTempFromTheOptions) {
  const std::vector<HeaderLineCase> cases = {
      {{}, "Rows: 100000."},
      {{"-n", "500"}, "Rows: 500."},
      {{"-n", " 500"}, "Rows: 500."},
      {{"-n", "+500"}, "Rows: 500."},
      {{"-n", "500", "-s", "2"}, "Rows: 20000."},
      {{"-s", "1"}, "Rows: 10000."},
      {{"-s", "1", "-s", "3"}, "Rows: 30000."},
      {{"-4"}, "Rows: 10000."},
      {{"-40"}, "Rows: 100000."},
      {{"-400"}, "Rows: 1000000."},
      {{"-4", "-s", "2"}, "Rows: 20000."},
      {{}, "Fill: none specified."},
      {{"-fc", "0"}, "Fill: none specified."},
      {{"-fc", "abc"}, "Fill: none specified."},
      {{"-fc", "1"}, "Fill: 1 character."},
      {{"-fc", "2"}, "Fill: 2 characters."},
      {{"-fc", "0", "-fc", "7"}, "Fill: 7 characters."},
      {{"-fc", "100"}, "Fill: 100 characters."},
      {{}, "Temp: ."},
      {{"-t", "sub"}, "Temp: sub"},
      {{"-parts", "8"}, "Parts: all 8."},
      {{"-parts", "8", "-part", "3"}, "Parts: 3 of 8."},
  };
  for (const HeaderLineCase& c : cases) {
    std::vector<std::string> args = {"-ti", "-r"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(Joined(args));
    ScratchDir dir;
    ::mkdir(dir.File("sub").c_str(), 0755);
    RunResult r = RunZervgen(dir.path(), args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(AfterBanner(r.err), "");
    EXPECT_NE(ReadFile(dir.File("zerv.rpt")).find("\n" + c.line + "\n"), std::string::npos);
  }
}

const char* const kMonths[] = {"January",   "Februrary", "March",    "April",
                               "May",       "June",      "July",     "August",
                               "September", "October",   "November", "December"};

std::string DateLine(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  return "Date: " + std::string(kMonths[local.tm_mon]) + " " + std::to_string(local.tm_mday) +
         ", " + std::to_string(local.tm_year + 1900) + ".\n";
}

struct HeaderCase {
  std::vector<std::string> args;
  std::string fill;    // the Fill line
  std::string format;  // from the Fmt line to the end of the header
};

const HeaderCase kHeaderCases[] = {
    {{"-n", "500", "-fc", "1", "-r", "x.rpt", "-ff", "-ti"},
     "Fill: 1 character.\n",
     std::string("Fmt:  fixed.\n") + kColumnMap + "    fill:    column  186\n\n"},
    {{"-n", "500", "-fc", "2", "-r", "x.rpt", "-ff", "-ti"},
     "Fill: 2 characters.\n",
     std::string("Fmt:  fixed.\n") + kColumnMap + "    fill:    columns 186 - 187\n\n"},
    {{"-n", "500", "-fc", "100", "-r", "x.rpt", "-ff", "-ti"},
     "Fill: 100 characters.\n",
     std::string("Fmt:  fixed.\n") + kColumnMap + "    fill:    columns 186 - 285\n\n"},
    {{"-n", "500", "-r", "x.rpt", "-ff", "-ti"},
     "Fill: none specified.\n",
     std::string("Fmt:  fixed.\n") + kColumnMap + "\n"},
    {{"-n", "500", "-fc", "1", "-r", "x.rpt", "-ti"},
     "Fill: 1 character.\n",
     "Fmt:  variable.\n\n"},
    {{"-ti", "-n", "500", "-dc", "tab", "-r", "x.rpt"},
     "Fill: none specified.\n",
     "Fmt:  variable.\n\n"},
};

// The header is exact; the report of a complete run ends with the total time.
TEST(ReportHeader, ExactHeaderAndTotalTime) {
  const std::regex totalTime(R"(\nTotal Time: \d{2,} \d{2}:\d{2}:\d{2}\.\d{2}\n$)");
  for (const HeaderCase& c : kHeaderCases) {
    SCOPED_TRACE(Joined(c.args));
    ScratchDir dir;
    std::time_t before = std::time(nullptr);
    RunResult r = RunZervgen(dir.path(), c.args);
    std::time_t after = std::time(nullptr);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(AfterBanner(r.err), "");
    std::string cmd = "Cmd:  zervgen";
    for (const std::string& a : c.args) cmd += " " + a;
    auto header = [&](std::time_t when) {
      return "\t\t\tZ E R V G E N   R E P O R T\n\t\t\t=============   ===========\n\n" +
             DateLine(when) + "Rows: 500.\n" + c.fill + "Temp: .\n" + cmd + "\nVer:  1.0.\n" +
             c.format;
    };
    const std::string report = ReadFile(dir.File("x.rpt"));
    const std::string first = header(before);
    const std::string second = header(after);
    const std::string got = report.substr(0, first.size());
    const bool same = got == first || report.substr(0, second.size()) == second;
    EXPECT_TRUE(same) << "report begins:\n" + got + "\nexpected:\n" + first;
    EXPECT_TRUE(std::regex_search(report, totalTime)) << report;
  }
}

// An existing report file is kept as it is; the run goes on without a report.
TEST(ReportHeader, ExistingReportFileIsLeftAlone) {
  ScratchDir dir;
  WriteFile(dir.File("x.rpt"), "keep me\n");
  RunResult r = RunZervgen(dir.path(), {"-ti", "-n", "100", "-r", "x.rpt"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(AfterBanner(r.err),
            "zervgen: File already exists.\nReport file, 'x.rpt', not generated.\n");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(ReadFile(dir.File("x.rpt")), "keep me\n");
  EXPECT_EQ(ReadFile(dir.File("zerv.tny")), "0\n");
}

// A report that can no longer be written ends the run once, through the
// run's handler: the report is closed at its first failed line, so the
// run's last lines do not raise again. The header is made longer than the
// 1 KiB file-size limit, so its first lines fill the file; the failure is
// told as a full disk, not as an internal error.
TEST(ReportHeader, WriteFailureEndsTheRunWithMinusOne) {
  ScratchDir dir;
  RunOptions limited;
  limited.shellPrefix = "ulimit -f 1;";
  RunResult r = RunZervgen(
      dir.path(), {"-ti", "-n", "100", "-ff", "-r", "x.rpt", "-t", k513, "-f", k513}, limited);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(AfterBanner(r.err), "zervgen: Report file error.\nzervgen: File system full.\n");
  const std::regex lines(
      R"(^File [^\n]*, Function Report, line \d+\nRaised exception of class '6'\n$)");
  EXPECT_TRUE(std::regex_search(r.out, lines)) << r.out;
  EXPECT_EQ(dir.List(), std::vector<std::string>{"x.rpt"});
  EXPECT_EQ(ReadFile(dir.File("x.rpt")).rfind("\t\t\tZ E R V G E N   R E P O R T\n", 0), 0u);
}

}  // namespace
}  // namespace zervgen_test
