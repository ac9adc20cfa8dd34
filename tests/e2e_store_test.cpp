// End-to-end tests of runs that write objects: a store kept in memory by
// the test (the scripted responder answering as an S3 store would) takes
// the run's objects, which must be the bytes the run writes to files, and
// -verify reads them back. Failures end the run as a failed file does,
// nothing left in the store and no secret told.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "e2e_util.h"
#include "scratch_dir.h"
#include "store_responder.h"

namespace zervgen_test {
namespace {

#if ZERVGEN_HAVE_CURL

constexpr const char* kSecret = "e2eSECRET/value";

// An S3 store in memory: objects by path, multipart uploads by id. A key
// in `refuse` is refused with 403 AccessDenied at its writes (PUT, POST).
class MemoryStore {
 public:
  Reply Answer(const Recorded& r) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string path = r.target.substr(0, r.target.find('?'));
    if (path.rfind("/bench/", 0) != 0) return S3Error(404, "NoSuchBucket");
    const std::string query = r.Query();
    if (path.find(refuse) != std::string::npos && !refuse.empty() &&
        (r.method == "PUT" || r.method == "POST")) {
      return S3Error(403, "AccessDenied");
    }
    if (r.method == "HEAD" || r.method == "GET") {
      const auto it = objects.find(path);
      if (it == objects.end()) return r.method == "HEAD" ? Reply{404} : S3Error(404, "NoSuchKey");
      return Reply{200, it->second};
    }
    if (r.method == "PUT" && query.empty()) {
      if (objects.count(path) != 0) return S3Error(412, "PreconditionFailed");
      objects[path] = r.body;
      return Reply{200, "", "ETag: \"put\"\r\n"};
    }
    if (r.method == "POST" && query == "uploads=") {
      const std::string id = "u" + std::to_string(++lastUpload_);
      uploads[id];
      return Reply{200, "<InitiateMultipartUploadResult><UploadId>" + id +
                            "</UploadId></InitiateMultipartUploadResult>"};
    }
    const std::string id = query.substr(query.find("uploadId=") + 9);
    if (uploads.count(id) == 0) return S3Error(404, "NoSuchUpload");
    if (r.method == "PUT") {
      const int number = std::stoi(query.substr(11));
      uploads[id][number] = r.body;
      return Reply{200, "", "ETag: \"p" + std::to_string(number) + "\"\r\n"};
    }
    if (r.method == "DELETE") {
      uploads.erase(id);
      return Reply{204};
    }
    if (objects.count(path) != 0) return S3Error(412, "PreconditionFailed");
    std::string whole;
    for (const auto& [number, bytes] : uploads[id]) whole += bytes;
    objects[path] = whole;
    uploads.erase(id);
    return Reply{200, "<CompleteMultipartUploadResult/>"};
  }

  // Runs `look` on the store under the lock its answers take: a responder
  // thread may still be answering a request the run gave up on.
  template <typename Look>
  decltype(auto) Locked(Look look) {
    std::lock_guard<std::mutex> lock(mutex_);
    return look(*this);
  }
  std::map<std::string, std::string> Objects() {
    return Locked([](MemoryStore& s) { return s.objects; });
  }
  bool NoUploads() {
    return Locked([](MemoryStore& s) { return s.uploads.empty(); });
  }

  std::map<std::string, std::string> objects;                 // "/bench/KEY"
  std::map<std::string, std::map<int, std::string>> uploads;  // open ones
  std::string refuse;

