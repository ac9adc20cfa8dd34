// Hostile command lines: the binary runs on thousands of random argument
// vectors, each in an empty folder, built from the real options and from
// values at and beyond every bound. Whatever the vector, the run ends (no
// hang) with status 0 or 255 (no crash); a rejected vector writes exactly one
// of the command line's messages and leaves nothing behind; an accepted one
// ends cleanly or fails safe.
//
// Every vector has its own seed, printed with a failure. To replay one:
//   ZERVGEN_FUZZ_SEED=<seed> zervgen_e2e --gtest_filter='Fuzz/*'
// To run more (or fewer) vectors: ZERVGEN_FUZZ_RUNS=<count>.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "e2e_util.h"
#include "options_catalog.h"

namespace zervgen_test {
namespace {

constexpr std::uint64_t kMasterSeed = 0x7a657276u;
#ifdef ZERVGEN_SANITIZED
constexpr int kDefaultRuns = 400;
#else
constexpr int kDefaultRuns = 2000;
#endif
constexpr double kRunDeadlineSeconds = 60;
// Accepted runs write at most this much per file: a few rows suffice to
// show the run works, and a run of 100000000 rows stays cheap.
constexpr long long kFileSizeLimit = 1 << 18;
// Enough for every column of 1000000 rows in memory; 100000000 rows fail at
// once with "Out of memory".
constexpr long long kAddressSpaceKb = 262144;
constexpr int kMaxReportedFailures = 10;

// SplitMix64: a fixed, portable sequence for the seeds and the vectors.
class Rng {
 public:
  explicit Rng(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15u);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
    return z ^ (z >> 31);
  }
  std::size_t Below(std::size_t n) { return static_cast<std::size_t>(Next() % n); }
  template <typename T>
  const T& Pick(const std::vector<T>& v) {
    return v[Below(v.size())];
  }

