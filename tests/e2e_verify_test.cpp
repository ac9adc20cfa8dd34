// End-to-end checks of -verify: untouched files of every relation, format
// and part layout are OK; damaged files give the exact line and status of
// their first difference; a check creates, changes and removes nothing,
// also when it fails, is refused memory or is interrupted.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "e2e_util.h"

namespace zervgen_test {
namespace {

// Every file of the folder with its bytes, to tell that a check changed
// nothing.
std::vector<std::string> Contents(const ScratchDir& dir) {
  std::vector<std::string> all;
  for (const std::string& name : dir.List()) {
    struct stat st {};
    ::stat(dir.File(name).c_str(), &st);
    if (S_ISFIFO(st.st_mode)) {
      all.push_back(name + "|");  // never opened: no writer may come
    } else {
      all.push_back(name + (S_ISDIR(st.st_mode) ? "/" : "=" + ReadFile(dir.File(name))));
    }
  }
  return all;
}

// Runs the check and expects that it left the folder as it was.
RunResult Verify(const ScratchDir& dir, const std::vector<std::string>& args,
                 const RunOptions& options = {}) {
  const std::vector<std::string> before = Contents(dir);
  RunResult r = RunZervgen(dir.path(), With(args, {"-verify"}), options);
  EXPECT_TRUE(Contents(dir) == before) << "the check changed the folder";
  return r;
}

void Generate(const ScratchDir& dir, const std::vector<std::string>& args) {
  const RunResult r = RunZervgen(dir.path(), args);
  ASSERT_EQ(r.status, 0) << r.err;
}

// The offset just after the `row`th line end of `path`.
long long RowEnd(const std::string& path, int row) {
  const std::string text = ReadFile(path);
  std::size_t at = 0;
  for (int i = 0; i < row; ++i) at = text.find('\n', at) + 1;
  return static_cast<long long>(at);
}

void SetByte(const std::string& path, long long offset, char c) {
  std::string text = ReadFile(path);
  text[static_cast<std::size_t>(offset < 0 ? static_cast<long long>(text.size()) + offset
                                           : offset)] = c;
  WriteFile(path, text);
}

void Cut(const std::string& path, long long size) { ASSERT_EQ(::truncate(path.c_str(), size), 0); }

// Untouched files verify, whatever the relation, format, layout or threads;
// the check's threads need not be the run's.
TEST(Verify, UntouchedFilesAreOk) {
  struct Case {
    std::vector<std::string> args;  // of the run and the check
    const char* runThreads;         // -threads of the run ("": none)
    const char* checkThreads;       // -threads of the check ("": none)
    std::string out;
  };
  const Case cases[] = {
      {{"-n", "1000"},
       "",
       "",
       "zerv.uni: OK (1000 rows)\nzerv.upd: OK (1000 rows)\nzerv.hun: OK (1000 rows)\n"
       "zerv.ten: OK (1000 rows)\nzerv.tny: OK (1 row)\n"},
#ifdef ZERVGEN_SANITIZED
      // Long enough for columns kept as run numbers: one relation in
      // sanitized builds, where the five take seconds (its file is named
      // by -f alone).
      {{"-hu", "-n", "70001", "-fc", "100", "-ff", "-f", "x"}, "1", "3", "x: OK (70001 rows)\n"},
#else
      {{"-n", "70001", "-fc", "100", "-ff", "-f", "x"},
       "1",
       "3",
       "x.uni: OK (70001 rows)\nx.upd: OK (70001 rows)\nx.hun: OK (70001 rows)\n"
       "x.ten: OK (70001 rows)\nx.tny: OK (1 row)\n"},
#endif
      {{"-te", "-n", "5000", "-dc", "tab", "-fc", "9"}, "2", "1", "zerv.ten: OK (5000 rows)\n"},
      {{"-hu", "-n", "1000", "-parts", "3"},
       "",
       "2",
       "zerv.hun.1: OK (333 rows)\nzerv.hun.2: OK (333 rows)\nzerv.hun.3: OK (334 rows)\n"},
      {{"-ti", "-n", "100", "-parts", "2"},
       "",
       "",
       "zerv.tny.1: OK (0 rows)\nzerv.tny.2: OK (1 row)\n"},
      {{"-up", "-n", "100", "-parts", "150", "-part", "150"}, "", "", "zerv.upd.150: OK (1 row)\n"},
      {{"-un", "-n", "3000", "-parquet", "-rowgroup", "1000"},
       "",
       "2",
       "zerv.uni.parquet: OK (3000 rows)\n"},
      {{"-n", "2500", "-parquet", "-codec", "zstd", "-rowgroup", "1000", "-fc", "20"},
       "3",
       "",
       "zerv.uni.parquet: OK (2500 rows)\nzerv.upd.parquet: OK (2500 rows)\n"
       "zerv.hun.parquet: OK (2500 rows)\nzerv.ten.parquet: OK (2500 rows)\n"
       "zerv.tny.parquet: OK (1 row)\n"},
      {{"-hu", "-n", "3000", "-parquet", "-codec", "none", "-rowgroup", "1000", "-parts", "2"},
       "",
       "4",
       "zerv.hun.1.parquet: OK (1500 rows)\nzerv.hun.2.parquet: OK (1500 rows)\n"},
  };
  auto threads = [](const char* n) {
    return *n == '\0' ? std::vector<std::string>{} : std::vector<std::string>{"-threads", n};
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    ScratchDir dir;
    Generate(dir, With(c.args, threads(c.runThreads)));
    const RunResult r = Verify(dir, With(c.args, threads(c.checkThreads)));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(AfterBanner(r.err), "");
  }
}

// Replaces `name` in `dir` by the same file of a run with `args` (a part
// of another run).
void FromOtherRun(const ScratchDir& dir, const std::vector<std::string>& args,
                  const std::string& name) {
  ScratchDir other;
  Generate(other, args);
  WriteFile(dir.File(name), ReadFile(other.File(name)));
}

// A file damaged in one way gives one line naming where, and status 1.
TEST(Verify, DamagedFilesTellTheirFirstDifference) {
  const std::vector<std::string> hun = {"-hu", "-n", "1000", "-fc", "7"};
  const std::vector<std::string> parts = With(hun, {"-parts", "3"});
  const std::vector<std::string> pq = {"-hu",    "-n",   "3000",      "-parquet",
                                       "-codec", "none", "-rowgroup", "1000"};
  // Files of more than one 4 MiB window of the mapped comparison.
  const std::vector<std::string> bigHun = {"-hu", "-n", "40000"};
  const std::vector<std::string> bigPq = {"-hu",    "-n",   "200000",    "-parquet",
                                          "-codec", "none", "-rowgroup", "100000"};
  const std::string kHun = "zerv.hun";
  const std::string kRow1 =
      "115,792792793,167,-459595960.00,292929293,292929293,1/26/1968,YVFU9KHk7E...";
  const std::string kRow334 =
      "667,686686687,139,126262626.00,-151515152,-151515152,12/8/1933,ihEJ1d5:n...";
  struct Case {
    const char* name;
    std::vector<std::string> args;  // of the run and the check
    std::function<void(const ScratchDir&)> damage;
    std::string out;
  };
  const Case cases[] = {
      {"a byte of the first row", hun, [&](const ScratchDir& d) { SetByte(d.File(kHun), 2, 'x'); },
       "zerv.hun: FAILED: row 1 differs at byte offset 2: expected \"" + kRow1 +
           "\", found \"11x,792792793,167,-459595960.00,292929293,292929293,1/26/1968,"
           "YVFU9KHk7E...\"\n"},
      {"a byte of a middle row", hun,
       [&](const ScratchDir& d) { SetByte(d.File(kHun), 60000, 'x'); },
       "zerv.hun: FAILED: row 491 differs at byte offset 60000: expected "
       "\"123,192192193,126,-469696970.00,717171717,717171717,8/16/1921,yfAnp8cYub...\", found "
       "\"123,192192193,126,-469696970.00x717171717,717171717,8/16/1921,yfAnp8cYub...\"\n"},
      {"a control byte", hun, [&](const ScratchDir& d) { SetByte(d.File(kHun), 60000, '\x01'); },
       "zerv.hun: FAILED: row 491 differs at byte offset 60000: expected "
       "\"123,192192193,126,-469696970.00,717171717,717171717,8/16/1921,yfAnp8cYub...\", found "
       "\"123,192192193,126,-469696970.00\\x01717171717,717171717,8/16/1921,yfAnp8cYub...\"\n"},
      {"a byte of the last row", hun, [&](const ScratchDir& d) { SetByte(d.File(kHun), -2, 'x'); },
       "zerv.hun: FAILED: row 1000 differs at byte offset 122855: expected "
       "\"...huR9,t JNabKQPcNE,tH:yGMq\\n\", found \"...huR9,t JNabKQPcNE,tH:yGMx\\n\"\n"},
      {"a byte where the second window begins", bigHun,
       [&](const ScratchDir& d) { SetByte(d.File(kHun), 4194304, 'x'); },
       "zerv.hun: FAILED: row 35949 differs at byte offset 4194304: expected "
       "\"...5b.tR8KI2,ibI uEHUj:jcEFji4B6V,h3Xmak:GARK\\n\", found "
       "\"...5b.tR8KI2,ibI uEHUj:jcEFxi4B6V,h3Xmak:GARK\\n\"\n"},
      {"a byte of a row group across two windows", bigPq,
       [&](const ScratchDir& d) { SetByte(d.File(kPq), 4194304, 'x'); },
       "zerv.hun.parquet: FAILED: differs at byte offset 4194304 (row group 2, column "
       "\"double\", row 194170)\n"},
      {"cut inside a row", hun, [&](const ScratchDir& d) { Cut(d.File(kHun), 30000); },
       "zerv.hun: FAILED: truncated after row 247 (the file ends at byte offset 30000, inside "
       "row 248)\n"},
      {"cut at a row end", hun,
       [&](const ScratchDir& d) { Cut(d.File(kHun), RowEnd(d.File(kHun), 500)); },
       "zerv.hun: FAILED: truncated after row 500 (the file ends at byte offset 61267)\n"},
      {"a row added", hun,
       [&](const ScratchDir& d) {
         const std::string text = ReadFile(d.File(kHun));
         WriteFile(d.File(kHun), text + text.substr(0, text.find('\n') + 1));
       },
       "zerv.hun: FAILED: longer than expected: bytes after row 1000 from byte offset 122857, "
       "found \"" +
           kRow1 + "\"\n"},
      {"a missing file", hun, [&](const ScratchDir& d) { ::unlink(d.File(kHun).c_str()); },
       "zerv.hun: FAILED: missing\n"},
      {"an empty file", hun, [&](const ScratchDir& d) { WriteFile(d.File(kHun), ""); },
       "zerv.hun: FAILED: truncated before row 1 (the file is empty)\n"},
      {"a folder in its place", hun,
       [&](const ScratchDir& d) {
         ::unlink(d.File(kHun).c_str());
         ::mkdir(d.File(kHun).c_str(), 0755);
       },
       "zerv.hun: FAILED: read error at byte offset 0: Is a directory\n"},
      {"a FIFO with no writer in its place", hun,
       [&](const ScratchDir& d) {
         ::unlink(d.File(kHun).c_str());
         ::mkfifo(d.File(kHun).c_str(), 0644);
       },
       "zerv.hun: FAILED: cannot be read: not a regular file\n"},
      {"a part of another -fc", parts,
       [&](const ScratchDir& d) {
         FromOtherRun(d, {"-hu", "-n", "1000", "-fc", "8", "-parts", "3"}, kHun + ".2");
       },
       "zerv.hun.1: OK (333 rows)\n"
       "zerv.hun.2: FAILED: row 334 differs at byte offset 136: expected "
       "\"...wCQjaHppz4K2Ktb1,.UJ62lJ\\n\", found \"...wCQjaHppz4K2Ktb1,.UJ62lJ6\\n\"\n"
       "zerv.hun.3: OK (334 rows)\n"},
      {"a part of another -n", parts,
       [&](const ScratchDir& d) {
         FromOtherRun(d, {"-hu", "-n", "1001", "-fc", "7", "-parts", "3"}, kHun + ".3");
       },
       "zerv.hun.1: OK (333 rows)\nzerv.hun.2: OK (333 rows)\n"
       "zerv.hun.3: FAILED: row 667 differs at byte offset 0: expected "
       "\"439,478478479,141,-500000000.00,434343434,434343434,10/4/1958,nDnZ858jHq...\", found "
       "\"930,886000000,136,45454545.00,70707071,70707071,5/26/1932,6.HWLjgncw,:Fw...\"\n"},
      {"a missing part", parts, [&](const ScratchDir& d) { ::unlink(d.File(kHun + ".2").c_str()); },
       "zerv.hun.1: OK (333 rows)\nzerv.hun.2: FAILED: missing\nzerv.hun.3: OK (334 rows)\n"},
      {"another part in its place", With(parts, {"-part", "2"}),
       [&](const ScratchDir& d) {
         ScratchDir other;
         Generate(other, parts);
         WriteFile(d.File(kHun + ".2"), ReadFile(other.File(kHun + ".1")));
       },
       "zerv.hun.2: FAILED: row 334 differs at byte offset 0: expected \"" + kRow334 +
           "\", found \"" + kRow1 + "\"\n"},
      {"a byte of a page", pq, [&](const ScratchDir& d) { SetByte(d.File(kPq), 50000, 'x'); },
       "zerv.hun.parquet: FAILED: differs at byte offset 50000 (row group 2, column \"float\", "
       "row 1729)\n"},
      {"a byte of the footer", pq, [&](const ScratchDir& d) { SetByte(d.File(kPq), -20, 'x'); },
       "zerv.hun.parquet: FAILED: differs at byte offset 119702 (in the footer)\n"},
      // Every row group the run's bytes: a page index is named, not "the footer".
      {"a byte of a page index", With(pq, {"-pageindex"}),
       [&](const ScratchDir& d) {
         const std::string bytes = ReadFile(d.File(kPq));
         std::uint32_t length = 0;
         std::memcpy(&length, bytes.data() + bytes.size() - 8, 4);
         const long long footer = static_cast<long long>(bytes.size()) - 8 - length;
         SetByte(d.File(kPq), footer - 2, static_cast<char>(bytes[footer - 2] ^ 0x02));
       },
       "zerv.hun.parquet: FAILED: differs in the page index (row group 3, column \"address\")\n"},
      {"a byte of the header", pq, [&](const ScratchDir& d) { SetByte(d.File(kPq), 1, 'x'); },
       "zerv.hun.parquet: FAILED: differs at byte offset 1 (in the header)\n"},
      {"a Parquet file cut", pq, [&](const ScratchDir& d) { Cut(d.File(kPq), 100000); },
       "zerv.hun.parquet: FAILED: truncated (the file ends at byte offset 100000, row group 3, column \"code\")\n"},
      {"a Parquet file longer", pq,
       [&](const ScratchDir& d) { WriteFile(d.File(kPq), ReadFile(d.File(kPq)) + "x"); },
       "zerv.hun.parquet: FAILED: longer than expected: bytes after the footer from byte offset 119722\n"},
      {"an empty Parquet file", pq, [&](const ScratchDir& d) { WriteFile(d.File(kPq), ""); },
       "zerv.hun.parquet: FAILED: truncated (the file is empty)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    Generate(dir, c.args);
    c.damage(dir);
    const RunResult r = Verify(dir, c.args);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(AfterBanner(r.err), "zervgen: 1 of " +
                                      std::to_string(std::count(c.out.begin(), c.out.end(), '\n')) +
                                      " files did NOT verify.\n");
  }
}

// The file to check read from standard input ("-f -"), named "-".
TEST(Verify, StandardInput) {
  ScratchDir dir;
  const std::vector<std::string> part = {"-hu", "-n", "1000", "-parts", "3", "-part", "2"};
  Generate(dir, part);
  RunOptions options;
  options.stdinFile = dir.File("zerv.hun.2");
  RunResult r = Verify(dir, With(part, {"-f", "-"}), options);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "-: OK (333 rows)\n");
  options.stdinFile = "/dev/null";
  r = Verify(dir, With(part, {"-f", "-"}), options);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "-: FAILED: truncated before row 334 (the file is empty)\n");
}

// A check makes no report and no temporary file: with -r and -t it leaves
// the folders as they were; when its columns do not fit in memory it fails
// as out of memory rather than put them in temporary files.
TEST(Verify, CreatesNoReportAndNoTemporaryFile) {
  ScratchDir dir;
  ::mkdir(dir.File("tmp").c_str(), 0755);
  const std::vector<std::string> run = {"-un", "-n", "2000", "-r", "v.rpt", "-t", "tmp"};
  Generate(dir, run);
  ::unlink(dir.File("v.rpt").c_str());
  RunResult r = Verify(dir, run);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "zerv.uni: OK (2000 rows)\n");
#ifndef ZERVGEN_SANITIZED
  RunOptions limited;
  limited.addressSpaceKb = kAllTempLimitKb;
  r = Verify(dir, {"-hu", "-n", std::to_string(kAllTempRows), "-t", "tmp"}, limited);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "");  // standard output carries the files' lines only
  EXPECT_NE(r.err.find("\nzervgen: Out of memory.\n"), std::string::npos) << r.err;
