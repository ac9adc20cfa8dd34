// End-to-end tests of what a tool learns of a run's objects and how it
// removes them: -verify -json tells each object's size and ETag, and
// -remove-object removes the run's objects only by the ETags given, with
// "If-Match", all or none. The store is the scripted responder answering
// from objects the test keeps, each with an ETag of its own.
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "e2e_util.h"
#include "scratch_dir.h"
#include "store_responder.h"

namespace zervgen_test {
namespace {

#if ZERVGEN_HAVE_CURL

struct StoredObject {
  std::string bytes;
  std::string etag;  // quotes kept
};

// Objects by path ("/bench/KEY"); HEAD and GET tell the ETag, a GET or a
// DELETE with If-Match is refused (412) when the ETag is another.
class EtagStore {
 public:
  Reply Answer(const Recorded& r) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string path = r.target.substr(0, r.target.find('?'));
    if (path.rfind("/bench/", 0) != 0) return S3Error(404, "NoSuchBucket");
    const auto it = objects_.find(path);
    if (r.method == "DELETE" && deleteFails) return S3Error(403, "AccessDenied");
    // Someone else writes the object while this request is on its way.
    if (it != objects_.end() && r.method == replacedAt) it->second.etag = "\"other\"";
    const std::string ifMatch = r.Header("if-match");
    if (it == objects_.end()) {
      if (r.method == "DELETE") return Reply{204};
      return r.method == "HEAD" ? Reply{404} : S3Error(404, "NoSuchKey");
    }
    if (!ifMatch.empty() && ifMatch != it->second.etag) return S3Error(412, "PreconditionFailed");
    if (r.method == "DELETE") {
      objects_.erase(it);
      return Reply{204};
    }
    return Reply{200, it->second.bytes, "ETag: " + it->second.etag + "\r\n"};
  }

  void Put(const std::string& key, std::string bytes, std::string etag) {
    std::lock_guard<std::mutex> lock(mutex_);
    objects_["/bench/" + key] = {std::move(bytes), std::move(etag)};
  }
  std::map<std::string, StoredObject> Objects() {
    std::lock_guard<std::mutex> lock(mutex_);
    return objects_;
  }

  std::string replacedAt;  // a method ("GET", "DELETE") at which the object changes
  bool deleteFails = false;

 private:
  std::mutex mutex_;
  std::map<std::string, StoredObject> objects_;
};

RunOptions RemovalEnvironment(const Responder& responder) {
  RunOptions options;
  options.environment = {"AWS_ACCESS_KEY_ID=AKE2E", "AWS_SECRET_ACCESS_KEY=removeSECRET",
                         "AWS_ENDPOINT_URL=" + responder.endpoint()};
  return options;
}

// The lines of `text`.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find('\n', at);
    lines.push_back(text.substr(at, end - at));
    at = end == std::string::npos ? text.size() : end + 1;
  }
  return lines;
}

// The files of `-un -n 1000 -parts 3 -f run.uni` on disk, by name: run.uni.1 ...
std::map<std::string, std::string> PartsOnDisk(const ScratchDir& dir) {
  EXPECT_EQ(RunZervgen(dir.path(), {"-un", "-n", "1000", "-parts", "3", "-f", "run.uni"}).status,
            0);
  std::map<std::string, std::string> files;
  for (int k = 1; k <= 3; ++k) {
    const std::string name = "run.uni." + std::to_string(k);
    files[name] = ReadFile(dir.File(name));
  }
  return files;
}

