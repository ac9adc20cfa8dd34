// Tests of the command-line parser, in-process: every refused command line
// of the catalog gives its one message and status -1, and help and version
// are told apart from a run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "datagen.h"
#include "options_catalog.h"

namespace zervgen {
namespace {

using zervgen_test::kRejectCases;
using zervgen_test::RejectCase;

MainParse Parse(const std::vector<std::string>& args) {
  std::vector<std::string> all = {"zervgen"};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  return Main_parseArguments(static_cast<int>(all.size()), argv.data());
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
  ASSERT_EQ(Parse({"-te"}).outcome, MainParse::kRun);
  EXPECT_EQ(options.genHundred, 0);
  EXPECT_EQ(options.nChars, 0);
  EXPECT_EQ(options.nRows, 100000);
}

}  // namespace
}  // namespace zervgen
