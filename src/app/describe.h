// app/describe.h: the run in machine form, for tools. The -describe
// document (what a run of the settings is: its options as understood, its
// relations with their columns, and the files it writes) and the manifest
// a run leaves of itself (that document and what was written). Their
// schemas are documented in docs/interface.md; fields are only added.
#ifndef ZERVGEN_SRC_APP_DESCRIBE_H_
#define ZERVGEN_SRC_APP_DESCRIBE_H_

#include <cstdint>
#include <string>
#include <vector>

#include "app/main_options.h"
#include "base/json.h"
#include "run/plan.h"

namespace zervgen {

// One file a run wrote, and its size when it was closed.
struct MainWritten {
  const char* relName;
  const GenFilePlan* file;
  std::uint64_t bytes;
};

// The -describe document of a run of `settings` and `plan` with the
// argument vector `argv`, indented, with a line feed at its end.
// REQUIRES: argc > 0, argv != NULL
std::string Main_DescribeText(const MainOptions& settings, const GenRunPlan& plan, int argc,
                              char** argv);

// The manifest of a run that wrote `written`, indented, with a line feed
// at its end.
// REQUIRES: argc > 0, argv != NULL
std::string Main_ManifestText(const MainOptions& settings, const GenRunPlan& plan, int argc,
                              char** argv, const std::vector<MainWritten>& written);

// The arguments that decide the bytes of every row of the run: -n, -fc
// (when not 0), and -ff, -dc C or -parquet -codec C -rowgroup R.
std::vector<std::string> Main_DataArguments(const MainOptions& settings);

// The arguments that decide the bytes of every file of the run: the data
// arguments, then -compress CODEC:LEVEL for compressed text.
std::vector<std::string> Main_ProofArguments(const MainOptions& settings);

// The program's text after its name in the first line it writes to
// standard error.
inline constexpr const char* kBannerText =
    "zervgen 1.0: benchmark database generator.  No warranty.";

// That first line (without its line feed) for a program called `invoked`.
std::string Main_Banner(const char* invoked);

// The codec as -codec takes it back: "zstd:N" when a level was given.
std::string Main_codecText(const MainOptions& settings);

}  // namespace zervgen

#endif  // ZERVGEN_SRC_APP_DESCRIBE_H_
