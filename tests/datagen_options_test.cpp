// Tests of the command-line parser, in-process: every refused command line
// of the catalog gives its one message and status -1, and help and version
// are told apart from a run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/datagen.h"
#include "app/option_args.h"
#include "options_catalog.h"
#include "parquet/format.h"
#include "test_util.h"

namespace zervgen {
namespace {

using zervgen_test::TagOf;

using zervgen_test::kRejectCases;
using zervgen_test::RejectCase;

// The parser keeps argv[0] as the program's name for the whole process: it
// must outlive the call, or a later test's messages name freed memory.
MainParse Parse(const std::vector<std::string>& args) {
  static char name[] = "zervgen";
  std::vector<std::string> all = args;
  std::vector<char*> argv = {name};
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  return Main_parseArguments(static_cast<int>(argv.size()) - 1, argv.data());
}

TEST(OptionParser, EveryRefusalGivesItsOneMessageAndStatusMinusOne) {
  for (const RejectCase& c : kRejectCases) {
    SCOPED_TRACE(zervgen_test::Joined(c.args));
    const MainParse parse = Parse(c.args);
    EXPECT_EQ(parse.outcome, MainParse::kRefused);
    EXPECT_EQ(parse.status, -1);
    EXPECT_EQ(parse.text, c.err);
  }
}

TEST(OptionParser, HelpVersionAndARunAreToldApart) {
  const struct {
    std::vector<std::string> args;
    MainParse::Outcome outcome;
  } cases[] = {{{"-help"}, MainParse::kHelp},
               {{"--help"}, MainParse::kHelp},
               {{"-n", "500", "?"}, MainParse::kHelp},
               {{"--version"}, MainParse::kVersion},
               {{}, MainParse::kRun},
               {{"-hu", "-n", "500"}, MainParse::kRun}};
  for (const auto& c : cases) {
    SCOPED_TRACE(zervgen_test::Joined(c.args));
    const MainParse parse = Parse(c.args);
    EXPECT_EQ(parse.outcome, c.outcome);
    EXPECT_EQ(parse.status, 0);
  }
  EXPECT_EQ(Parse({"--version"}).text.rfind("zervgen 1.0\nParquet codecs: ", 0), 0u);
  EXPECT_EQ(Parse({"-help"}).text.rfind("\n" + zervgen_test::kSynopsis, 0), 0u);
  // A later parse starts from nothing: the settings of the one before are gone.
  ASSERT_EQ(Parse({"-hu", "-n", "500", "-fc", "9"}).outcome, MainParse::kRun);
  const MainParse later = Parse({"-te"});
  ASSERT_EQ(later.outcome, MainParse::kRun);
  EXPECT_EQ(later.settings.selected[2], 0);  // hundred
  EXPECT_EQ(later.settings.nChars, 0);
  EXPECT_EQ(later.settings.nRows, 100000);
}

// The settings a run is handed are complete: every default filled in, each
// option where it belongs.
TEST(OptionParser, TheSettingsOfARunAreComplete) {
  const MainParse text = Parse({"-hu", "-s", "2", "-fc", "7", "-dc", "tab", "-t", "/tmp", "-r",
                                "-f", "h", "-parts", "4", "-part", "3", "-threads", "2"});
  ASSERT_EQ(text.outcome, MainParse::kRun);
  const MainOptions& s = text.settings;
  EXPECT_EQ(s.nRows, 20000);
  EXPECT_EQ(s.nChars, 7);
  EXPECT_EQ(s.delimChar, '\t');
  EXPECT_EQ(s.fixedFormat, 0);
  EXPECT_STREQ(s.tmpDir, "/tmp");
  EXPECT_STREQ(s.reportFile, "zerv.rpt");
  EXPECT_EQ(s.nParts, 4);
  EXPECT_EQ(s.part, 3);
  EXPECT_EQ(s.nThreads, 2);
  EXPECT_EQ(s.format, MainFileFormat::kText);
  EXPECT_EQ(s.verify, 0);
  for (int i = 0; i < kGenRelationCount; ++i) {
    SCOPED_TRACE(kGenRelations[i].name);
    const bool hundred = Gen_TagOf(kGenRelations[i]) == TagOf("hundred");
    EXPECT_EQ(s.selected[i] != 0, hundred);
    EXPECT_STREQ(s.relationFile[i], hundred ? "h" : "");
  }

  const MainParse parquet = Parse({"-parquet", "-verify", "-ti"});
  ASSERT_EQ(parquet.outcome, MainParse::kRun);
  const MainOptions& p = parquet.settings;
  EXPECT_EQ(p.nRows, 100000);
  EXPECT_EQ(p.delimChar, ',');
  EXPECT_STREQ(p.tmpDir, ".");
  EXPECT_STREQ(p.reportFile, "");
  EXPECT_EQ(p.format, MainFileFormat::kParquet);
  EXPECT_EQ(p.parquetCodec, ParquetCodec::kSnappy);
  EXPECT_EQ(p.rowGroupRows, 1048576);
  EXPECT_EQ(p.verify, 1);
  EXPECT_STREQ(p.relationFile[4], "zerv.tny.parquet");
}

// Numbers read as "%ld" reads them, saturated far beyond every bound; a
// number with more after it is refused with its message, the value left as
// it was.
TEST(OptionParser, NumbersAreReadWholeOrRefused) {
  const struct {
    const char* text;
    bool ok;
    long long value;
  } cases[] = {
      {"500", true, 500},     {" -5", true, -5},  {"+7", true, 7},
      {"abc", true, 0},       {"", true, 0},      {"99999999999999999999", true, 9999999999999LL},
      {"1000abc", false, 42}, {"1.5", false, 42}, {"500 ", false, 42}};
  const char* saved = programName;
  programName = "zervgen";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    long long value = 42;
    const Status read = Main_readNumber("-n", c.text, &value);
    EXPECT_EQ(value, c.value);
    if (c.ok) {
      EXPECT_TRUE(read.ok()) << read;
    } else {
      EXPECT_EQ(read, StatusCode::kInvalidArgument);
      EXPECT_EQ(read.message(), "zervgen: Option, \"-n\", must be a whole number, not '" +
                                    std::string(c.text) + "'.\n");
    }
  }
  programName = saved;
}

// Each relation's option plans that relation alone, under the name made
// from its suffix, and parts of a default-named run carry the suffix too.
TEST(OptionParser, EachRelationOptionPlansItsRelationAndFile) {
  const struct {
    const char* option;
    const char* name;
    const char* file;
    std::int32_t rows;
  } cases[] = {{"-hu", "hundred", "zerv.hun", 500},
               {"-te", "tenpcnt", "zerv.ten", 500},
               {"-ti", "tiny", "zerv.tny", 1},
               {"-un", "uniques", "zerv.uni", 500},
               {"-up", "updates", "zerv.upd", 500}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.option);
    const MainParse parse = Parse({c.option, "-n", "500"});
    ASSERT_EQ(parse.outcome, MainParse::kRun);
    ASSERT_EQ(parse.plan.relations.size(), 1u);
    const GenRelationPlan& relation = parse.plan.relations[0];
    EXPECT_STREQ(relation.relName, c.name);
    EXPECT_STREQ(Gen_RelationOf(relation.tag).option, c.option);
    ASSERT_EQ(relation.files.size(), 1u);
    EXPECT_EQ(relation.files[0].path, c.file);
    EXPECT_EQ(relation.total, c.rows);
  }
  const MainParse all = Parse({"-n", "500", "-f", "x", "-parquet", "-parts", "2", "-part", "2"});
  ASSERT_EQ(all.outcome, MainParse::kRun);
  std::vector<std::string> files;
  for (const GenRelationPlan& relation : all.plan.relations) {
    for (const GenFilePlan& file : relation.files) files.push_back(file.path);
  }
  EXPECT_EQ(files,
            (std::vector<std::string>{"x.uni.2.parquet", "x.upd.2.parquet", "x.hun.2.parquet",
                                      "x.ten.2.parquet", "x.tny.2.parquet"}));
}

}  // namespace
}  // namespace zervgen
