// app/parquet_options.h: the options of Parquet files (-parquet, -codec,
// -rowgroup, -pagesize, -pageindex, -bloom), read into the settings as the
// command line gives them and completed once every argument is read. Each
// refusal is handed back as the status of Main_refuse (app/option_args.h).
#ifndef ZERVGEN_SRC_APP_PARQUET_OPTIONS_H_
#define ZERVGEN_SRC_APP_PARQUET_OPTIONS_H_

#include <string>
#include <vector>

#include "app/main_options.h"
#include "base/status.h"

namespace zervgen {

// What the Parquet options were given as, for the checks at the end.
struct MainParquetGiven {
  const char* codec = nullptr;  // -codec's value
  long long rowGroup = 0;       // -rowgroup's value; 0: not given
};

// Acts on argv[*cur] when it is a Parquet option (moving *cur past its
// argument); sets *known to false, having done nothing, when it is not.
// REQUIRES: 0 < *cur < argc, settings, given and known != NULL
Status Main_parseParquetOption(int argc, char** argv, int* cur, MainOptions* settings,
                               MainParquetGiven* given, bool* known);

// The Parquet settings once every argument is read: the Parquet options
// only with -parquet, which frames no text (no -ff, no -dc, no -compress),
// the defaults of those not given, and a codec this build has.
Status Main_completeParquet(const MainParquetGiven& given, bool compressGiven,
                            MainOptions* settings);

// Checks that every column -bloom names is one of the relations the run
// writes (as -describe lists their columns).
// REQUIRES: Main_completeParquet has passed, settings->selected is complete
Status Main_completeBloom(const MainOptions& settings);

// The names of -bloom's list, in its order; none when not given.
std::vector<std::string> Main_bloomColumns(const MainOptions& settings);

}  // namespace zervgen

#endif  // ZERVGEN_SRC_APP_PARQUET_OPTIONS_H_