TEST(ObjectProof, VerifyJsonTellsEachObjectsSizeAndEtag) {
  ScratchDir dir;
  const std::map<std::string, std::string> disk = PartsOnDisk(dir);
  struct Case {
    const char* name;
    const char* replacedAt;
    // The end of each part's line, from "ok" on.
    std::vector<std::string> ends;
  };
  const std::string size1 = std::to_string(disk.at("run.uni.1").size());
  const std::string size2 = std::to_string(disk.at("run.uni.2").size());
  const std::vector<Case> cases = {
      {"as the store holds them",
       "",
       {R"j("ok": true, "failure": null, "detail": null, "exact": true, "size": )j" + size1 +
            R"j(, "etag": "\"e1\""})j",
        R"j("ok": false, "failure": "differs", "detail": "row 334 differs at byte offset 0: expected )j",
        R"j("ok": false, "failure": "missing", "detail": null, "exact": null, "size": null, )j"
        R"j("etag": null})j"}},
      // The GET asks for the ETag the HEAD told: bytes of another object
      // are never checked as this one's.
      {"replaced while read",
       "GET",
       {R"j("ok": false, "failure": "unreadable", "detail": "it changed while )j"
        R"j(it was read (HTTP 412)", "exact": null, "size": )j" +
            size1 + R"j(, "etag": "\"e1\""})j",
        R"j("ok": false, "failure": "unreadable", "detail": "it changed while )j",
        R"j("ok": false, "failure": "missing", "detail": null, "exact": null, "size": null, )j"
        R"j("etag": null})j"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EtagStore store;
    std::string other = disk.at("run.uni.2");
    other[0] = other[0] == '9' ? '8' : '9';
    store.Put("run.uni.1", disk.at("run.uni.1"), "\"e1\"");
    store.Put("run.uni.2", other, "\"e2\"");
    store.replacedAt = c.replacedAt;
    Responder responder([&store](const Recorded& r, int) { return store.Answer(r); });
    const RunResult r = RunZervgen(
        dir.path(),
        {"-un", "-n", "1000", "-parts", "3", "-f", "s3://bench/run.uni", "-verify", "-json"},
        RemovalEnvironment(responder));
    EXPECT_EQ(r.status, 1) << r.err;
    const std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    for (std::size_t k = 0; k < 3; ++k) {
      const std::size_t at = lines[k].find("\"ok\": ");
      ASSERT_NE(at, std::string::npos) << lines[k];
      EXPECT_EQ(lines[k].substr(at, c.ends[k].size()), c.ends[k]) << lines[k];
    }
    if (std::string(c.replacedAt).empty()) {
      EXPECT_NE(lines[1].find(R"j("size": )j" + size2 + R"j(, "etag": "\"e2\""})j"),
                std::string::npos)
          << lines[1];
    }
    for (const Recorded& request : responder.requests()) {
      // Every fetch of an object (not the probe of a missing one's first byte).
      if (request.method == "GET" && request.Header("range").empty()) {
        EXPECT_EQ(request.Header("if-match").substr(0, 2), "\"e");
      }
    }
  }
  // A file's line has no such fields: its lines are as they were.
  const RunResult files = RunZervgen(
      dir.path(), {"-un", "-n", "1000", "-parts", "3", "-f", "run.uni", "-verify", "-json"});
  EXPECT_EQ(files.status, 0);
  EXPECT_EQ(files.out.find("\"etag\""), std::string::npos) << files.out;
  EXPECT_EQ(files.out.find("\"size\""), std::string::npos) << files.out;
}

TEST(ObjectProof, HeadTellsEachObjectsSizeAndEtagAndReadsNoByte) {
  ScratchDir dir;
  const std::map<std::string, std::string> disk = PartsOnDisk(dir);
  EtagStore store;
  store.Put("run.uni.1", disk.at("run.uni.1"), "\"e1\"");
  store.Put("run.uni.2", "other bytes", "\"e2\"");
  Responder responder([&store](const Recorded& r, int) { return store.Answer(r); });
  const std::vector<std::string> run = {"-un", "-n", "1000", "-parts", "3"};
  const RunResult r = RunZervgen(dir.path(), With(run, {"-f", "s3://bench/run.uni", "-head"}),
                                 RemovalEnvironment(responder));
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string head = R"j({"zervgen_head": 1, "relation": "uniques", "path": "s3://bench/)j";
  EXPECT_EQ(r.out,
            head + R"j(run.uni.1", "size": )j" + std::to_string(disk.at("run.uni.1").size()) +
                R"j(, "etag": "\"e1\"", "failure": null, "detail": null})j"
                "\n" +
                head +
                R"j(run.uni.2", "size": 11, "etag": "\"e2\"", "failure": null, "detail": null})j"
                "\n" +
                head +
                R"j(run.uni.3", "size": null, "etag": null, "failure": "missing", "detail": null})j"
                "\n");
  for (const Recorded& request : responder.requests()) {
    EXPECT_TRUE(request.method == "HEAD" || !request.Header("range").empty()) << request.method;
  }
  // Only objects, and nothing else with it.
  const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
      {{"-f", "run.uni", "-head"},
       "Option, \"-head\", tells objects (s3://), and 'run.uni.1' is a file: use \"-verify\".\n"},
      {{"-f", "s3://bench/run.uni", "-head", "-verify"},
       "Only one of \"-head\" and \"-verify\" may be specified.\n"},
      {{"-f", "s3://bench/run.uni", "-head", "-remove-object", "s3://bench/run.uni.1=e1"},
       "Only one of \"-head\" and \"-remove-object\" may be specified.\n"},
  };
  for (const auto& [args, message] : refused) {
    const RunResult no = RunZervgen(dir.path(), With(run, args), RemovalEnvironment(responder));
    EXPECT_EQ(no.status, 255);
    EXPECT_EQ(AfterBanner(no.err), "zervgen: " + message);
    EXPECT_EQ(no.out, "");
  }
}