 private:
  std::mutex mutex_;
  int lastUpload_ = 0;
};

RunOptions StoreEnvironment(const Responder& responder) {
  RunOptions options;
  options.environment = {"AWS_ACCESS_KEY_ID=AKE2E", std::string("AWS_SECRET_ACCESS_KEY=") + kSecret,
                         "AWS_SESSION_TOKEN=tokE2E", "AWS_ENDPOINT_URL=" + responder.endpoint()};
  return options;
}

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(ObjectRuns, ObjectsAreTheFilesBytesAndVerify) {
  const std::vector<std::vector<std::string>> cases = {
      {"-n", "1000", "-parts", "2", "-compress", "zstd"},
      {"-n", "1000", "-parquet"},
      {"-un", "-n", "120000"},  // more than one part of 8 MiB: a multipart upload
  };
  for (const std::vector<std::string>& args : cases) {
    SCOPED_TRACE(args[1] + " " + args.back());
    MemoryStore store;
    Responder responder([&store](const Recorded& r, int) { return store.Answer(r); });
    const RunOptions env = StoreEnvironment(responder);
    ScratchDir dir;
    std::vector<std::string> toDisk = args;
    toDisk.insert(toDisk.end(), {"-f", "run"});
    ASSERT_EQ(RunZervgen(dir.path(), toDisk).status, 0);
    std::vector<std::string> toStore = args;
    toStore.insert(toStore.end(), {"-f", "s3://bench/run", "-r", "report"});
    const RunResult wrote = RunZervgen(dir.path(), toStore, env);
    ASSERT_EQ(wrote.status, 0) << wrote.err;
    // Every file the run wrote to disk is an object of the same bytes, and
    // there is no other object and no upload left open.
    std::size_t files = 0;
    const std::map<std::string, std::string> objects = store.Objects();
    for (const std::string& name : dir.List()) {
      if (name.rfind("run", 0) != 0) continue;
      ++files;
      const auto it = objects.find("/bench/" + name);
      ASSERT_NE(it, objects.end()) << name;
      EXPECT_TRUE(it->second == FileText(dir.File(name))) << name;
    }
    EXPECT_EQ(objects.size(), files);
    EXPECT_TRUE(store.NoUploads());
    int multipart = 0;
    for (const Recorded& r : responder.requests()) multipart += r.Query() == "uploads=" ? 1 : 0;
    EXPECT_EQ(multipart, args[0] == "-un" ? 1 : 0);
    EXPECT_EQ(FileText(dir.File("report")).find(kSecret), std::string::npos);
    // -verify reads them back.
    std::vector<std::string> verify = toStore;
    verify.resize(verify.size() - 2);
    verify.push_back("-verify");
    const RunResult checked = RunZervgen(dir.path(), verify, env);
    EXPECT_EQ(checked.status, 0) << checked.err;
    EXPECT_NE(checked.out.find("s3://bench/run"), std::string::npos);
    EXPECT_EQ(checked.out.find("FAILED"), std::string::npos) << checked.out;
    // A second run finds them there and writes nothing.
    const std::size_t before = responder.requests().size();
    const RunResult again = RunZervgen(dir.path(), toStore, env);
    EXPECT_NE(again.status, 0);
    EXPECT_NE(again.err.find("\"File already exists\" for 's3://bench/run"), std::string::npos)
        << again.err;
    for (std::size_t i = before; i < responder.requests().size(); ++i) {
      EXPECT_EQ(responder.requests()[i].method, "HEAD");
    }
    // An object gone is missing; one with a byte changed differs.
    std::string gone;
    bool another = false;
    store.Locked([&gone, &another](MemoryStore& s) {
      auto first = s.objects.begin();
      gone = "s3://bench" + first->first.substr(6);
      s.objects.erase(first);
      // (The -un run wrote one object only.)
      another = !s.objects.empty();
      if (another) {
        std::string& changed = s.objects.begin()->second;
        changed[changed.size() / 2] ^= 1;
      }
    });
    const RunResult damaged = RunZervgen(dir.path(), verify, env);
    EXPECT_EQ(damaged.status, 1);
    EXPECT_NE(damaged.out.find(gone + ": FAILED: missing\n"), std::string::npos) << damaged.out;
    std::size_t failed = 0;
    for (std::size_t at = 0; (at = damaged.out.find("FAILED", at)) != std::string::npos; ++at)
      ++failed;
    EXPECT_EQ(failed, another ? 2u : 1u) << damaged.out;
  }
}

TEST(ObjectRuns, FailuresEndTheRunWithNothingLeftAndNoSecret) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> environment;  // replaces the store's
    const char* refuse;                    // key part the store refuses
    int status;
    const char* told;
  };
  const Case cases[] = {
      {"bad bucket",
       {"-f", "s3://No_Bucket/run"},
       {},
       "",
       255,
       "Could not write 's3://No_Bucket/run.uni': the bucket"},
      {"no bucket",
       {"-f", "s3://nobucket/run"},
       {},
       "",
       255,
       "Could not write 's3://nobucket/run.uni': HTTP 404 NoSuchBucket."},
      {"no credentials",
       {"-f", "s3://bench/run"},
       {"AWS_ACCESS_KEY_ID="},
       "",
       255,
       "AWS_ACCESS_KEY_ID is not set"},
      {"refused write",
       {"-f", "s3://bench/run"},
       {},
       "run.hun",
       255,
       "Write error: \"s3://bench/run.hun: HTTP 403 AccessDenied\""},
      {"refused multipart",
       {"-un", "-n", "120000", "-f", "s3://bench/big"},
       {},
       "big",
       255,
       "Write error: \"s3://bench/big: HTTP 403 AccessDenied\""},
      {"refused manifest",
       {"-f", "s3://bench/run", "-manifest", "s3://bench/m.json"},
       {},
       "m.json",
       255,
       "The manifest, 's3://bench/m.json', could not be written: \"s3://bench/m.json: HTTP 403 AccessDenied\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryStore store;
    store.refuse = c.refuse;
    Responder responder([&store](const Recorded& r, int) { return store.Answer(r); });
    RunOptions env = StoreEnvironment(responder);
    env.environment.insert(env.environment.end(), c.environment.begin(), c.environment.end());
    ScratchDir dir;
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-r", "report"});
    const RunResult r = RunZervgen(dir.path(), args, env);
    EXPECT_EQ(r.status, c.status);
    EXPECT_NE(r.err.find(c.told), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(kSecret), std::string::npos);
    EXPECT_EQ(FileText(dir.File("report")).find(kSecret), std::string::npos);
    EXPECT_TRUE(store.NoUploads());
    for (const auto& [path, bytes] : store.Objects()) {
      EXPECT_EQ(path.find(c.refuse), std::string::npos) << path;
    }
    EXPECT_EQ(dir.List(), std::vector<std::string>{"report"});
  }
}

