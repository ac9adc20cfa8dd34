// Tests of the relation writer's failure paths that need the writer's own
// pieces: a check failing on a worker thread, a check that stops the bytes,
// the pool's first-failure rule, and the relation file's close and removal
// failing.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/datagen.h"
#include "base/except.h"
#include "base/pool.h"
#include "base/signals.h"
#include "gen_test_util.h"
#include "output/output.h"
#include "run/files.h"
#include "run/format.h"
#include "run/parquet_format.h"
#include "run/writer.h"
#include "test_util.h"

namespace zervgen {
namespace {

using zervgen_test::CatchRaise;
using zervgen_test::Raised;
using zervgen_test::ScratchDir;

using GenWriterTest = zervgen_test::ControlBlockTest;

// A day number out of range in a chunk that a worker formats fails the
// check of the date conversion there; the main thread raises it with the
// very lines and class a single thread gives, and the partial file goes.
TEST_F(GenWriterTest, CheckFailingOnAWorkerIsRaisedOnTheMainThreadAsOnOne) {
  constexpr std::int32_t kRows = 40000;  // ten chunks
  Gen_InitializeCB(&cb_, kRows, 0, dir_.path());
  for (std::int32_t i = 0; i < kRows; ++i) cb_.dateAttr.vector[i] = i % 36524;
  cb_.dateAttr.vector[30001] = 40000;
  const GenColumnSpec spec[] = {{&cb_.dateAttr, 10, OutputKind::kDate, 1}};
  std::vector<Raised> outcomes;
  for (int threads : {1, 4}) {
    cb_.threads = threads;
    const std::string out = std::string(dir_.path()) + "/rel" + std::to_string(threads);
    outcomes.push_back(CatchRaise([&] {
      (void)Gen_outputRelation(&cb_, out.c_str(), "rel", spec, GenRows{kRows, 0, kRows});
    }));
    EXPECT_FALSE(zervgen_test::Exists(out)) << threads << " threads";
  }
  EXPECT_EQ(outcomes[0].cls, XEPT_REQUIREMENT);
  EXPECT_NE(outcomes[0].out.find("Function Date_Convert"), std::string::npos) << outcomes[0].out;
  EXPECT_EQ(outcomes[1].cls, outcomes[0].cls);
  EXPECT_EQ(outcomes[1].out, outcomes[0].out);
}

// Takes the bytes of a relation until `stopAt` of them have come, then
// wants no more; counts what is offered after that.
class StopAfter : public GenByteCheck {
 public:
  explicit StopAfter(std::uint64_t stopAt) : stopAt_(stopAt) {}
  bool Take(const char* data, std::size_t size, std::int32_t, const GenFormatChunk*) override {
    if (stopped_) {
      ++offeredAfterStop_;
      return false;
    }
    bytes_.append(data, size);
    stopped_ = bytes_.size() >= stopAt_;
    return !stopped_;
  }
  std::uint64_t offset() const override { return bytes_.size(); }
  const std::string& bytes() const { return bytes_; }
  int offeredAfterStop() const { return offeredAfterStop_; }

