// app/describe.h: the run in machine form, for tools. The -describe
// document (what a run of the settings is: its options as understood, its
// relations with their columns, and the files it writes) and the manifest
// a run leaves of itself (that document and what was written). Their
// schemas are documented in docs/interface.md; fields are only added.
// And -remove-object, by which a tool removes objects of a run it knows by
// their ETags.
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

// An object -remove-object asks to remove: its name and the ETag it must
// have.
struct MainRemoval {
  std::string name;
  std::string etag;
};

// Removes the objects of `removals` (names the parser checked to be the
// run's objects), all or none: each is asked for first (HEAD), and none is
// removed when one has another ETag than the one given; then each is
// removed with a DELETE that carries "If-Match". One line per object on
// standard output ("NAME: removed", "NAME: not there", "NAME: KEPT: why"),
// a failure of the store on standard error. Returns the exit status: 0
// when every object is gone, 1 when one was kept, -1 after a failure.
// Called on the main thread only.
int Main_RemoveObjects(const std::vector<MainRemoval>& removals);

// -head: one JSON object per object of `plan` on standard output, in the
// order the run writes them, with its size and ETag as a HEAD tells them
// (docs/interface.md). Reads no object's bytes. Returns the exit status: 0
// when every line was written (whatever the store said of each object),
// -1 otherwise. Called on the main thread only.
int Main_HeadObjects(const GenRunPlan& plan);

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
