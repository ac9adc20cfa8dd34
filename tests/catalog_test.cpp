// catalog_test.cpp: what is derived from the table of the relations:
// the report's column lines and column map, the fixed row width, the lists
// of relation options, and the explanation of a failed column write.
#include "run/catalog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iterator>
#include <string>

#include "base/progname.h"
#include "base/report.h"
#include "relations.h"
#include "run/schemas.h"
#include "test_util.h"

namespace zervgen {
namespace {

using zervgen_test::TagOf;

const GenColumn& ColumnOf(std::int32_t tag, const char* name) {
  for (const GenColumn& c : Gen_RelationOf(tag).columns) {
    if (std::strcmp(Gen_KindOf(c).name, name) == 0) return c;
  }
  ADD_FAILURE() << "no column " << name;
  return Gen_RelationOf(tag).columns[0];
}

TEST(Catalog, ColumnLines) {
  struct Case {
    std::int32_t tag;
    const char* column;
    std::int32_t n;
    std::int16_t nFill;
    const char* line;
  };
  const Case cases[] = {
      {TagOf("hundred"), "key", 10000, 0,
       "    key        Uniform            0       10000       10000  '1' missing\n"},
      {TagOf("hundred"), "int", 10000, 0,
       "    int        Uniform            0  1000000000       10000  '1' missing\n"},
      {TagOf("hundred"), "date", 10000, 0,
       "    date       Uniform     1/1/1900  12/31/1999       10000  \n"},
      {TagOf("hundred"), "date", 40000, 0,
       "    date       Uniform     1/1/1900  12/31/1999       36524  \n"},
      {TagOf("hundred"), "code", 10000, 0,
       "    code       Uniform            1  1000000001       10000  min/max = rnd seed\n"},
      {TagOf("hundred"), "decim", 100, 0,
       "    decim      Uniform  -1000000000  1000000000         100  same as \"double\"\n"},
      {TagOf("uniques"), "name", 10000, 0,
       "    name       Uniform            1  1000000001       10000  min/max = rnd seed\n"},
      {TagOf("uniques"), "address", 10000, 0,
       "    address    Uniform            0        9999       10000  min/max = rnd seed\n"},
      {TagOf("uniques"), "signed", 10000, 0,
       "    signed     Uniform   -500000000   500000000       10000  \n"},
      {TagOf("uniques"), "double", 10000, 0,
       "    double     Normal   -1000000000  1000000000       10000\n"},
      {TagOf("uniques"), "float", 10000, 0,
       "    float      Zipfian   -500000000   500000000          10\n"},
      {TagOf("updates"), "int", 300, 0,
       "    int        Uniform            0         300         300  same as \"key\"\n"},
      {TagOf("tenpcnt"), "int", 1000, 0,
       "    int        Uniform            0  1000000000        1000  same as \"key\"\n"},
      {TagOf("tenpcnt"), "address", 1000, 0,
       "    address    Uniform            0          99         100  min/max = rnd seed\n"},
      {TagOf("tiny"), "key", 1, 0,
       "    key        Uniform            0           0           1  \n"},
      {TagOf("tenpcnt"), "fill", 1000, 100,
       "    fill       Fill             n/a         n/a         n/a  100 rnd characters\n"},
      {TagOf("tenpcnt"), "fill", 1000, 1,
       "    fill       Fill             n/a         n/a         n/a  1 rnd character\n"},
      {TagOf("tenpcnt"), "fill", 1000, 0, "    no fill\n"},
  };
  for (const Case& c : cases) {
    const GenRelation& relation = Gen_RelationOf(c.tag);
    EXPECT_EQ(Gen_ColumnLine(relation, ColumnOf(c.tag, c.column), c.n, c.nFill), c.line)
        << relation.name << " " << c.column;
  }
}

TEST(Catalog, FixedRowsAndTheColumnMap) {
  EXPECT_EQ(Gen_FixedRowWidth(), 185);
  EXPECT_EQ(Gen_WidestRowColumns(), 11u);
  EXPECT_EQ(Gen_WidestRowValueBytes(), 4u * 4 + 3 * 8 + (10 + 4) + (20 + 4) + (80 + 4));
  const std::string map = zervgen_test::kColumnMap;
  EXPECT_EQ(Gen_ColumnMap(0), map);
  EXPECT_EQ(Gen_ColumnMap(1), map + "    fill:    column  186\n");
  EXPECT_EQ(Gen_ColumnMap(7), map + "    fill:    columns 186 - 192\n");
  EXPECT_EQ(Gen_ColumnMap(100), map + "    fill:    columns 186 - 285\n");
}

TEST(Catalog, OptionListsAndOrder) {
  EXPECT_EQ(Gen_OptionList("\"", "\"", ", ", ", and "),
            "\"-hu\", \"-te\", \"-ti\", \"-un\", and \"-up\"");
  EXPECT_EQ(Gen_OptionList("", "", " | ", " | "), "-hu | -te | -ti | -un | -up");
  const char* runOrder[] = {"uniques", "updates", "hundred", "tenpcnt", "tiny"};
  for (int i = 0; i < kGenRelationCount; ++i) {
    EXPECT_STREQ(kGenRelations[i].name, runOrder[i]);
    EXPECT_EQ(&Gen_RelationOf(Gen_TagOf(kGenRelations[i])), &kGenRelations[i]);
  }
  // The table holds the relations the tests know, listed in their order.
  ASSERT_EQ(kGenRelationCount, static_cast<int>(std::size(zervgen_test::kTestRelations)));
  for (int i = 0; i < kGenRelationCount; ++i) {
    const zervgen_test::TestRelation& want = zervgen_test::kTestRelations[i];
    const GenRelation& listed = Gen_RelationListed(i);
    SCOPED_TRACE(want.name);
    EXPECT_STREQ(listed.name, want.name);
    EXPECT_STREQ(listed.suffix, want.suffix);
    EXPECT_STREQ(listed.option, want.option);
    EXPECT_EQ(listed.Rows(5000), want.oneRow ? 1 : 5000);
    EXPECT_EQ(Gen_ListPlaceOf(listed), i);
  }
  EXPECT_EQ(Gen_LongestSuffix(), 3u);
}

// A column that reuses a slot's values names the relation it takes them
// from; the others reuse nothing.
TEST(Catalog, ReuseTags) {
  const struct {
    const char* relation;
    const char* column;
    const char* reuses;  // null: none
  } cases[] = {{"hundred", "key", "updates"}, {"hundred", "int", "uniques"},
               {"hundred", "decim", nullptr}, {"tenpcnt", "fill", nullptr},
               {"tiny", "key", "tiny"},       {"updates", "signed", "uniques"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.relation) + " " + c.column);
    const GenColumn& column = ColumnOf(TagOf(c.relation), c.column);
    EXPECT_EQ(Gen_ReuseTagOf(column), c.reuses != nullptr ? TagOf(c.reuses) : 0);
  }
}

// Every column of every relation, at the smallest and largest row counts:
// its range is ordered and its distinct values fit the relation.
TEST(Catalog, FiguresOfEveryColumn) {
  for (const GenRelation& relation : kGenRelations) {
    for (std::int32_t n : {MIN_TUPLES, 36524, MAX_TUPLES}) {
      const std::int32_t rows = relation.Rows(n);
      for (const GenColumn& c : relation.columns) {
        if (c.dist == GenDist::kFill) continue;
        const GenFigures f = Gen_FiguresOf(relation, c, n);
        EXPECT_LE(f.min, f.max) << relation.name << " " << Gen_KindOf(c).name;
        EXPECT_GE(f.distinct, 1);
        EXPECT_LE(f.distinct, rows) << relation.name << " " << Gen_KindOf(c).name;
      }
    }
  }
}

TEST(Catalog, FailedColumnWriteIsExplainedAndRaised) {
  struct Case {
    int error;
    const char* reason;
  };
  const Case cases[] = {
      {ENOSPC, "Out of disk space"},
      {EFBIG, "Out of disk space"},
      {EBADF, "Could not write temporary file"},
  };
  for (const Case& c : cases) {
    zervgen_test::ScratchDir dir;
    const std::string report = dir.File("report.txt");
    Report_OpenFile(report.c_str());
    char name[] = "/tmp/some/double.tmp";
    GenAttr attr{};
    attr.fileName = name;
    const zervgen_test::Raised o = zervgen_test::CatchRaise(
        [&] { Gen_TempWriteFailed(&attr, c.error); }, zervgen_test::kWithStderr);
    Report_CloseFile();
    EXPECT_EQ(o.cls, XEPT_GEN_FAILED);
    EXPECT_EQ(
        zervgen_test::ReadText(report),
        std::string(
            "*** Error: The temporary file, \"/tmp/some/double.tmp\", could not be written.\n\tThe reason given is: \"") +
            c.reason + "\".\n");
    EXPECT_EQ(o.err, std::string(programName) + ": Temporary file error: \"" + c.reason + "\".\n");
    EXPECT_NE(o.out.find("Function Dist_cleanup, line "), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("\nRaised exception of class '32'\n"), std::string::npos) << o.out;
  }
}

}  // namespace
}  // namespace zervgen