TEST(ObjectRemoval, RemovesOnlyTheRunsObjectsByTheirEtags) {
  struct Case {
    const char* name;
    std::vector<std::string> args;  // after -un -n 1000
    int status;
    std::string out;
    std::string err;                     // in standard error after the banner; "" for none
    std::vector<std::string> deleted;    // the If-Match of each DELETE sent, in order
    std::vector<std::string> remaining;  // the keys left in the store
    bool asked = true;                   // the store was asked anything
    const char* replacedAt = "";
    bool deleteFails = false;
  };
  const std::string run = "s3://bench/run";
  const std::string refusal = "Option, \"-remove-object\", cannot be '";
  const std::vector<Case> cases = {
      {"by their ETags, quoted or not",
       {"-parts", "2", "-f", run + ".uni", "-remove-object", run + ".uni.1=\"e1\"",
        "-remove-object", run + ".uni.2=e2"},
       0,
       run + ".uni.1: removed\n" + run + ".uni.2: removed\n",
       "",
       {"\"e1\"", "\"e2\""},
       {}},
      {"one of another ETag: none removed",
       {"-parts", "2", "-f", run + ".uni", "-remove-object", run + ".uni.1=e1", "-remove-object",
        run + ".uni.2=e9"},
       1,
       run + ".uni.2: KEPT: its ETag is \"e2\", not \"e9\"\n",
       "zervgen: 1 of 2 objects NOT removed.\n",
       {},
       {"run.uni.1", "run.uni.2"}},
      {"one not there",
       {"-parts", "3", "-f", run + ".uni", "-remove-object", run + ".uni.3=e3", "-remove-object",
        run + ".uni.1=e1"},
       0,
       run + ".uni.3: not there\n" + run + ".uni.1: removed\n",
       "",
       {"\"e1\""},
       {"run.uni.2"}},
      {"replaced before the DELETE arrives",
       {"-parts", "2", "-f", run + ".uni", "-remove-object", run + ".uni.1=e1"},
       1,
       run + ".uni.1: KEPT: it changed before it was removed (HTTP 412)\n",
       "zervgen: 1 of 1 objects NOT removed.\n",
       {"\"e1\""},
       {"run.uni.1", "run.uni.2"},
       true,
       "DELETE"},
      {"the store refuses the DELETE",
       {"-parts", "2", "-f", run + ".uni", "-remove-object", run + ".uni.1=e1"},
       255,
       "",
       "zervgen: s3://bench/run.uni.1: HTTP 403 AccessDenied.\n",
       {"\"e1\""},
       {"run.uni.1", "run.uni.2"},
       true,
       "",
       true},
      {"another part's object",
       {"-parts", "2", "-part", "1", "-f", run + ".uni", "-remove-object", run + ".uni.2=e2"},
       255,
       "",
       "zervgen: " + refusal + run + ".uni.2': the run writes no such object.\n",
       {},
       {"run.uni.1", "run.uni.2"},
       false},
      {"another bucket's",
       {"-parts", "2", "-f", run + ".uni", "-remove-object", "s3://other/run.uni.1=e1"},
       255,
       "",
       "zervgen: " + refusal + "s3://other/run.uni.1': the run writes no such object.\n",
       {},
       {"run.uni.1", "run.uni.2"},
       false},
      {"a file",
       {"-parts", "2", "-f", "run.uni", "-remove-object", "run.uni.1=e1"},
       255,
       "",
       "zervgen: " + refusal + "run.uni.1': it removes objects (s3://), never a file.\n",
       {},
       {"run.uni.1", "run.uni.2"},
       false},
      {"no ETag",
       {"-parts", "2", "-f", run + ".uni", "-remove-object", run + ".uni.1="},
       255,
       "",
       "zervgen: Option, \"-remove-object\", must be NAME=ETAG: an object of the run and the ETag "
       "it must have to be removed.\n",
       {},
       {"run.uni.1", "run.uni.2"},
       false},
      {"with -verify",
       {"-parts", "2", "-f", run + ".uni", "-remove-object", run + ".uni.1=e1", "-verify"},
       255,
       "",
       "zervgen: Only one of \"-remove-object\" and \"-verify\" may be specified.\n",
       {},
       {"run.uni.1", "run.uni.2"},
       false},
  };
  ScratchDir dir;
  const std::map<std::string, std::string> disk = PartsOnDisk(dir);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EtagStore store;
    store.Put("run.uni.1", disk.at("run.uni.1"), "\"e1\"");
    store.Put("run.uni.2", disk.at("run.uni.2"), "\"e2\"");
    store.replacedAt = c.replacedAt;
    store.deleteFails = c.deleteFails;
    Responder responder([&store](const Recorded& r, int) { return store.Answer(r); });
    const RunResult r =
        RunZervgen(dir.path(), With({"-un", "-n", "1000"}, c.args), RemovalEnvironment(responder));
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(AfterBanner(r.err).substr(0, c.err.size()), c.err);
    std::vector<std::string> deleted;
    for (const Recorded& request : responder.requests()) {
      if (request.method == "DELETE") deleted.push_back(request.Header("if-match"));
    }
    EXPECT_EQ(deleted, c.deleted);
    EXPECT_EQ(!responder.requests().empty(), c.asked);
    std::vector<std::string> remaining;
    for (const auto& [path, object] : store.Objects()) remaining.push_back(path.substr(7));
    EXPECT_EQ(remaining, c.remaining);
    // The file of the same name on disk is never touched.
    EXPECT_EQ(ReadFile(dir.File("run.uni.1")), disk.at("run.uni.1"));
  }
}

#endif  // ZERVGEN_HAVE_CURL

}  // namespace
}  // namespace zervgen_test