TEST(ObjectRuns, AnEndingSignalAbortsTheUploadAndEndsTheRunAsEver) {
  for (const int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    MemoryStore store;
    // The second part is held up to 3 s: the signal comes while it goes up.
    Responder responder([&store](const Recorded& r, int) {
      if (r.method == "PUT" && r.Query().rfind("partNumber=2&", 0) == 0) {
        std::this_thread::sleep_for(std::chrono::seconds(3));
      }
      return store.Answer(r);
    });
    ScratchDir dir;
    ZervgenProcess run(dir.path(), {"-un", "-n", "120000", "-f", "s3://bench/big", "-r", "report"},
                       StoreEnvironment(responder));
    ASSERT_TRUE(WaitUntil(
        [&responder] {
          for (const Recorded& r : responder.requests()) {
            if (r.Query().rfind("partNumber=2&", 0) == 0) return true;
          }
          return false;
        },
        30));
    const auto signalled = std::chrono::steady_clock::now();
    ASSERT_TRUE(run.Signal(sig));
    ASSERT_TRUE(run.Wait(30));
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, std::chrono::milliseconds(2500));
    EXPECT_EQ(run.result().status, 255);
    EXPECT_NE(run.result().err.find(": Terminated by user.\n"), std::string::npos)
        << run.result().err;
    EXPECT_NE(FileText(dir.File("report"))
                  .find("*** Error: Caught termination signal " + std::to_string(sig) + "."),
              std::string::npos);
    EXPECT_TRUE(store.Objects().empty());
    EXPECT_TRUE(store.NoUploads());  // aborted
    EXPECT_EQ(responder.requests().back().method, "DELETE");
  }
}

#endif  // ZERVGEN_HAVE_CURL

}  // namespace
}  // namespace zervgen_test