 private:
  std::uint64_t state_;
};

// clang-format off
const std::vector<std::string> kOptions = {
    "-hu", "-te", "-ti", "-un", "-up", "-n", "-4", "-40", "-400", "-s", "-f", "-fc", "-r", "-ff",
    "-dc", "-t", "-help", "-parts", "-part", "-threads", "-parquet", "-codec", "-rowgroup"};
// What options that take a value are given: every bound and its neighbours
// (rows 100..100000000, scale 1..10000, fill 0..100), the 16-bit and 32-bit
// edges, numbers too big for any integer, signs, blanks, trailing text.
const std::vector<std::string> kNumbers = {
    "99", "100", "101", "100000000", "100000001", "10000", "10001", "65535", "65536", "65636",
    "2147483647", "2147483648", "4294967296", "99999999999999999999", "9223372036854775808",
    "-1", "-100", "-2147483648", "0", "-0", "+100", " 100", "100abc", "1e3", "0x64", "abc", "",
    "1", "2", "7", "50", "1000",
    "\xef\xbc\x91\xef\xbc\x90\xef\xbc\x90"};  // "100" in full-width digits
// File and folder names, relative so that every run stays in its folder;
// 513 characters is the longest accepted.
const std::vector<std::string> kNames = {
    "out", "a/b", "sub/", "tab", ";", "|", "\t", "-", ".", "./.", "zerv.hun", "rpt", "tmp",
    "x y", "\xff\xfe", "\xc3\xa9t\xc3\xa9", "*", "$HOME", "'", "\"", "%s%n",
    std::string(513, 'n'), std::string(514, 'n'), std::string(10000, 'L')};
const std::vector<std::string> kDelimiters = {
    "tab", ",", ";", "|", "\t", "", " ", "t", "ab", "-", "\xff", "\xc3\xa9", "\n",
    std::string(10000, ',')};
const std::vector<std::string> kStrays = {
    "", "-", "--", "---", "-h", "-he", "-HU", "--hu", "-hu ", " -hu", "-n5", "-f-", "?", "-?",
    "-400x", "-4 ", "-x", "-\xff", "\xc3\xa9", "-fc7", "-t.", "-r-", "-\n", "\n", "-dc,",
    "-hu\xc3\xa9", std::string(10000, '-')};

// Values within the bounds, so that a vector gets past the option.
const std::vector<std::string> kGoodRows = {
    "100", "101", "1000", "10000", "65536", "+100", " 100"};
const std::vector<std::string> kGoodScales = {"1", "2", "7"};
const std::vector<std::string> kGoodFills = {"0", "1", "7", "50", "100"};
const std::vector<std::string> kGoodParts = {"1", "2", "3", "7"};
const std::vector<std::string> kGoodThreads = {"1", "2", "3"};
const std::vector<std::string> kGoodRowGroups = {"1000", "1001", "4096", "16777216"};
const std::vector<std::string> kCodecs = {
    "none", "snappy", "zstd", "", "ZSTD", "lz4", "gzip", "zstd ", "-", "\xff"};
const std::vector<std::string> kGoodCodecs = {"none", "snappy", "zstd"};
// clang-format on

// The values an option is given most of the time; `good`: only those
// within its bounds.
const std::vector<std::string>* ValuesFor(const std::string& option, bool good) {
  if (option == "-n") return good ? &kGoodRows : &kNumbers;
  if (option == "-s") return good ? &kGoodScales : &kNumbers;
  if (option == "-fc") return good ? &kGoodFills : &kNumbers;
  if (option == "-parts" || option == "-part") return good ? &kGoodParts : &kNumbers;
  if (option == "-threads") return good ? &kGoodThreads : &kNumbers;
  if (option == "-rowgroup") return good ? &kGoodRowGroups : &kNumbers;
  if (option == "-codec") return good ? &kGoodCodecs : &kCodecs;
  if (option == "-f" || option == "-r" || option == "-t") return &kNames;
  if (option == "-dc") return &kDelimiters;
  return nullptr;
}

// A vector of 0 to 8 arguments. Half of the vectors are options with their
// values, half of them within bounds, so that the parser gets deep (and runs
// start); the other half mix in stray arguments, bare values and repeats
// anywhere.
std::vector<std::string> MakeVector(std::uint64_t seed) {
  Rng rng(seed);
  std::vector<std::string> args;
  const bool wellFormed = rng.Below(2) == 0;
  const std::size_t n = rng.Below(9);
  while (args.size() < n) {
    const std::size_t kind = wellFormed ? 0 : rng.Below(100);
    if (kind < 45) {
      const std::string& option = rng.Pick(kOptions);
      args.push_back(option);
      const std::vector<std::string>* values = ValuesFor(option, wellFormed && rng.Below(2) == 0);
      const std::size_t how = wellFormed ? 2 : rng.Below(8);
      if (values == nullptr || how == 0) continue;  // no value
      args.push_back(how == 1 ? rng.Pick(kStrays) : rng.Pick(*values));
    } else if (kind < 60) {
      args.push_back(rng.Pick(kNumbers));
    } else if (kind < 72) {
      args.push_back(rng.Pick(kNames));
    } else if (kind < 88) {
      args.push_back(rng.Pick(kStrays));
    } else if (!args.empty()) {
      args.push_back(args[rng.Below(args.size())]);  // a repeat
    }
  }
  return args;
}

// The vector as a reader can retype it: brackets around each argument,
// unprintable bytes as \xNN, long runs shortened.
std::string Describe(const std::vector<std::string>& args) {
  std::string text;
  for (const std::string& a : args) {
    text += " [";
    if (a.size() > 100) {
      text += a.substr(0, 8) + "...(" + std::to_string(a.size()) + " bytes)";
    } else {
      for (unsigned char c : a) {
        if (c >= 0x20 && c < 0x7f) {
          text += static_cast<char>(c);
        } else {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02x", c);
          text += hex;
        }
      }
    }
    text += "]";
  }
  return text.empty() ? " (no arguments)" : text;
}

// Every message a rejection of `args` may write after the banner, as the
// catalog of refusals words them.
std::set<std::string> RejectionMessages(const std::vector<std::string>& args) {
  std::set<std::string> messages = {
      kOnlyOneRelation,   kOnlyOneRowOption,     kOnlyOneFormat, kAtLeastRows,      kNoMoreRows,
      kScaleAtLeast,      kScaleBound,           kFillBound,     kCannotDash,       kDelimLineEnd,
      kDelimNotAscii,     kPartsBound,           kThreadsBound,  kPartWithoutParts, kAllPartsToDash,
      kCodecNeedsParquet, kRowGroupNeedsParquet, kParquetAndFf,  kParquetAndDc,     kRowGroupBound,
  };
  for (int parts = 1; parts <= 1000; ++parts) messages.insert(PartBound(parts));
  for (const std::string& a : args) {
    for (const char* o : {"-s", "-n", "-fc", "-parts", "-part", "-threads", "-rowgroup"}) {
      messages.insert(NotANumber(o, a));
    }
    messages.insert(DelimInNumbers(a.substr(0, 1)));
    messages.insert(DelimInFixedTexts(a.substr(0, 1)));
    messages.insert(BadCodec(a));
    messages.insert(Unknown(a));
  }
  for (const char* o : {"-hu", "-te", "-ti", "-un", "-up", "-fc", "-f", "-r", "-t", "-ff", "-dc",
                        "-parts", "-part", "-threads", "-parquet", "-codec", "-rowgroup"}) {
    messages.insert(WasSpecified(o));
  }
  for (const char* o : {"-s", "-n", "-fc", "-f", "-t", "-dc", "-parts", "-part", "-threads",
                        "-codec", "-rowgroup"}) {
    messages.insert(RequiresArgument(o));
  }
  for (const char* o : {"-f", "-r", "-t"}) {
    messages.insert(TooLong(o));
    messages.insert(EmptyName(o));
  }
  // A report named like a file the run writes; without a value it is zerv.rpt.
  std::vector<std::string> reports = args;
  reports.push_back("zerv.rpt");
  for (const std::string& a : reports) messages.insert(ReportIsRelation(a));
  return messages;
}

// What an accepted run may write after the banner: messages of failures it
// met on the way. A report that cannot be created is only a notice; the
// run goes on without it.
const char* const kReasons[] = {"Permission denied", "File already exists", "Out of disk space",
                                "Could not open file", "Could not open temporary file"};

std::vector<std::string> FailureMessages() {
  std::vector<std::string> messages = {Msg("File system full."), Msg("Out of memory."),
                                       Msg("Temporary file read error.")};
  for (const char* reason : kReasons) {
    messages.push_back(Msg("Temporary file error: \"" + std::string(reason) + "\"."));
  }
  return messages;
}

// The length of the message of a relation file that cannot be created at
// `at` (its reason's line names the file), or 0 when there is none.
std::size_t OpenMessageAt(const std::string& err, std::size_t at) {
  for (const char* reason : kReasons) {
    for (const char* rel : {"hundred", "tenpcnt", "tiny", "uniques", "updates"}) {
      const std::string start = "zervgen: Could not open '" + std::string(rel) +
                                "'.  \n\tReason is \"" + reason + "\" for '";
      if (err.compare(at, start.size(), start) != 0) continue;
      const std::size_t end = err.find("'.\n", at + start.size());
      const std::size_t line = err.find('\n', at + start.size());
      if (end != std::string::npos && end + 2 == line) return end + 3 - at;
    }
  }
  return 0;
}

// The length of the location line of a raise of class 32 or 33 at `at`,
// or 0 when there is none.
std::size_t ClassLineAt(const std::string& err, std::size_t at) {
  std::size_t end = err.find('\n', at);
  if (end != std::string::npos) end = err.find('\n', end + 1);
  if (end == std::string::npos) return 0;
  const std::string lines = err.substr(at, end + 1 - at);
  for (int cls : {32, 33}) {
    if (IsClassLine(lines, "\\w+", cls)) return lines.size();
  }
  return 0;
}

// The length of the line of what the system said at `at` (which follows a
// message whose reason is the general one), or 0 when there is none.
std::size_t SystemLineAt(const std::string& err, std::size_t at) {
  const std::string start = "\tThe system says \"";
  if (err.compare(at, start.size(), start) != 0) return 0;
  const std::size_t end = err.find("\".\n", at + start.size());
  return end == std::string::npos ? 0 : end + 3 - at;
}

// Splits `err` into run-time messages; false when some text is none of
// them. Counts the failure messages (the notices are not counted).
bool ParseRunMessages(const std::string& err, int* failures) {
  static const std::vector<std::string> kFailures = FailureMessages();
  *failures = 0;
  std::size_t at = 0;
  while (at < err.size()) {
    std::size_t length = 0;
    for (const std::string& m : kFailures) {
      if (err.compare(at, m.size(), m) == 0) length = m.size();
    }
    if (length == 0) length = OpenMessageAt(err, at);
    if (length > 0) {
      ++*failures;
      at += length + SystemLineAt(err, at + length);
      length = ClassLineAt(err, at);  // on standard error while standard output has the data
      at += length;
      continue;
    }
    for (const char* reason : kReasons) {
      const std::string notice = "zervgen: " + std::string(reason) + ".\nReport file, '";
      const std::string tail = "', not generated.\n";
      if (err.compare(at, notice.size(), notice) != 0) continue;
      std::size_t end = err.find(tail, at + notice.size());
      if (end != std::string::npos) length = end + tail.size() - at;
    }
    if (length == 0) return false;
    at += length;
    at += SystemLineAt(err, at);
  }
  return true;
}

enum RunOutcome { kRejected, kHelpPrinted, kCompleted, kFailedSafe, kOutcomes };

struct Verdict {
  RunOutcome outcome = kRejected;
  bool ok = true;
  bool hung = false;
  std::string why;  // the first fault found
  void Fail(const std::string& text) {
    if (ok) why = text;
    ok = false;
  }
};

// An accepted vector: messages only of failures met while running, status
// 255 after one of them, and nothing half-done left behind.
void CheckAccepted(const RunResult& r, const std::string& err, const ScratchDir& dir,
                   const std::vector<std::string>& left, Verdict* verdict) {
  Verdict& v = *verdict;
  int failures = 0;
  if (!ParseRunMessages(err, &failures)) v.Fail("unexpected messages");
  if (r.status == 0 && failures > 0) v.Fail("failure messages with status 0");
  if (r.status == 255 && failures == 0) v.Fail("status 255 without a failure message");
  for (const char* check : {"Failed requirement", "Failed ensure", "Failed assertion",
                            "No exception handler", "Internal error"}) {
    if (r.out.find(check) != std::string::npos || err.find(check) != std::string::npos) {
      v.Fail(std::string("a failed check: ") + check);
    }
  }
  for (const std::string& name : left) {
    if (name.size() >= 4 && name.compare(name.size() - 4, 4, ".tmp") == 0) {
      v.Fail("temporary file left: " + name);
    }
    // A file cut by the size limit is a partial relation file.
    if (FileSize(dir.File(name)) == kFileSizeLimit) v.Fail("partial file left: " + name);
  }
}

#ifdef ZERVGEN_SANITIZED
// Standard error without the lines a sanitizer adds of its own, such as
// "==123==WARNING: AddressSanitizer failed to allocate ..." when it refuses
// an allocation the program then handles.
std::string WithoutSanitizerLines(const std::string& err) {
  std::string kept;
  std::size_t at = 0;
  while (at < err.size()) {
    std::size_t end = err.find('\n', at);
    end = end == std::string::npos ? err.size() : end + 1;
    if (err.compare(at, 2, "==") != 0) kept.append(err, at, end - at);
    at = end;
  }
  return kept;
}
#endif

// Runs one vector and checks what it did.
Verdict RunOne(const std::vector<std::string>& args, const std::string& helpText) {
  ScratchDir dir;
  RunOptions options;
  options.fileSizeBytes = kFileSizeLimit;
#ifdef ZERVGEN_SANITIZED
  // Address-space limits do not work here; the allocator refuses instead.
  const char* asan = std::getenv("ASAN_OPTIONS");
  options.environment.push_back(std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") +
                                ":allocator_may_return_null=1:max_allocation_size_mb=64");
#else
  options.addressSpaceKb = kAddressSpaceKb;
#endif
  Verdict v;
  ZervgenProcess run(dir.path(), args, options);
  if (!run.Wait(kRunDeadlineSeconds)) {
    run.Kill();
    v.hung = true;
    v.Fail("still running after " + std::to_string(static_cast<int>(kRunDeadlineSeconds)) + " s");
    return v;
  }
  const RunResult& r = run.result();
#ifdef ZERVGEN_SANITIZED
  const std::string err = WithoutSanitizerLines(AfterBanner(r.err));
#else
  const std::string err = AfterBanner(r.err);
#endif
  const std::vector<std::string> left = dir.List();
  if (r.status != 0 && r.status != 255) v.Fail("status " + std::to_string(r.status));
  if (r.err.rfind("zervgen - ", 0) != 0) v.Fail("no banner");
  if (RejectionMessages(args).count(err) != 0) {
    if (r.status != 255) v.Fail("a rejection with status " + std::to_string(r.status));
    if (!left.empty()) v.Fail("a rejection left " + left.front());
    if (!r.out.empty()) v.Fail("a rejection wrote to standard output");
  } else if (err == helpText) {
    v.outcome = kHelpPrinted;
    if (r.status != 0) v.Fail("help text with status " + std::to_string(r.status));
    if (!left.empty()) v.Fail("the help text left " + left.front());
  } else {
    v.outcome = r.status == 0 ? kCompleted : kFailedSafe;
    CheckAccepted(r, err, dir, left, &v);
  }
  if (!v.ok) v.why += "\nstatus " + std::to_string(r.status) + ", stderr:\n" + r.err;
  return v;
}

// The vectors in four shards, one test each, so that a parallel test run
// spreads them; shard k takes the seeds k, k + 4, ... of the master stream.
constexpr int kShards = 4;

class FuzzShards : public ::testing::TestWithParam<int> {};

TEST_P(FuzzShards, RandomCommandLinesNeverCrashHangOrLeaveFiles) {
  ScratchDir helpDir;
  const RunResult help = RunZervgen(helpDir.path(), {"-help"});
  ASSERT_EQ(help.status, 0);
  const std::string helpText = AfterBanner(help.err);
  ASSERT_EQ(helpText.rfind("\nzervgen  [-hu", 0), 0u) << helpText;

  std::vector<std::uint64_t> seeds;
  const char* replay = std::getenv("ZERVGEN_FUZZ_SEED");
  if (replay != nullptr) {
    if (GetParam() != 0) GTEST_SKIP() << "a replayed seed runs in shard 0";
    seeds.push_back(std::strtoull(replay, nullptr, 0));
  } else {
    int runs = kDefaultRuns;
    if (const char* n = std::getenv("ZERVGEN_FUZZ_RUNS")) runs = std::atoi(n);
    Rng master(kMasterSeed);
    for (int i = 0; i < runs; ++i) {
      const std::uint64_t seed = master.Next();
      if (i % kShards == GetParam()) seeds.push_back(seed);
    }
  }
  int failures = 0;
  int counts[kOutcomes] = {};
  for (std::uint64_t seed : seeds) {
    const std::vector<std::string> args = MakeVector(seed);
    const Verdict v = RunOne(args, helpText);
    ++counts[v.outcome];
    if (replay != nullptr) std::printf("zervgen%s\n", Describe(args).c_str());
    if (v.ok) continue;
    ADD_FAILURE() << "ZERVGEN_FUZZ_SEED=" << seed << " zervgen" << Describe(args) << "\n" << v.why;
    // A hang costs a minute each; one is enough to look at.
    if (++failures == kMaxReportedFailures || v.hung) break;
  }
  std::printf("%zu vectors: %d rejected, %d help, %d completed, %d failed safe\n", seeds.size(),
              counts[kRejected], counts[kHelpPrinted], counts[kCompleted], counts[kFailedSafe]);
  if (replay == nullptr && seeds.size() >= 50) {
    // The vectors must reach every outcome, or the generator has gone blind.
    for (int o = 0; o < kOutcomes; ++o) EXPECT_GT(counts[o], 0) << "outcome " << o;
  }
}

INSTANTIATE_TEST_SUITE_P(Fuzz, FuzzShards, ::testing::Range(0, kShards));

}  // namespace
}  // namespace zervgen_test
