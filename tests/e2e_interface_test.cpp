// End-to-end checks of the machine interface: -describe refuses exactly
// what a run refuses and touches nothing, and tells the files a run then
// writes; -manifest records what was written and is never left by a run
// that did not complete; -verify's lines (human and JSON) name every file
// so that no name can read as another file's line.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "e2e_util.h"
#include "options_catalog.h"

namespace zervgen_test {
namespace {

// The "path" and "bytes" pairs of the file objects of a document, in order
// (bytes -1 for null).
std::vector<std::pair<std::string, long long>> FilesOf(const std::string& json) {
  static const std::regex file(R"re("path": "([^"]*)",[^}]*"bytes": (null|[0-9]+))re");
  std::vector<std::pair<std::string, long long>> files;
  for (std::sregex_iterator it(json.begin(), json.end(), file), end; it != end; ++it) {
    const std::string bytes = (*it)[2];
    files.emplace_back((*it)[1], bytes == "null" ? -1 : std::stoll(bytes));
  }
  return files;
}

// Every refused command line of the catalogue; every fourth in sanitized
// builds, where the parser's cases run in-process anyway.
TEST(Describe, RefusesWhatARunRefusesAndTouchesNothing) {
#ifdef ZERVGEN_SANITIZED
  constexpr std::size_t kStep = 4;
#else
  constexpr std::size_t kStep = 1;
#endif
  for (std::size_t i = 0; i < std::size(kRejectCases); i += kStep) {
    const RejectCase& c = kRejectCases[i];
    ScratchDir dir;
    const RunResult r = RunZervgen(dir.path(), With(c.args, {"-describe"}));
    EXPECT_EQ(r.status, kStatusError) << Joined(c.args);
    EXPECT_EQ(AfterBanner(r.err), c.err) << Joined(c.args);
    EXPECT_EQ(r.out, "") << Joined(c.args);
    EXPECT_TRUE(dir.List().empty()) << Joined(c.args);
  }
}

// The whole document of a run in parts with a fill, a report and a
// manifest: reviewed by hand; nothing is created.
TEST(Describe, TheDocumentOfARun) {
  ScratchDir dir;
  const RunResult r = RunZervgen(
      dir.path(), {"-n", "2000", "-fc", "3", "-parts", "2", "-r", "-manifest", "m", "-describe"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, ReadFile(GoldenDir() + "/describe-n2000-fc3-parts2.json"));
  EXPECT_TRUE(dir.List().empty());
}

// A reader that stops after the first line of a long document (1000 parts)
// ends the run as a closed pipe ends rows: status 255, and nothing on
// standard error after the banner.
TEST(Describe, AReaderThatStopsEarlyEndsItQuietly) {
  ScratchDir dir;
  bool timedOut = false;
  const RunResult r = RunScript(dir.path(),
                                "(exec -a zervgen \"$ZERVGEN\" -n 100000 -parts 1000 -describe "
                                "2>err) | head -1 >first; echo \"${PIPESTATUS[0]}\"",
                                300, &timedOut);
  ASSERT_FALSE(timedOut);
  EXPECT_EQ(r.out, "255\n") << r.err;
  EXPECT_EQ(AfterBanner(ReadFile(dir.File("err"))), "");
  EXPECT_EQ(ReadFile(dir.File("first")), "{\n");
  EXPECT_EQ(dir.List(), (std::vector<std::string>{"err", "first"}));
}

// The banner a document gives is the first line of standard error, for a
// refusal too; the proof arguments of compressed text add its -compress,
// and the files a proof with them names are the run's.
TEST(Describe, BannerAndProofArguments) {
  ScratchDir dir;
  const RunResult refused = RunZervgen(dir.path(), {"-n", "1", "-describe"});
  const RunResult r = RunZervgen(
      dir.path(), {"-hu", "-n", "1000", "-compress", "gzip:4", "-parts", "2", "-describe"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string banner = r.err.substr(0, r.err.find('\n'));
  EXPECT_NE(r.out.find("\"banner\": \"" + banner + "\","), std::string::npos) << r.out;
  EXPECT_EQ(refused.err.substr(0, refused.err.find('\n')), banner);
  const std::string proof = R"("proof_args": [
    "-n",
    "1000",
    "-dc",
    ",",
    "-compress",
    "gzip:4"
  ],)";
  EXPECT_NE(r.out.find(proof), std::string::npos) << r.out;
  const RunResult plain = RunZervgen(dir.path(), {"-n", "1000", "-ff", "-describe"});
  EXPECT_NE(plain.out.find("\"proof_args\": [\n    \"-n\",\n    \"1000\",\n    \"-ff\"\n  ],"),
            std::string::npos)
      << plain.out;
  EXPECT_TRUE(dir.List().empty());
}

// The files a document names are the files the same command then writes,
// in the order the manifest records them, with the sizes it gives.
TEST(Describe, NamesTheFilesTheRunWrites) {
  const std::vector<std::vector<std::string>> cases = {
      {"-n", "1000"},
      {"-n", "1500", "-ff", "-fc", "9", "-parts", "4"},
      {"-te", "-n", "3000", "-ff", "-parts", "5", "-part", "5", "-f", "t"},
      {"-ti", "-parquet", "-codec", "none", "-f", "x.parquet"},
      {"-n", "1200", "-parquet", "-codec", "none", "-parts", "3", "-f", "p"},
  };
  for (const std::vector<std::string>& args : cases) {
    ScratchDir dir;
    const RunResult described = RunZervgen(dir.path(), With(args, {"-describe"}));
    ASSERT_EQ(described.status, 0) << Joined(args) << described.err;
    const auto files = FilesOf(described.out);
    const RunResult run = RunZervgen(dir.path(), With(args, {"-manifest", "m.json"}));
    ASSERT_EQ(run.status, 0) << Joined(args) << run.err;
    const std::string manifest = ReadFile(dir.File("m.json"));
    EXPECT_NE(manifest.find("\"zervgen_manifest\": 1"), std::string::npos);
    // The manifest holds the document (its files, bytes null where unknown)
    // and then what was written, with every size.
    const auto recorded = FilesOf(manifest);
    ASSERT_EQ(recorded.size(), 2 * files.size()) << Joined(args);
    std::vector<std::string> names = {"m.json"};
    for (std::size_t i = 0; i < files.size(); ++i) {
      const auto& [path, bytes] = files[i];
      names.push_back(path);
      EXPECT_EQ(recorded[i], files[i]) << Joined(args);
      EXPECT_EQ(recorded[files.size() + i].first, path) << Joined(args);
      EXPECT_EQ(recorded[files.size() + i].second, FileSize(dir.File(path))) << path;
      if (bytes >= 0) {
        EXPECT_EQ(bytes, FileSize(dir.File(path))) << path;
      }
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(dir.List(), names) << Joined(args);
  }
}

TEST(Manifest, IsNeverOverAFileNorLeftByARunThatFailed) {
  {
    // There already: refused before any relation file is written.
    ScratchDir dir;
    WriteFile(dir.File("m.json"), "mine\n");
    const RunResult r = RunZervgen(dir.path(), {"-n", "1000", "-manifest", "m.json"});
    EXPECT_EQ(r.status, kStatusError);
    EXPECT_NE(r.err.find(": Could not open 'manifest'."), std::string::npos) << r.err;
    EXPECT_EQ(dir.List(), std::vector<std::string>{"m.json"});
    EXPECT_EQ(ReadFile(dir.File("m.json")), "mine\n");
  }
  {
    // A relation file that fails to be written ends the run without one.
    ScratchDir dir;
    RunOptions limit;
    limit.fileSizeBytes = 50000;
    const RunResult r = RunZervgen(dir.path(), {"-n", "1000", "-manifest", "m.json"}, limit);
    EXPECT_EQ(r.status, kStatusError);
    EXPECT_FALSE(FileExists(dir.File("m.json")));
  }
  {
    // Standard output: the bytes written there.
    ScratchDir dir;
    const RunResult r = RunZervgen(dir.path(), {"-ti", "-f", "-", "-manifest", "m.json"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "0\n");
    const auto recorded = FilesOf(ReadFile(dir.File("m.json")));
    ASSERT_EQ(recorded.size(), 2u);
    EXPECT_EQ(recorded[1], (std::pair<std::string, long long>{"-", 2}));
  }
}

// A name with a line end, a tab or a byte that is no character cannot
// make a line of its own: the human line escapes it, the JSON object holds
// it as a string (an invalid byte as \udcXX).
TEST(Verify, NamesCannotForgeALine) {
  struct Case {
    std::string name;
    std::string human;  // the line of the missing file
    std::string json;   // its "path" member
  };
  const Case cases[] = {
      {"x\nzerv.hun: OK (1000 rows)", "x\\nzerv.hun: OK (1000 rows): FAILED: missing\n",
       "\"path\": \"x\\nzerv.hun: OK (1000 rows)\""},
      {"a\tb\\c\"d", "a\\tb\\\\c\"d: FAILED: missing\n", "\"path\": \"a\\tb\\\\c\\\"d\""},
      {"bad\xff\xc3\xa9", "bad\\xFF\\xC3\\xA9: FAILED: missing\n",
       "\"path\": \"bad\\udcff\xc3\xa9\""},
  };
  for (const Case& c : cases) {
    ScratchDir dir;
    const RunResult human = RunZervgen(dir.path(), {"-hu", "-n", "1000", "-f", c.name, "-verify"});
    EXPECT_EQ(human.status, 1);
    EXPECT_EQ(human.out, c.human);
    const RunResult json =
        RunZervgen(dir.path(), {"-hu", "-n", "1000", "-f", c.name, "-verify", "-json"});
    EXPECT_EQ(json.status, 1);
    EXPECT_EQ(std::count(json.out.begin(), json.out.end(), '\n'), 1) << json.out;
    EXPECT_NE(json.out.find(c.json), std::string::npos) << json.out;
  }
}

// One object per file, in order, with the outcome the human line gives.
TEST(Verify, JsonObjectsOfPartsOkChangedAndMissing) {
  ScratchDir dir;
  ASSERT_EQ(RunZervgen(dir.path(), {"-hu", "-n", "1000", "-parts", "3"}).status, 0);
  std::string part = ReadFile(dir.File("zerv.hun.1"));
  part[0] = part[0] == '9' ? '8' : '9';
  WriteFile(dir.File("zerv.hun.1"), part);
  ASSERT_EQ(::unlink(dir.File("zerv.hun.3").c_str()), 0);
  const RunResult human = RunZervgen(dir.path(), {"-hu", "-n", "1000", "-parts", "3", "-verify"});
  const RunResult json =
      RunZervgen(dir.path(), {"-hu", "-n", "1000", "-parts", "3", "-verify", "-json"});
  EXPECT_EQ(human.status, 1);
  EXPECT_EQ(json.status, 1);
  EXPECT_EQ(AfterBanner(json.err), AfterBanner(human.err));
  // The detail of the changed part, as a JSON string holds it.
  std::string detail;
  const std::size_t from = human.out.find("FAILED: ") + 8;
  for (char c : human.out.substr(from, human.out.find('\n') - from)) {
    if (c == '"' || c == '\\') detail += '\\';
    detail += c;
  }
  const std::string head = "{\"zervgen_verify\": 1, \"relation\": \"hundred\", \"path\": ";
  EXPECT_EQ(json.out,
            head + "\"zerv.hun.1\", \"part\": 1, \"first_row\": 0, \"rows\": 333, \"ok\": false, " +
                "\"failure\": \"differs\", \"detail\": \"" + detail + "\", \"exact\": null}\n" +
                head + "\"zerv.hun.2\", \"part\": 2, \"first_row\": 333, \"rows\": 333, " +
                "\"ok\": true, \"failure\": null, \"detail\": null, \"exact\": true}\n" + head +
                "\"zerv.hun.3\", \"part\": 3, \"first_row\": 666, \"rows\": 334, \"ok\": false, " +
                "\"failure\": \"missing\", \"detail\": null, \"exact\": null}\n");
  EXPECT_EQ(human.out.substr(human.out.find('\n') + 1),
            "zerv.hun.2: OK (333 rows)\nzerv.hun.3: FAILED: missing\n");

  // A file that opens but cannot be read is unreadable, its detail the
  // human line's.
  ASSERT_EQ(::mkdir(dir.File("zerv.hun.3").c_str(), 0755), 0);
  const RunResult folder = RunZervgen(
      dir.path(), {"-hu", "-n", "1000", "-parts", "3", "-part", "3", "-verify", "-json"});
  EXPECT_EQ(folder.status, 1);
  EXPECT_EQ(folder.out,
            head + "\"zerv.hun.3\", \"part\": 3, \"first_row\": 666, \"rows\": 334, " +
                "\"ok\": false, \"failure\": \"unreadable\", \"detail\": \"read error " +
                "at byte offset 0: Is a directory\", \"exact\": null}\n");
}

}  // namespace
}  // namespace zervgen_test