 private:
  std::uint64_t stopAt_;
  std::string bytes_;
  bool stopped_ = false;
  int offeredAfterStop_ = 0;
};

// A check that wants no more bytes ends the relation at once, on one thread
// or many and whether the bytes before it were rows or a format's framing:
// Stopped, nothing more offered, and what it took is the start of the file
// the same rows make; a check that takes everything gets the whole file.
TEST_F(GenWriterTest, CheckThatStopsEndsTheRelationAtOnce) {
  constexpr std::int32_t kRows = 40000;  // ten chunks
  Gen_InitializeCB(&cb_, kRows, 0, dir_.path());
  for (std::int32_t i = 0; i < kRows; ++i) cb_.keyAttr.vector[i] = kRows - i;
  const GenColumnSpec spec[] = {
      {&cb_.keyAttr, 10, OutputKind::kInteger, 1, "key", GenValueType::kInt32, kRows}};
  const OutputFormat text = Output_MakeFormat(',', 0);
  GenParquetSettings settings;
  settings.rowGroupRows = 1000;
  struct Made {
    const char* name;
    std::function<std::unique_ptr<GenFormat>()> format;
  };
  const Made formats[] = {
      {"text", [&] { return Gen_TextFormat(text); }},
      {"parquet", [&] { return Gen_ParquetFormat("rel", spec, text, settings); }},
  };
  for (const Made& made : formats) {
    const std::string path = std::string(dir_.path()) + "/whole." + made.name;
    ASSERT_TRUE(Gen_writeRelation(&cb_, path.c_str(), "rel", spec, GenRows{kRows, 0, kRows},
                                  made.format().get())
                    .ok());
    const std::string whole = zervgen_test::ReadText(path);
    ASSERT_GT(whole.size(), 100000u);
    for (int threads : {1, 4}) {
      cb_.threads = threads;
      for (std::uint64_t stopAt :
           {std::uint64_t{1}, std::uint64_t{5000}, std::uint64_t{whole.size() / 2},
            std::uint64_t{whole.size()}, std::uint64_t{whole.size() + 1}}) {
        SCOPED_TRACE(std::string(made.name) + ", " + std::to_string(threads) +
                     " threads, stop at " + std::to_string(stopAt));
        StopAfter check(stopAt);
        const Status status = Gen_checkRelation(&cb_, "rel", spec, GenRows{kRows, 0, kRows},
                                                made.format().get(), &check);
        EXPECT_EQ(status, stopAt <= whole.size() ? StatusCode::kStopped : StatusCode::kOk);
        EXPECT_EQ(check.offeredAfterStop(), 0);
        EXPECT_GE(check.bytes().size(), std::min<std::uint64_t>(stopAt, whole.size()));
        EXPECT_EQ(check.bytes(), whole.substr(0, check.bytes().size()));
      }
    }
  }
}

// With one worker the slots run in the order submitted: the first failure
// is the one kept, a later one does not replace it, and every wait after it
// returns with that failure, whatever its slot.
// Fails every buffer allocation from the k-th on.
class BuffersFailFrom : public Env {
 public:
  explicit BuffersFailFrom(int k) : from_(k) {}
  bool MayAllocate(Memory kind, std::size_t) override {
    return kind != Memory::kBuffer || ++count_ < from_;
  }
  int count() const { return count_; }

