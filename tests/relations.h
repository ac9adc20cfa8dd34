// relations.h: the relations as the tests know them, written once: every
// test that needs the whole list (the files of a full run, each option, the
// relation of a one-row file) or the column map reads it here, and the
// catalogue's test checks the program's table against it.
#ifndef ZERVGEN_TESTS_RELATIONS_H_
#define ZERVGEN_TESTS_RELATIONS_H_

#include <string>
#include <vector>

namespace zervgen_test {

struct TestRelation {
  const char* name;
  const char* suffix;
  const char* option;
  bool oneRow;  // one row whatever the row count
};

// In the order the help text and the messages list them.
inline constexpr TestRelation kTestRelations[] = {
    {"hundred", "hun", "-hu", false}, {"tenpcnt", "ten", "-te", false},
    {"tiny", "tny", "-ti", true},     {"uniques", "uni", "-un", false},
    {"updates", "upd", "-up", false},
};

// The report's column map of fixed-format rows without a fill: the fields
// of the widest relations, each at its columns.
inline constexpr char kColumnMap[] =
    "    key:     columns   1 -  10\n"
    "    int:     columns  11 -  20\n"
    "    signed:  columns  21 -  30\n"
    "    float:   columns  31 -  43\n"
    "    double:  columns  44 -  54\n"
    "    decim:   columns  55 -  65\n"
    "    date:    columns  66 -  75\n"
    "    code:    columns  76 -  85\n"
    "    name:    columns  86 - 105\n"
    "    address: columns 106 - 185\n";

// The files of a run of every relation under `prefix`, in the order the
// relations are listed: "zerv.hun", ... (`ending` after each: ".parquet").
inline std::vector<std::string> AllFiles(const std::string& prefix = "zerv",
                                         const std::string& ending = "") {
  std::vector<std::string> files;
  for (const TestRelation& r : kTestRelations) files.push_back(prefix + "." + r.suffix + ending);
  return files;
}

}  // namespace zervgen_test

#endif  // ZERVGEN_TESTS_RELATIONS_H_
