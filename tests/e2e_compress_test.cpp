// End-to-end runs of compressed text (-compress): every relation, format,
// part layout and thread count decompresses, with the codec libraries
// themselves, to the bytes of the plain run; the compressed bytes are the
// same at every thread count and to standard output; -verify proves the
// text and names the row of a difference, and refuses damaged data.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "e2e_util.h"
#include "relations.h"

namespace zervgen_test {
namespace {

const std::vector<std::string> kAllFiles = AllFiles();
const char* const kTextCodecs[] = {"zstd", "gzip"};

std::string Suffix(const std::string& codec) { return codec == "zstd" ? ".zst" : ".gz"; }

// The name of part k (0: the whole file) of `file`, compressed with `codec`.
// Appended piece by piece: GCC 12 warns wrongly (-Wrestrict) on a chain of
// string additions that starts from a literal.
std::string Name(const std::string& file, int k, const std::string& codec) {
  std::string name = file;
  if (k != 0) name.append(".").append(std::to_string(k));
  return name.append(Suffix(codec));
}

// The codecs of the build; the test says which it leaves out.
std::vector<std::string> BuiltCodecs() {
  std::vector<std::string> codecs;
  for (const char* codec : kTextCodecs) {
    if (CodecInBuild(codec)) codecs.push_back(codec);
  }
  return codecs;
}

// Every relation of two formats, as a whole and in parts of two sizes, at
// one to three threads: the files decompress (part after part) to the plain
// run's text, and their compressed bytes are those of one thread. 20000
// rows make several frames of 4096 or 8192 rows, and part edges that fall
// inside frames.
// Under the sanitizers, which look at the threads and the memory rather
// than at where rows fall, one format at one and three threads, whole and
// in seven parts, is enough.
TEST(Compress, EveryLayoutAndThreadCountDecompressesToThePlainText) {
#ifdef ZERVGEN_SANITIZED
  const std::vector<std::vector<std::string>> formats = {{"-n", "20000", "-fc", "3"}};
  const std::vector<int> layouts = {0, 7};
  const std::vector<const char*> threadCounts = {"1", "3"};
#else
  const std::vector<std::vector<std::string>> formats = {{"-n", "20000", "-fc", "3"},
                                                         {"-n", "20000", "-ff", "-fc", "7"}};
  const std::vector<int> layouts = {0, 3, 7};
  const std::vector<const char*> threadCounts = {"1", "2", "3"};
#endif
  const std::vector<std::string> codecs = BuiltCodecs();
  ASSERT_FALSE(codecs.empty()) << "a build without zstd and libdeflate";
  for (const std::vector<std::string>& format : formats) {
    ScratchDir plain;
    ASSERT_EQ(RunZervgen(plain.path(), format).status, 0);
    for (const std::string& codec : codecs) {
      for (int parts : layouts) {
        std::vector<std::string> names;  // every file, in order
        for (const std::string& file : kAllFiles) {
          for (int k = parts == 0 ? 0 : 1; k <= parts; ++k) {
            names.push_back(Name(file, k, codec));
          }
        }
        std::vector<std::string> first;  // the bytes at one thread
        for (const char* threads : threadCounts) {
          SCOPED_TRACE(std::string(format[3]).append(" ").append(codec).append(", parts ") +
                       std::to_string(parts) + ", threads " + threads);
          ScratchDir dir;
          std::vector<std::string> args = With(format, {"-compress", codec, "-threads", threads});
          if (parts != 0) args = With(args, {"-parts", std::to_string(parts)});
          const RunResult r = RunZervgen(dir.path(), args);
          ASSERT_EQ(r.status, 0) << r.err;
          std::vector<std::string> sorted = names;
          std::sort(sorted.begin(), sorted.end());
          ASSERT_EQ(dir.List(), sorted);
          std::vector<std::string> bytes;
          for (const std::string& name : names) bytes.push_back(ReadFile(dir.File(name)));
          std::size_t at = 0;
          for (const std::string& file : kAllFiles) {
            std::string text;
            for (int k = parts == 0 ? 0 : 1; k <= parts; ++k) {
              text += Decompressed(codec, bytes[at++]);
            }
            EXPECT_TRUE(text == ReadFile(plain.File(file)))
                << file << ": " << FirstDifference(text, ReadFile(plain.File(file)));
          }
          if (first.empty()) {
            first = bytes;
          } else {
            EXPECT_TRUE(bytes == first) << "the compressed bytes depend on the threads";
          }
        }
      }
    }
  }
}

// Frames are cut every 8192 rows (hundred's rows are short) counted from
// the relation's first row, whatever the part: the frames of a part are
// those of the whole relation but where the part begins and ends.
TEST(Compress, PartsCutTheirFramesWhereTheWholeRelationDoes) {
  for (const std::string& codec : BuiltCodecs()) {
    SCOPED_TRACE(codec);
    ScratchDir dir;
    const std::vector<std::string> args = {"-hu", "-n", "50000", "-compress", codec};
    ASSERT_EQ(RunZervgen(dir.path(), args).status, 0);
    ASSERT_EQ(RunZervgen(dir.path(), With(args, {"-parts", "3"})).status, 0);
    const std::vector<std::string> whole =
        CompressedFrames(codec, ReadFile(dir.File(Name("zerv.hun", 0, codec))));
    // 50000 rows: six whole frames of 8192 rows and the rest.
    ASSERT_EQ(whole.size(), 7u);
    // Part 2 holds rows 16666 .. 33332: a piece of frame 3, frame 4, and a
    // piece of frame 5.
    const std::vector<std::string> part =
        CompressedFrames(codec, ReadFile(dir.File(Name("zerv.hun", 2, codec))));
    ASSERT_EQ(part.size(), 3u);
    EXPECT_TRUE(part[1] == whole[3]);
    const std::string first = Decompressed(codec, part[0]);
    EXPECT_EQ(std::count(first.begin(), first.end(), '\n'), 3 * 8192 - 16666);
  }
}

// Standard output takes the bytes of the file, at any thread count; a name
// given with -f takes the suffix unless it ends with it; a level other than
// the default changes the bytes, not the text; zstd's file is no larger
// than the text compressed as one stream at the same level.
TEST(Compress, StandardOutputNamesAndLevels) {
  for (const std::string& codec : BuiltCodecs()) {
    SCOPED_TRACE(codec);
    ScratchDir dir;
    const std::vector<std::string> rows = {"-hu", "-n", "30000", "-fc", "2"};
    ASSERT_EQ(RunZervgen(dir.path(), With(rows, {"-f", "plain"})).status, 0);
    ASSERT_EQ(RunZervgen(dir.path(), With(rows, {"-compress", codec, "-f", "h"})).status, 0);
    const std::string named = Name("h2", 0, codec);
    ASSERT_EQ(RunZervgen(dir.path(), With(rows, {"-compress", codec + ":4", "-f", named})).status,
              0);
    const std::string file = ReadFile(dir.File(Name("h", 0, codec)));
    const std::string plain = ReadFile(dir.File("plain"));
    EXPECT_TRUE(Decompressed(codec, file) == plain);
    EXPECT_TRUE(Decompressed(codec, ReadFile(dir.File(named))) == plain);
    EXPECT_NE(ReadFile(dir.File(named)), file) << "the level made no difference";
    EXPECT_LT(file.size() * 2, plain.size());
    // zstd's frames of a few thousand rows cost nothing against one stream
    // (gzip's members cost libdeflate about 0.5%, and still beat gzip -1).
    if (codec == "zstd") {
      EXPECT_LE(file.size(), Compressed(codec, plain).size());
    }
    for (const char* threads : {"1", "3"}) {
      const RunResult r =
          RunZervgen(dir.path(), With(rows, {"-compress", codec, "-f", "-", "-threads", threads}));
      ASSERT_EQ(r.status, 0) << r.err;
      EXPECT_TRUE(r.out == file) << "standard output, threads " << threads;
    }
  }
}

// An empty part (tiny has one row) is one empty frame or member: a file
// that decompresses to nothing, and that -verify finds OK.
TEST(Compress, AnEmptyPartIsAnEmptyFrame) {
  for (const std::string& codec : BuiltCodecs()) {
    SCOPED_TRACE(codec);
    ScratchDir dir;
    const std::vector<std::string> args = {"-ti", "-parts", "3", "-compress", codec};
    ASSERT_EQ(RunZervgen(dir.path(), args).status, 0);
    EXPECT_EQ(Decompressed(codec, ReadFile(dir.File(Name("zerv.tny", 1, codec)))), "");
    EXPECT_GT(FileSize(dir.File(Name("zerv.tny", 1, codec))), 0);
    EXPECT_EQ(Decompressed(codec, ReadFile(dir.File(Name("zerv.tny", 3, codec)))),
              ReadFile(GoldenDir() + "/n100-default/zerv.tny"));
    const RunResult r = RunZervgen(dir.path(), With(args, {"-verify"}));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, Name("zerv.tny", 1, codec) + ": OK (0 rows)\n" + Name("zerv.tny", 2, codec) +
                         ": OK (0 rows)\n" + Name("zerv.tny", 3, codec) + ": OK (1 row)\n");
  }
}

// -verify reads the text out of the compressed files: OK for the run's
// files, the row of a difference in the text (a file recompressed from an
// edited text), and a line that says so for compressed bytes that are
// damaged, cut short or not of the codec.
TEST(Compress, VerifyComparesTheTextAndNamesTheRow) {
  for (const std::string& codec : BuiltCodecs()) {
    SCOPED_TRACE(codec);
    ScratchDir dir;
    const std::vector<std::string> args = {"-hu", "-n", "20000", "-parts", "2", "-compress", codec};
    ASSERT_EQ(RunZervgen(dir.path(), args).status, 0);
    const std::string part2 = dir.File(Name("zerv.hun", 2, codec));
    const std::string good = ReadFile(part2);
    const std::string line1 = Name("zerv.hun", 1, codec) + ": OK (10000 rows)\n";
    const std::string name2 = Name("zerv.hun", 2, codec) + ": ";
    RunResult r = RunZervgen(dir.path(), With(args, {"-verify", "-threads", "2"}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, line1 + name2 + "OK (10000 rows)\n");

    // Row 10005 of the relation is row 5 of part 2: its first byte changed.
    std::string text = Decompressed(codec, good);
    std::size_t at = 0;
    for (int row = 0; row < 4; ++row) at = text.find('\n', at) + 1;
    const char was = text[at];
    text[at] = was == '1' ? '2' : '1';
    WriteFile(part2, Compressed(codec, text));
    r = RunZervgen(dir.path(), With(args, {"-verify"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.rfind(line1 + name2 + "FAILED: row 10005 differs at byte offset " +
                              std::to_string(at) + ": expected \"" + was,
                          0),
              0u)
        << r.out;
    EXPECT_NE(r.out.find(std::string("found \"") + text[at]), std::string::npos) << r.out;

    // The last 8 bytes: zstd's checksum and the end of the last block, gzip's
    // CRC and size.
    std::string damaged = good;
    damaged[damaged.size() - 6] ^= 0x55;
    WriteFile(part2, damaged);
    r = RunZervgen(dir.path(), With(args, {"-verify"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.rfind(line1 + name2 + "FAILED: cannot be decompressed after byte offset ", 0),
              0u)
        << r.out;
    // To a script the file is unreadable, not different.
    r = RunZervgen(dir.path(), With(args, {"-verify", "-json"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("\"ok\": false, \"failure\": \"unreadable\", \"detail\": \"cannot be "
                         "decompressed after byte offset "),
              std::string::npos)
        << r.out;

    WriteFile(part2, good.substr(0, good.size() / 2));
    r = RunZervgen(dir.path(), With(args, {"-verify"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.rfind(line1 + name2 + "FAILED: cannot be decompressed after byte offset ", 0),
              0u)
        << r.out;

    // The plain text under the compressed name.
    WriteFile(part2, Decompressed(codec, good));
    r = RunZervgen(dir.path(), With(args, {"-verify"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.rfind(line1 + name2 + "FAILED: cannot be decompressed after byte offset 0 ", 0),
              0u)
        << r.out;

    // A file that ends after a whole frame: truncated, by row.
    WriteFile(part2, Compressed(codec, Decompressed(codec, good).substr(0, at)));
    r = RunZervgen(dir.path(), With(args, {"-verify"}));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, line1 + name2 +
                         "FAILED: truncated after row 10004 (the file ends at byte "
                         "offset " +
                         std::to_string(at) + ")\n");
  }
}

// Damaged compressed bytes give one answer however they reach the check: a
// named file, standard input from the file, a pipe, and a pipe whose
// writer pauses just before the damage (so that the decoder has the text
// of the frame up to there before the rest). Every answer is "unreadable",
// told by the text of the frames before the damaged one and where that
// frame starts, never by how much of the file a read happened to give.
TEST(Compress, DamagedBytesGiveOneAnswerHoweverTheyArrive) {
  const std::string relation = "-hu -n 50000 -compress ";
  for (const std::string& codec : BuiltCodecs()) {
    SCOPED_TRACE(codec);
    ScratchDir dir;
    const std::string file = Name("zerv.hun", 0, codec);
    ASSERT_EQ(RunZervgen(dir.path(), {"-hu", "-n", "50000", "-compress", codec}).status, 0);
    const std::string good = ReadFile(dir.File(file));
    const std::vector<std::string> frames = CompressedFrames(codec, good);
    ASSERT_GE(frames.size(), 5u);
    // Damaged bytes: in the middle of the first, second and last frame, the
    // first byte of the third, and the last 6 bytes' first. Sanitized
    // builds take the second frame's and the last 6 bytes' (the same reads
    // and threads as the others, a frame apart).
    struct Damage {
      std::size_t frame;
      std::size_t at;  // within the frame; SIZE_MAX: 6 bytes before its end
    };
#ifdef ZERVGEN_SANITIZED
    const Damage damages[] = {{1, frames[1].size() / 2}, {frames.size() - 1, SIZE_MAX}};
#else
    const Damage damages[] = {{0, frames[0].size() / 2},
                              {1, frames[1].size() / 2},
                              {2, 0},
                              {frames.size() - 1, frames.back().size() / 2},
                              {frames.size() - 1, SIZE_MAX}};
#endif
    for (const Damage& d : damages) {
      std::size_t start = 0;
      std::string textBefore;
      for (std::size_t f = 0; f < d.frame; ++f) {
        start += frames[f].size();
        textBefore += Decompressed(codec, frames[f]);
      }
      const std::size_t at = start + (d.at == SIZE_MAX ? frames[d.frame].size() - 6 : d.at);
      SCOPED_TRACE("compressed byte " + std::to_string(at));
      std::string bad = good;
      bad[at] = static_cast<char>(bad[at] ^ 0x55);
      WriteFile(dir.File(file), bad);
      const std::string check = "\"$ZERVGEN\" " + relation + codec;
      const std::string script =
          check + " -verify -json >named 2>/dev/null; " + check + " -f - -verify -json <" + file +
          " >redirected 2>/dev/null; cat " + file + " | " + check +
          " -f - -verify -json >piped 2>/dev/null; (head -c " + std::to_string(at) + " " + file +
          "; sleep 0.2; tail -c +" + std::to_string(at + 1) + " " + file + ") | " + check +
          " -f - -verify -json >paused 2>/dev/null; true";
      ASSERT_EQ(RunScript(dir.path(), script, 120).status, 0);
      const std::string frame = codec == "zstd" ? "damaged zstd data in the frame"
                                                : "damaged or cut short gzip data in the member";
      const std::string want =
          "\"ok\": false, \"failure\": \"unreadable\", \"detail\": "
          "\"cannot be decompressed after byte offset " +
          std::to_string(textBefore.size()) + " of its text: " + frame +
          " at compressed byte offset " + std::to_string(start);
      std::string first;
      for (const char* way : {"named", "redirected", "piped", "paused"}) {
        SCOPED_TRACE(way);
        const std::string out = ReadFile(dir.File(way));
        const std::size_t from = out.find("\"ok\"");
        ASSERT_NE(from, std::string::npos) << out;
        EXPECT_EQ(out.substr(from, want.size()), want) << out;
        if (first.empty()) first = out.substr(from);
        EXPECT_EQ(out.substr(from), first);
      }
      for (const char* way : {"named", "redirected", "piped", "paused"})
        ::unlink(dir.File(way).c_str());
    }
  }
}

// -describe names the compressed files and the codec.
TEST(Compress, DescribeNamesTheFilesAndTheCodec) {
  for (const std::string& codec : BuiltCodecs()) {
    ScratchDir dir;
    const RunResult r = RunZervgen(
        dir.path(), {"-hu", "-n", "2000", "-parts", "2", "-compress", codec + ":3", "-describe"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"compress\": \"" + codec + "\",\n    \"compress_level\": 3,"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\"path\": \"" + Name("zerv.hun", 2, codec) + "\""), std::string::npos)
        << r.out;
    EXPECT_TRUE(dir.List().empty());
  }
}

}  // namespace
}  // namespace zervgen_test