#endif
}

// Lines that cannot be written fail the check itself (255), even when
// every file is OK.
TEST(Verify, LinesThatCannotBeWrittenFailTheCheck) {
  ScratchDir dir;
  Generate(dir, {"-ti", "-n", "100"});
  RunOptions options;
  options.stdoutFile = "/dev/full";
  const RunResult r = Verify(dir, {"-ti", "-n", "100"}, options);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(AfterBanner(r.err), "zervgen: Write error: \"No space left on device\".\n");
}

// An interrupted check ends with the signal's status and message, leaving
// the folder as it was (Verify checks that).
TEST(Verify, InterruptLeavesNothingBehind) {
  ScratchDir dir;
  Generate(dir, {"-hu", "-n", "5000"});
  const std::vector<std::string> before = Contents(dir);
  // The check reads the first 400000 bytes from a pipe that then stays
  // open, and waits there for more.
  ZervgenProcess p(dir.path(), BashScript{"exec -a zervgen \"$ZERVGEN\" -hu -n 5000 -f - -verify "
                                          "< <(head -c 400000 zerv.hun; exec sleep 60)"});
  const std::string io = "/proc/" + std::to_string(p.pid()) + "/io";
  ASSERT_TRUE(WaitUntil(
      [&] {
        const std::string text = ReadFile(io);
        const std::size_t at = text.find("rchar: ");
        return at != std::string::npos && std::stoll(text.substr(at + 7)) >= 400000;
      },
      60));
  ASSERT_TRUE(p.Signal(SIGINT));
  ASSERT_TRUE(p.Wait(30));
  EXPECT_EQ(p.result().status, 255);
  EXPECT_EQ(AfterBanner(p.result().err), "zervgen: Terminated by user.\n");
  EXPECT_EQ(p.result().out, "");
  EXPECT_TRUE(Contents(dir) == before);
}

}  // namespace
}  // namespace zervgen_test
