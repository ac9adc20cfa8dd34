// End-to-end runs of whole generations: golden files, determinism, reuse of
// columns between relations, temporary-file storage, and failure paths.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_util.h"
#include "relations.h"

namespace zervgen_test {
namespace {

const std::vector<std::string> kFiles = AllFiles();

void ExpectGolden(const ScratchDir& dir, const std::string& goldenName) {
  for (const std::string& name : kFiles) {
    std::string got = ReadFile(dir.File(name));
    std::string want = ReadFile(GoldenDir() + "/" + goldenName + "/" + name);
    ASSERT_FALSE(want.empty()) << "missing golden " << goldenName << "/" << name;
    EXPECT_TRUE(got == want) << name << ": " << FirstDifference(got, want);
  }
}

// ZERVGEN_UPDATE_GOLDEN=1 rewrites every golden file (the whole files and
// the digests) from this build; the golden tests are then skipped, never
// passed, since they compared nothing.
bool UpdatingGolden() {
  const char* update = std::getenv("ZERVGEN_UPDATE_GOLDEN");
  return update != nullptr && std::string(update) == "1";
}

struct GoldenCase {
  const char* golden;
  std::vector<std::string> args;
};

const GoldenCase kGoldenCases[] = {
    {"n100-default", {"-n", "100"}},
    {"n1005-ff-fc7", {"-n", "1005", "-ff", "-fc", "7"}},
};

TEST(EndToEnd, GoldenRunsMatchByteForByte) {
  for (const GoldenCase& c : kGoldenCases) {
    SCOPED_TRACE(c.golden);
    ScratchDir dir;
    RunResult r = RunZervgen(dir.path(), c.args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(AfterBanner(r.err), "");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(dir.List(), kFiles);
    if (UpdatingGolden()) {
      for (const std::string& name : kFiles) {
        std::ofstream(GoldenDir() + "/" + c.golden + "/" + name, std::ios::binary)
            << ReadFile(dir.File(name));
      }
      continue;
    }
    ExpectGolden(dir, c.golden);
  }
  if (UpdatingGolden()) GTEST_SKIP() << "golden files rewritten (ZERVGEN_UPDATE_GOLDEN=1)";
}

// SHA-256 of a file, as sha256sum prints it.
std::string Sha256(const std::string& path) {
  std::string digest;
  if (FILE* p = ::popen(("sha256sum '" + path + "'").c_str(), "r")) {
    char text[65] = {};
    if (std::fscanf(p, "%64s", text) == 1) digest = text;
    ::pclose(p);
  }
  return digest;
}

// Larger runs are checked by the SHA-256 digests of their relations, kept
// in tests/golden/digests.sha256 ("DIGEST  RUN/FILE"). Setting
// ZERVGEN_UPDATE_GOLDEN=1 writes the digests of this build instead.
const GoldenCase kDigestCases[] = {
    {"n70001-fc5", {"-n", "70001", "-fc", "5"}},
    {"n131072-tab-fc40", {"-n", "131072", "-dc", "tab", "-fc", "40"}},
};

TEST(EndToEnd, LargerRunsMatchTheirDigests) {
  const std::string digestsPath = GoldenDir() + "/digests.sha256";
  std::map<std::string, std::string> want;  // "RUN/FILE" -> digest
  std::istringstream lines(ReadFile(digestsPath));
  for (std::string digest, name; lines >> digest >> name;) want[name] = digest;
  const bool updating = UpdatingGolden();
  std::string updated;
  for (const GoldenCase& c : kDigestCases) {
    ScratchDir dir;
    RunResult r = RunZervgen(dir.path(), c.args);
    ASSERT_EQ(r.status, 0) << c.golden << ": " << r.err;
    for (const std::string& file : kFiles) {
      const std::string name = std::string(c.golden) + "/" + file;
      const std::string got = Sha256(dir.File(file));
      ASSERT_EQ(got.size(), 64u) << name;
      updated += got + "  " + name + "\n";
      if (!updating) {
        EXPECT_EQ(got, want[name]) << name;
      }
    }
  }
  if (!updating) return;
  std::ofstream(digestsPath, std::ios::binary) << updated;
  GTEST_SKIP() << "golden digests rewritten (ZERVGEN_UPDATE_GOLDEN=1)";
}

// Each relation alone writes what it writes in a run of all of them, where
// most of its columns are reused from earlier relations.
TEST(EndToEnd, EachRelationAloneEqualsTheFullRun) {
  const std::vector<std::string> common = {"-n", "1005", "-fc", "7", "-dc", ":"};
  ScratchDir all;
  std::vector<std::string> args = common;
  ASSERT_EQ(RunZervgen(all.path(), args).status, 0);
  for (std::size_t i = 0; i < kFiles.size(); ++i) {
    const char* option = kTestRelations[i].option;
    ScratchDir one;
    std::vector<std::string> a = common;
    a.push_back(option);
    a.insert(a.end(), {"-f", "-"});
    RunResult r = RunZervgen(one.path(), a);
    ASSERT_EQ(r.status, 0) << r.err;
    std::string want = ReadFile(all.File(kFiles[i]));
    EXPECT_TRUE(r.out == want) << option << ": " << FirstDifference(r.out, want);
  }
}

TEST(EndToEnd, TwoRunsGiveIdenticalBytes) {
  ScratchDir a, b;
  const std::vector<std::string> args = {"-n", "20000", "-fc", "33", "-dc", "|"};
  ASSERT_EQ(RunZervgen(a.path(), args).status, 0);
  ASSERT_EQ(RunZervgen(b.path(), args).status, 0);
  for (const std::string& name : kFiles) {
    EXPECT_TRUE(ReadFile(a.File(name)) == ReadFile(b.File(name))) << name;
  }
}

// Under an address-space limit the columns that do not fit go to temporary
// files; the bytes stay the same and no temporary file is left. The limit
// at which that happens depends on the process's own size, so a ladder of
// limits is tried: every run either writes the same bytes or fails safe with
// "Out of memory" and leaves nothing, and several runs do use files. So too
// for a Parquet file of small row groups (one relation: its row groups take
// longer; its larger process image needs more than 12000 KiB).
TEST(EndToEnd, TemporaryFileStorageGivesTheSameBytes) {
#ifdef ZERVGEN_SANITIZED
  GTEST_SKIP() << "address-space limits do not apply to sanitizer builds";
#endif
  struct StorageCase {
    std::vector<std::string> args;
    std::vector<std::string> files;
  };
  const StorageCase cases[] = {
      {{"-n", "1000000", "-fc", "5"}, kFiles},
      {{"-hu", "-n", "1000000", "-fc", "5", "-parquet", "-rowgroup", "1000"}, {"zerv.hun.parquet"}},
  };
  const bool traced = FileExists("/usr/bin/strace");
  for (const auto& [args, files] : cases) {
    SCOPED_TRACE(files[0]);
    ScratchDir free;
    ASSERT_EQ(RunZervgen(free.path(), args).status, 0);
    int withFiles = 0;
    int succeeded = 0;
    for (int limit : {44000, 32000, 20000, 12000}) {
      SCOPED_TRACE(limit);
      ScratchDir tight, traceDir;
      RunOptions limited;
      limited.shellPrefix = "ulimit -v " + std::to_string(limit) + ";";
      if (traced)
        limited.wrapper =
            "/usr/bin/strace -f --seccomp-bpf -e trace=openat -o " + traceDir.File("trace");
      std::vector<std::string> withTemp = args;
      withTemp.insert(withTemp.end(), {"-t", "tmp"});
      ASSERT_EQ(::mkdir(tight.File("tmp").c_str(), 0700), 0);
      RunResult r = RunZervgen(tight.path(), withTemp, limited);
      EXPECT_TRUE(ScratchDir::ListOf(tight.File("tmp")).empty());
      if (r.status != 0) {
        EXPECT_EQ(r.status, 255);
        EXPECT_NE(r.err.find(": Out of memory.\n"), std::string::npos) << r.err;
        EXPECT_EQ(tight.List(), std::vector<std::string>{"tmp"});
        continue;
      }
      ++succeeded;
      for (const std::string& file : files) {
        EXPECT_TRUE(FileSize(free.File(file)) > 0 &&
                    ReadFile(free.File(file)) == ReadFile(tight.File(file)))
            << file;
      }
      if (traced && ReadFile(traceDir.File("trace")).find(".tmp\", O_RDWR|O_CREAT|O_EXCL") !=
                        std::string::npos) {
        ++withFiles;
      }
    }
    EXPECT_GE(succeeded, 3);
    if (traced) {
      EXPECT_GE(withFiles, 2) << "too few runs put columns in temporary files";
    }
  }
}

// Too little memory for even one column: the run fails safe and leaves
// nothing behind.
TEST(EndToEnd, NoMemoryForOneColumnFailsSafe) {
#ifdef ZERVGEN_SANITIZED
  GTEST_SKIP() << "address-space limits do not apply to sanitizer builds";
#endif
  ScratchDir dir;
  RunOptions limited;
  limited.shellPrefix = "ulimit -v 8000;";
  RunResult r = RunZervgen(dir.path(), {"-n", "1000000"}, limited);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(AfterBanner(r.err), "zervgen: Out of memory.\n");
  EXPECT_TRUE(dir.List().empty());
}

TEST(EndToEnd, ExistingRelationFileIsNotOverwritten) {
  ScratchDir dir;
  WriteFile(dir.File("zerv.hun"), "keep me\n");
  RunResult r = RunZervgen(dir.path(), {"-n", "100", "-hu", "-r", "x.rpt"});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(AfterBanner(r.err),
            "zervgen: Could not open 'hundred'.  \n\tReason is \"File already exists\" for "
            "'zerv.hun'.\n");
  EXPECT_EQ(ReadFile(dir.File("zerv.hun")), "keep me\n");
  std::string report = ReadFile(dir.File("x.rpt"));
  EXPECT_NE(report.find("*** Error: Could not create relation hundred file, 'zerv.hun'.\n\tThe "
                        "reason given is \"File already exists\".\n"),
            std::string::npos)
      << report;
  EXPECT_EQ(r.out.find("Raised exception of class '32'"), r.out.size() - 31) << r.out;
  EXPECT_EQ(dir.List(), (std::vector<std::string>{"x.rpt", "zerv.hun"}));
}

// A relation file that cannot be created is found before any column is
// generated (the report has no relation heading and no column line), with
// the writer's own messages, and nothing is created: no relation file, no
// temporary file. Columns would go to temporary files under the memory
// limit, so their folder shows that none was set up.
// A file's name as a message shows it: a line feed as \n.
std::string Shown(const std::string& path) {
  std::string shown;
  for (char c : path) shown += c == '\n' ? std::string("\\n") : std::string(1, c);
  return shown;
}

TEST(EndToEnd, RelationFileThatCannotBeCreatedFailsBeforeTheColumns) {
  struct EarlyCase {
    const char* name;
    std::vector<std::string> args;
    const char* relName;
    std::string path;
    const char* reason;
    std::string system;  // the line of what the system said, where the reason is general
  };
  const std::string rows = std::to_string(kAllTempRows);
  const std::string longName(256, 'n');
  const EarlyCase cases[] = {
      {"the last of all five exists", {"-n", rows}, "tiny", "zerv.tny", "File already exists", ""},
      {"missing folder",
       {"-hu", "-n", rows, "-f", "nodir/h"},
       "hundred",
       "nodir/h",
       "Could not open file",
       "\tThe system says \"No such file or directory\".\n"},
      {"missing folder whose name ends a line",
       {"-hu", "-n", rows, "-f", "no\ndir/h"},
       "hundred",
       "no\ndir/h",
       "Could not open file",
       "\tThe system says \"No such file or directory\".\n"},
      {"folder is a file",
       {"-up", "-n", rows, "-f", "plain/u"},
       "updates",
       "plain/u",
       "Could not open file",
       "\tThe system says \"Not a directory\".\n"},
      {"a name of 256 characters",
       {"-ti", "-n", rows, "-f", longName},
       "tiny",
       longName,
       "Could not open file",
       "\tThe system says \"File name too long\".\n"},
      {"read-only folder",
       {"-te", "-n", rows, "-f", "ro/t"},
       "tenpcnt",
       "ro/t",
       "Permission denied",
       ""},
  };
  ScratchDir binDir;
  for (const EarlyCase& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    ASSERT_EQ(::mkdir(dir.File("tmp").c_str(), 0700), 0);
    ASSERT_EQ(::chmod(dir.File("tmp").c_str(), 0777), 0);  // whoever runs may write there
    WriteFile(dir.File("zerv.tny"), "keep me\n");
    WriteFile(dir.File("plain"), "a file, not a folder\n");
    ASSERT_EQ(::mkdir(dir.File("ro").c_str(), 0555), 0);
    RunOptions limited;
#ifndef ZERVGEN_SANITIZED
    limited.addressSpaceKb = kAllTempLimitKb;
#endif
    ASSERT_TRUE(RunAsNobodyIfRoot(dir, binDir, &limited));
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-r", "rpt", "-t", "tmp"});
    RunResult r = RunZervgen(dir.path(), args, limited);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(AfterBanner(r.err), "zervgen: Could not open '" + std::string(c.relName) +
                                      "'.  \n\tReason is \"" + c.reason + "\" for '" +
                                      Shown(c.path) + "'.\n" + c.system);
    EXPECT_TRUE(IsClassLine(r.out, "Gen_outputRelation", 32)) << r.out;
    const std::string report = ReadFile(dir.File("rpt"));
    const std::string error = "*** Error: Could not create relation " + std::string(c.relName) +
                              " file, '" + c.path + "'.\n\tThe reason given is \"" + c.reason +
                              "\".\n" + c.system;
    ASSERT_GE(report.size(), error.size()) << report;
    EXPECT_EQ(report.substr(report.size() - error.size()), error) << report;
    EXPECT_EQ(report.find("Relation:"), std::string::npos) << report;
    EXPECT_EQ(report.find("Uniform"), std::string::npos) << report;
    EXPECT_EQ(dir.List(), (std::vector<std::string>{"plain", "ro", "rpt", "tmp", "zerv.tny"}));
    EXPECT_EQ(ScratchDir::ListOf(dir.File("ro")), std::vector<std::string>{});
    EXPECT_EQ(ScratchDir::ListOf(dir.File("tmp")), std::vector<std::string>{});
    EXPECT_EQ(ReadFile(dir.File("zerv.tny")), "keep me\n");
  }
}

// A write that fails on standard output: a full device is told as such;
// any other failure (here, output opened for reading only) with the
// system's own reason. Both end the run with -1 and class 33; standard
// output carries the data, so the class line goes to standard error.
TEST(EndToEnd, FailedWriteOnStandardOutputTellsItsReason) {
  struct Case {
    const char* redirect;  // bash redirection of standard output
    const char* err;
    const char* report;
  } cases[] = {
      {"exec 1>/dev/full;", "zervgen: File system full.\n",
       "*** Error: No disk space while writing tuple #0 of 100000.\n"},
      {"exec 1</dev/null;", "zervgen: Write error: \"Bad file descriptor\".\n",
       "*** Error: Write error while writing tuple #0 of 100000.\n\tThe reason given is "
       "\"Bad file descriptor\".\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.redirect);
    ScratchDir dir;
    RunOptions opts;
    opts.shellPrefix = c.redirect;
    RunResult r = RunZervgen(dir.path(), {"-hu", "-n", "100000", "-f", "-", "-r", "x.rpt"}, opts);
    EXPECT_EQ(r.status, 255);
    const std::string err = AfterBanner(r.err);
    ASSERT_EQ(err.substr(0, std::strlen(c.err)), c.err) << r.err;
    EXPECT_TRUE(IsClassLine(err.substr(std::strlen(c.err)), "Gen_outputRelation", 33)) << r.err;
    EXPECT_EQ(r.out, "");
    std::string report = ReadFile(dir.File("x.rpt"));
    EXPECT_NE(report.find(c.report), std::string::npos) << report;
    EXPECT_EQ(dir.List(), std::vector<std::string>{"x.rpt"});
  }
}

// A file-size limit makes the relation file's writes fail part-way: the
// partial file is removed and the row reported is the first one not
// completely written.
TEST(EndToEnd, FileSizeLimitRemovesThePartialFile) {
  ScratchDir dir;
  RunOptions opts;
  opts.shellPrefix = "ulimit -f 8;";  // bash counts 1024-byte blocks
  RunResult r = RunZervgen(dir.path(), {"-hu", "-n", "100", "-r", "x.rpt"}, opts);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(AfterBanner(r.err), "zervgen: File system full.\n");
  std::string golden = ReadFile(GoldenDir() + "/n100-default/zerv.hun");
  int rows = 0;
  for (std::size_t i = 0; i < 8192 && i < golden.size(); ++i) rows += golden[i] == '\n';
  std::string report = ReadFile(dir.File("x.rpt"));
  EXPECT_NE(report.find("*** Error: No disk space while writing tuple #" + std::to_string(rows) +
                        " of 100.\n           File, 'zerv.hun', deleted.\n"),
            std::string::npos)
      << report;
  EXPECT_EQ(dir.List(), std::vector<std::string>{"x.rpt"});
}

TEST(EndToEnd, ReportListsEveryColumnOfEveryRelation) {
  ScratchDir dir;
  RunResult r = RunZervgen(dir.path(), {"-n", "10000", "-fc", "100", "-r", "x.rpt"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string report = ReadFile(dir.File("x.rpt"));
  const char* expected[] = {
      "Uniques Relation:\n"
      "    Attribute  Dist.    Min          Max         # Uniques   Comments\n"
      "    =========  =======  ===========  ==========  ==========  ========\n"
      "    key        Uniform            0  1000000000       10000  '1' missing\n"
      "    int        Uniform            0  1000000000       10000  same as \"key\"\n"
      "    signed     Uniform   -500000000   500000000       10000  \n"
      "    float      Zipfian   -500000000   500000000          10\n"
      "    double     Normal   -1000000000  1000000000       10000\n"
      "    decim      Uniform  -1000000000  1000000000       10000  \n"
      "    date       Uniform     1/1/1900  12/31/1999       10000  \n"
      "    code       Uniform            1  1000000001       10000  min/max = rnd seed\n"
      "    name       Uniform            1  1000000001       10000  min/max = rnd seed\n"
      "    address    Uniform            0        9999       10000  min/max = rnd seed\n"
      "    fill       Fill             n/a         n/a         n/a  100 rnd characters\n"
      "\n    Generation Time: ",
      "Hundred Relation:\n"
      "    Attribute  Dist.    Min          Max         # Uniques   Comments\n"
      "    =========  =======  ===========  ==========  ==========  ========\n"
      "    key        Uniform            0       10000       10000  '1' missing\n"
      "    int        Uniform            0  1000000000       10000  '1' missing\n"
      "    signed     Uniform          100         199         100  \n"
      "    float      Uniform   -500000000   500000000         100  \n"
      "    double     Uniform  -1000000000  1000000000         100  \n"
      "    decim      Uniform  -1000000000  1000000000         100  same as \"double\"\n"
      "    date       Uniform     1/1/1900  12/31/1999       10000  \n"
      "    code       Uniform            1  1000000001       10000  min/max = rnd seed\n"
      "    name       Uniform            1  1000000001         100  min/max = rnd seed\n"
      "    address    Uniform            5         995         100  min/max = rnd seed\n"
      "    fill       Fill             n/a         n/a         n/a  100 rnd characters\n",
      "Ten Percent Relation:\n",
      "    name       Uniform            0           9          10  min/max = rnd seed\n"
      "    address    Uniform            0         999        1000  min/max = rnd seed\n",
      "Updates Relation:\n",
      "    int        Uniform            0       10000       10000  same as \"key\"\n",
      "Tiny Relation:\n"
      "    Attribute  Dist.    Min          Max         # Uniques   Comments\n"
      "    =========  =======  ===========  ==========  ==========  ========\n"
      "    key        Uniform            0           0           1  \n"
      "\n    Generation Time: ",
      "\nTotal Time: ",
  };
  for (const char* text : expected) {
    EXPECT_NE(report.find(text), std::string::npos) << "missing:\n" << text << "\nin:\n" << report;
  }
  std::size_t uni = report.find("Uniques Relation:"), upd = report.find("Updates Relation:");
  std::size_t hun = report.find("Hundred Relation:"), ten = report.find("Ten Percent Relation:");
  std::size_t tny = report.find("Tiny Relation:");
  EXPECT_TRUE(uni < upd && upd < hun && hun < ten && ten < tny);
}

}  // namespace
}  // namespace zervgen_test