 private:
  std::atomic<int> count_{0};
  int from_;
};

// A Parquet file whose buffers cannot be had, at each point in turn, comes
// back as out of memory with no file left, never as a raise or a partial
// file; with memory enough it is written whole.
TEST_F(GenWriterTest, ParquetShortOfMemoryIsAStatusAndLeavesNoFile) {
  constexpr std::int32_t kRows = 3000;  // three row groups
  Gen_InitializeCB(&cb_, kRows, 0, dir_.path());
  for (std::int32_t i = 0; i < kRows; ++i) cb_.keyAttr.vector[i] = i;
  const GenColumnSpec spec[] = {
      {&cb_.keyAttr, 10, OutputKind::kInteger, 1, "key", GenValueType::kInt32, kRows}};
  GenParquetSettings settings;
  settings.rowGroupRows = 1000;
  const OutputFormat text = Output_MakeFormat(',', 0);
  int shortOfMemory = 0;
  for (int k = 1;; ++k) {
    SCOPED_TRACE(k);
    const std::string out = std::string(dir_.path()) + "/p" + std::to_string(k);
    BuffersFailFrom env(k);
    zervgen_test::ScopedEnv scope(&env);
    const auto format = Gen_ParquetFormat("rel", spec, text, settings);
    Status status;
    const Raised raised = CatchRaise([&] {
      status =
          Gen_writeRelation(&cb_, out.c_str(), "rel", spec, GenRows{kRows, 0, kRows}, format.get());
    });
    ASSERT_EQ(raised.cls, -1) << raised.out;
    if (status == StatusCode::kNoMemory) {
      EXPECT_FALSE(zervgen_test::Exists(out));
      ++shortOfMemory;
      continue;
    }
    EXPECT_TRUE(zervgen_test::Exists(out));
    if (env.count() < k) break;  // no allocation failed: done
  }
  EXPECT_GT(shortOfMemory, 0);
}

TEST(GenPoolTest, FirstFailureIsKeptAndEndsEveryLaterWait) {
  std::atomic<int> ran{0};
  GenOrderedPool pool(1, 6, [&](int slot) {
    ran.fetch_add(1);
    if (slot == 2) XEPT_RAISE(XEPT_GEN_FAILED);
    if (slot == 3) XEPT_RAISE(XEPT_RESOURCE);
  });
  ASSERT_EQ(pool.threads(), 1);
  for (int slot = 0; slot < 6; ++slot) pool.Submit(slot);
  const GenStatus status = pool.WaitDone(5);
  ASSERT_TRUE(status.failed());
  EXPECT_EQ(status.xept.cls, XEPT_GEN_FAILED);
  EXPECT_EQ(pool.WaitDone(4).xept.cls, XEPT_GEN_FAILED);
  const Raised replayed = CatchRaise([&] { Gen_Replay(status); });
  EXPECT_EQ(replayed.cls, XEPT_GEN_FAILED);
  EXPECT_NE(replayed.out.find("Raised exception of class '32'"), std::string::npos) << replayed.out;
}

// The descriptor of the open relation file, found by its name.
int DescriptorOf(const std::string& path) {
  for (int fd = 3; fd < 1024; ++fd) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[4096];
    const ssize_t n = ::readlink(link, target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == path) return fd;
  }
  return -1;
}

// A close that fails is told, and leaves the file recorded so that it can
// still be removed: no half-closed relation file stays behind.
TEST(RelationFileTest, FailedCloseKeepsTheRecordForTheRemoval) {
  ScratchDir dir;
  char real[4096];
  ASSERT_NE(::realpath(dir.path(), real), nullptr);
  const std::string path = std::string(real) + "/rel";
  RelationFile file(path.c_str(), "rel");
  std::size_t written = 0;
  ASSERT_EQ(file.Write("1\n", 2, &written), 0);
  EXPECT_EQ(file.offset(), 2u);
  const int fd = DescriptorOf(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::close(fd), 0);  // behind the owner's back: its close fails
  EXPECT_EQ(file.Close(), EBADF);
  EXPECT_TRUE(zervgen_test::Exists(path));
  const Removal removal = file.Remove();
  EXPECT_EQ(removal.outcome, RemovalOutcome::kRemoved);
  EXPECT_FALSE(zervgen_test::Exists(path));
  EXPECT_EQ(file.Remove().outcome, RemovalOutcome::kNone);  // harmless when repeated
}

// A removal the system refuses is told as such, and the file is left in
// place (a folder that no longer takes changes; as a plain user, since root
// may change any folder).
TEST(RelationFileTest, RefusedRemovalIsToldAndLeavesTheFile) {
  ScratchDir dir;
  const std::string folder = std::string(dir.path()) + "/ro";
  const passwd* nobody = ::getpwnam("nobody");
  if (::geteuid() == 0 && nobody == nullptr) GTEST_SKIP() << "no user nobody";
  ASSERT_EQ(::chmod(dir.path(), 0777), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (::geteuid() == 0 && (::setgid(nobody->pw_gid) != 0 || ::setuid(nobody->pw_uid) != 0)) {
      ::_exit(10);
    }
    const std::string path = folder + "/rel";
    if (::mkdir(folder.c_str(), 0755) != 0) ::_exit(15);
    int code = 0;
    {
      RelationFile file(path.c_str(), "rel");
      if (::chmod(folder.c_str(), 0555) != 0) ::_exit(11);
      const Removal removal = file.Remove();
      if (removal.outcome != RemovalOutcome::kFailed) code = 12;
      if (removal.name == nullptr || path != removal.name) code = 13;
    }
    if (::access(path.c_str(), F_OK) != 0) code = 14;
    ::_exit(code);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  ::chmod(folder.c_str(), 0777);
  ::unlink((folder + "/rel").c_str());
  ::rmdir(folder.c_str());
}

}  // namespace
}  // namespace zervgen
