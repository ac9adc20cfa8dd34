// options_catalog.h: the command lines the program refuses, each with its
// exact message, shared by the in-process parser tests and the end-to-end
// tests of the binary.
#ifndef ZERVGEN_TESTS_OPTIONS_CATALOG_H_
#define ZERVGEN_TESTS_OPTIONS_CATALOG_H_

#include <string>
#include <vector>

namespace zervgen_test {

inline constexpr int kStatusError = 255;  // exit status -1

inline std::string Joined(const std::vector<std::string>& args) {
  std::string text;
  for (const std::string& a : args) {
    if (!text.empty()) text += ' ';
    text.append("[").append(a).append("]");
  }
  return text;
}

inline std::string Msg(const std::string& text) { return "zervgen: " + text + "\n"; }
inline std::string WasSpecified(const std::string& opt) {
  return Msg("Option, \"" + opt + "\", was specified more than one once.");
}
inline std::string RequiresArgument(const std::string& opt) {
  return Msg("Option, \"" + opt + "\", requires an argument to be specified.");
}
inline std::string TooLong(const std::string& opt) {
  return Msg("The file name for \"" + opt + "\" is too long.");
}
inline std::string EmptyName(const std::string& opt) {
  return Msg("The file name for \"" + opt + "\" cannot be \"\"1.");
}
inline std::string ManifestNotStdout() {
  return Msg(
      "Option, \"-manifest\", cannot be '-': the manifest is written to a file, never to standard "
      "output.");
}

inline const std::string kOnlyOneRelation =
    Msg("Only one of \"-hu\", \"-te\", \"-ti\", \"-un\", and \"-up\" may be specified.");
inline const std::string kOnlyOneRowOption =
    Msg("Only one of \"-n\", \"-4\", \"-40\", and \"-400\" may be specified.");
inline std::string BadZstdLevel(const std::string& value) {
  return Msg("Option, \"-codec\", zstd level must be from 1 to 22, not '" + value + "'.");
}
inline std::string BadBloomList(const std::string& value) {
  return Msg("Option, \"-bloom\", must be a list of column names, not '" + value + "'.");
}
inline std::string BloomNoColumn(const std::string& name) {
  return Msg("Option, \"-bloom\", names no column of the relations written: '" + name + "'.");
}
inline const std::string kPageSizeBound =
    Msg("The Parquet page size must be from 1024 to 67108864 bytes.");
inline const std::string kOnlyOneFormat = Msg("Only one of \"-ff\" and \"-dc\" may be specified.");
inline const std::string kAtLeastRows = Msg("At least 100 rows must be specified.");
inline const std::string kNoMoreRows = Msg("No more than 100000000 rows may be specified.");
inline const std::string kScaleAtLeast = Msg("Scale must be at least 1.");
inline const std::string kScaleBound = Msg("Scale can not be greater than 10000.");
inline const std::string kFillBound = Msg("No more than 100 fill characters may be specified.");
inline std::string NotANumber(const std::string& opt, const std::string& value) {
  return Msg("Option, \"" + opt + "\", must be a whole number, not '" + value + "'.");
}
inline std::string DelimInNumbers(const std::string& c) {
  return Msg("Option, \"-dc\", cannot be '" + c + "': it occurs in numbers and dates.");
}
inline std::string DelimInFixedTexts(const std::string& c) {
  return Msg("Option, \"-dc\", cannot be '" + c +
             "': it occurs in the fixed texts of the text columns.");
}
inline const std::string kDelimLineEnd = Msg("Option, \"-dc\", cannot be a line end.");
inline const std::string kDelimNotAscii = Msg("Option, \"-dc\", must be a single ASCII character.");
inline const std::string kPartsBound = Msg("The number of parts must be from 1 to 1000.");
inline const std::string kThreadsBound = Msg("The number of threads must be from 1 to 1024.");
inline const std::string kPartWithoutParts =
    Msg("Option, \"-part\", requires \"-parts\" to be specified.");
inline std::string PartBound(int parts) {
  return Msg("Option, \"-part\", must be from 1 to the number of parts, " + std::to_string(parts) +
             ".");
}
inline const std::string kAllPartsToDash =
    Msg("Cannot write all parts to \"-\"; choose one with \"-part\".");
inline std::string ReportIsRelation(const std::string& name) {
  return Msg("Option, \"-r\", cannot be '" + name + "': a relation is written to that file.");
}
inline const std::string kCodecNeedsParquet =
    Msg("Option, \"-codec\", requires \"-parquet\" to be specified.");
inline const std::string kRowGroupNeedsParquet =
    Msg("Option, \"-rowgroup\", requires \"-parquet\" to be specified.");
inline const std::string kParquetAndFf =
    Msg("Only one of \"-parquet\" and \"-ff\" may be specified.");
inline const std::string kParquetAndDc =
    Msg("Only one of \"-parquet\" and \"-dc\" may be specified.");
inline std::string BadCodec(const std::string& value) {
  return Msg("Option, \"-codec\", must be none, snappy or zstd, not '" + value + "'.");
}
inline std::string BadCompress(const std::string& value) {
  return Msg(
      "Option, \"-compress\", must be zstd or gzip, with a level as zstd:N or gzip:N, not '" +
      value + "'.");
}
inline std::string BadCompressLevel(const std::string& value) {
  return Msg(
      "Option, \"-compress\", takes a zstd level from 1 to 19 and a gzip level from 1 to 9, not '" +
      value + "'.");
}
inline const std::string kParquetAndCompress = Msg(
    "Only one of \"-parquet\" and \"-compress\" may be specified (\"-codec\" compresses Parquet "
    "pages).");
inline const std::string kRowGroupBound =
    Msg("The number of rows per row group must be from 1000 to 16777216.");
inline const std::string kCannotDash =
    Msg("Cannot specify \"-\" without specifying one of\n-hu, -te, -ti, -un, -up.");

inline const std::string kSynopsis =
    "zervgen  [-hu | -te | -ti | -un | -up] [-n nRows | -4 | -40 | -400 | -s Scale]\n"
    "         [-f filename] [-fc nChars] [-r [reportFile]] [-ff]\n"
    "         [-dc delimChar] [-t tmpDir] [-help]\n";

inline std::string Unknown(const std::string& arg) {
  return "zervgen: Unknown option, '" + arg + "'.\n\nSynopsis:\n" + kSynopsis;
}

inline const std::string k513(513, 'a');
inline const std::string k514(514, 'a');

struct RejectCase {
  std::vector<std::string> args;
  std::string err;  // standard error after the banner
};

inline const RejectCase kRejectCases[] = {
    // Relation options: a repeat, then a second relation.
    {{"-hu", "-hu"}, WasSpecified("-hu")},
    {{"-te", "-te"}, WasSpecified("-te")},
    {{"-ti", "-ti"}, WasSpecified("-ti")},
    {{"-un", "-un"}, WasSpecified("-un")},
    {{"-up", "-up"}, WasSpecified("-up")},
    {{"-hu", "-te"}, kOnlyOneRelation},
    {{"-up", "-ti"}, kOnlyOneRelation},
    {{"-te", "-un", "-te"}, kOnlyOneRelation},
    {{"-hu", "-te", "-hu"}, kOnlyOneRelation},
    // -s
    {{"-s"}, RequiresArgument("-s")},
    {{"-s", "-n", "500"}, RequiresArgument("-s")},
    {{"-s", "-1"}, RequiresArgument("-s")},
    {{"-s", "0"}, kScaleAtLeast},
    {{"-s", "abc"}, kScaleAtLeast},
    {{"-s", " -5"}, kScaleAtLeast},
    {{"-s", "10001"}, kScaleBound},
    {{"-s", "99999999999999999999"}, kScaleBound},
    {{"-s", "2", "-n", "500"}, kOnlyOneRowOption},
    // -n
    {{"-n"}, RequiresArgument("-n")},
    {{"-n", "-5"}, RequiresArgument("-n")},
    {{"-40", "-n"}, RequiresArgument("-n")},
    {{"-n", "99"}, kAtLeastRows},
    {{"-n", "abc"}, kAtLeastRows},
    {{"-n", ""}, kAtLeastRows},
    {{"-n", "-"}, kAtLeastRows},
    {{"-n", " -500"}, kAtLeastRows},
    {{"-n", "100000001"}, kNoMoreRows},
    {{"-n", "99999999999999999999"}, kNoMoreRows},
    {{"-4", "-n", "500"}, kOnlyOneRowOption},
    {{"-n", "500", "-n", "600"}, kOnlyOneRowOption},
    // -fc
    {{"-fc"}, RequiresArgument("-fc")},
    {{"-fc", "-1"}, RequiresArgument("-fc")},
    {{"-fc", "101"}, kFillBound},
    {{"-fc", "65636"}, kFillBound},
    {{"-fc", " -5"}, kFillBound},
    {{"-fc", "7", "-fc", "8"}, WasSpecified("-fc")},
    {{"-fc", "7", "-fc", "0"}, WasSpecified("-fc")},
    // -f
    {{"-f"}, RequiresArgument("-f")},
    {{"-ti", "-f", "-n", "500"}, RequiresArgument("-f")},
    {{"-ti", "-f", "a", "-f", "b"}, WasSpecified("-f")},
    {{"-ti", "-f", k514}, TooLong("-f")},
    {{"-ti", "-f", ""}, EmptyName("-f")},
    {{"-f", "-"}, kCannotDash},
    // -r
    {{"-r", "a", "-r", "b"}, WasSpecified("-r")},
    {{"-r", "-r"}, WasSpecified("-r")},
    {{"-r", k514}, TooLong("-r")},
    {{"-r", ""}, EmptyName("-r")},
    // -t
    {{"-t"}, RequiresArgument("-t")},
    {{"-t", "a", "-t", "b"}, WasSpecified("-t")},
    {{"-t", k514}, TooLong("-t")},
    {{"-t", ""}, EmptyName("-t")},
    // -4, -40, -400
    {{"-4", "-4"}, kOnlyOneRowOption},
    {{"-40", "-400"}, kOnlyOneRowOption},
    {{"-n", "500", "-400"}, kOnlyOneRowOption},
    {{"-s", "2", "-40"}, kOnlyOneRowOption},
    // -ff and -dc
    {{"-ff", "-ff"}, WasSpecified("-ff")},
    {{"-ff", "-dc", ";"}, kOnlyOneFormat},
    {{"-dc", ";", "-ff"}, kOnlyOneFormat},
    {{"-ff", "-dc"}, kOnlyOneFormat},
    {{"-dc"}, RequiresArgument("-dc")},
    {{"-dc", "-n", "500"}, RequiresArgument("-dc")},
    {{"-dc", ";", "-dc", ","}, WasSpecified("-dc")},
    {{"-dc", ";", "-dc"}, WasSpecified("-dc")},
    // A delimiter that occurs in numbers or dates, ends a row, or is a byte
    // of a longer character.
    {{"-dc", "1"}, DelimInNumbers("1")},
    {{"-dc", "0x"}, DelimInNumbers("0")},
    {{"-dc", "-"}, DelimInNumbers("-")},
    {{"-dc", "."}, DelimInNumbers(".")},
    {{"-dc", "/"}, DelimInNumbers("/")},
    {{"-dc", "\n"}, kDelimLineEnd},
    {{"-dc", "\r"}, kDelimLineEnd},
    {{"-dc", "\xc3\xa9"}, kDelimNotAscii},
    // A number followed by other characters.
    {{"-n", "1000abc"}, NotANumber("-n", "1000abc")},
    {{"-n", "500 "}, NotANumber("-n", "500 ")},
    {{"-s", "1.5"}, NotANumber("-s", "1.5")},
    {{"-fc", "5x"}, NotANumber("-fc", "5x")},
    {{"-parts", "3x"}, NotANumber("-parts", "3x")},
    {{"-parts", "3", "-part", "1.0"}, NotANumber("-part", "1.0")},
    {{"-threads", "2k"}, NotANumber("-threads", "2k")},
    // -parts, -part, -threads
    {{"-parts"}, RequiresArgument("-parts")},
    {{"-parts", "0"}, kPartsBound},
    {{"-parts", "1001"}, kPartsBound},
    {{"-parts", "abc"}, kPartsBound},
    {{"-parts", "2", "-parts", "2"}, WasSpecified("-parts")},
    {{"-part", "1"}, kPartWithoutParts},
    {{"-part"}, RequiresArgument("-part")},
    {{"-parts", "3", "-part", "4"}, PartBound(3)},
    {{"-part", "0", "-parts", "3"}, PartBound(3)},
    {{"-parts", "3", "-part", "1", "-part", "1"}, WasSpecified("-part")},
    {{"-hu", "-f", "-", "-parts", "3"}, kAllPartsToDash},
    {{"-f", k513, "-parts", "10"}, TooLong("-f")},
    {{"-f", k513, "-parts", "100", "-part", "10"}, TooLong("-f")},
    {{"-threads"}, RequiresArgument("-threads")},
    {{"-threads", "0"}, kThreadsBound},
    {{"-threads", "1025"}, kThreadsBound},
    {{"-threads", "2", "-threads", "2"}, WasSpecified("-threads")},
    // A report named like a file of the run: a relation or a part written.
    {{"-n", "1000", "-r", "zerv.hun"}, ReportIsRelation("zerv.hun")},
    {{"-n", "1000", "-f", "data", "-r", "data.upd"}, ReportIsRelation("data.upd")},
    {{"-hu", "-r", "./zerv.hun"}, ReportIsRelation("./zerv.hun")},
    {{"-ti", "-f", "t", "-r", "t"}, ReportIsRelation("t")},
    {{"-hu", "-f", "zerv.rpt", "-r"}, ReportIsRelation("zerv.rpt")},
    {{"-f", "data", "-parts", "2", "-r", "data.ten.2"}, ReportIsRelation("data.ten.2")},
    {{"-hu", "-parts", "3", "-part", "2", "-r", "zerv.hun.2"}, ReportIsRelation("zerv.hun.2")},
    // Parquet: its options need it, it frames no text, one of three codecs.
    {{"-parquet", "-parquet"}, WasSpecified("-parquet")},
    {{"-codec", "zstd"}, kCodecNeedsParquet},
    {{"-rowgroup", "5000"}, kRowGroupNeedsParquet},
    {{"-parquet", "-ff"}, kParquetAndFf},
    {{"-dc", "|", "-parquet"}, kParquetAndDc},
    {{"-parquet", "-codec"}, RequiresArgument("-codec")},
    {{"-parquet", "-codec", "lz4"}, BadCodec("lz4")},
    {{"-parquet", "-codec", "none", "-codec", "zstd"}, WasSpecified("-codec")},
    {{"-parquet", "-rowgroup"}, RequiresArgument("-rowgroup")},
    {{"-parquet", "-rowgroup", "999"}, kRowGroupBound},
    {{"-parquet", "-rowgroup", "16777217"}, kRowGroupBound},
    {{"-parquet", "-rowgroup", "5000", "-rowgroup", "6000"}, WasSpecified("-rowgroup")},
    {{"-parquet", "-rowgroup", "5k"}, NotANumber("-rowgroup", "5k")},
    // The Parquet options for engines.
    {{"-parquet", "-codec", "zstd:0"}, BadZstdLevel("zstd:0")},
    {{"-parquet", "-codec", "zstd:23"}, BadZstdLevel("zstd:23")},
    {{"-parquet", "-codec", "zstd:"}, BadZstdLevel("zstd:")},
    {{"-parquet", "-codec", "zstd:+3"}, BadZstdLevel("zstd:+3")},
    {{"-parquet", "-codec", "zstd:99999999999999999999"},
     BadZstdLevel("zstd:99999999999999999999")},
    {{"-parquet", "-codec", "snappy:3"}, BadCodec("snappy:3")},
    {{"-codec", "zstd:5"}, kCodecNeedsParquet},
    {{"-pagesize", "4096"}, Msg("Option, \"-pagesize\", requires \"-parquet\" to be specified.")},
    {{"-parquet", "-pagesize"}, RequiresArgument("-pagesize")},
    {{"-parquet", "-pagesize", "1023"}, kPageSizeBound},
    {{"-parquet", "-pagesize", "67108865"}, kPageSizeBound},
    {{"-parquet", "-pagesize", "4k"}, NotANumber("-pagesize", "4k")},
    {{"-parquet", "-pagesize", "4096", "-pagesize", "4096"}, WasSpecified("-pagesize")},
    {{"-pageindex"}, Msg("Option, \"-pageindex\", requires \"-parquet\" to be specified.")},
    {{"-parquet", "-pageindex", "-pageindex"}, WasSpecified("-pageindex")},
    // -bloom: a list of the columns of the relations written, each once.
    // The cases refused after the codec is settled say -codec none, so that
    // a build without a codec library refuses them the same way.
    {{"-bloom", "key"}, Msg("Option, \"-bloom\", requires \"-parquet\" to be specified.")},
    {{"-parquet", "-bloom"}, RequiresArgument("-bloom")},
    {{"-parquet", "-bloom", "key", "-bloom", "name"}, WasSpecified("-bloom")},
    {{"-parquet", "-bloom", ""}, BadBloomList("")},
    {{"-parquet", "-bloom", "key,,name"}, BadBloomList("key,,name")},
    {{"-parquet", "-bloom", "key,"}, BadBloomList("key,")},
    {{"-parquet", "-bloom", "key,name,key"}, Msg("Option, \"-bloom\", cannot name 'key' twice.")},
    {{"-parquet", "-codec", "none", "-bloom", "key,nosuch"}, BloomNoColumn("nosuch")},
    {{"-parquet", "-codec", "none", "-bloom", "Key"}, BloomNoColumn("Key")},
    {{"-parquet", "-codec", "none", "-ti", "-bloom", "key,name"}, BloomNoColumn("name")},
    {{"-parquet", "-codec", "none", "-bloom", "fill"}, BloomNoColumn("fill")},
    {{"-parquet", "-codec", "none", "-n", "1000", "-r", "zerv.hun.parquet"},
     ReportIsRelation("zerv.hun.parquet")},
    {{"-parquet", "-codec", "none", "-parts", "2", "-r", "zerv.ten.2.parquet"},
     ReportIsRelation("zerv.ten.2.parquet")},
    // Compressed text: two codecs, their levels, not with Parquet.
    {{"-compress"}, RequiresArgument("-compress")},
    {{"-compress", "lz4"}, BadCompress("lz4")},
    {{"-compress", "zstd3"}, BadCompress("zstd3")},
    {{"-compress", ":3"}, BadCompress(":3")},
    {{"-compress", "zstd:0"}, BadCompressLevel("zstd:0")},
    {{"-compress", "zstd:20"}, BadCompressLevel("zstd:20")},
    {{"-compress", "gzip:10"}, BadCompressLevel("gzip:10")},
    {{"-compress", "gzip:"}, BadCompressLevel("gzip:")},
    {{"-compress", "gzip:-1"}, BadCompressLevel("gzip:-1")},
    {{"-compress", "zstd:1x"}, BadCompressLevel("zstd:1x")},
    {{"-compress", "zstd", "-compress", "gzip"}, WasSpecified("-compress")},
    {{"-parquet", "-compress", "zstd"}, kParquetAndCompress},
    {{"-hu", "-compress", "gzip", "-r", "zerv.hun.gz"}, ReportIsRelation("zerv.hun.gz")},
    {{"-compress", "zstd", "-parts", "2", "-r", "zerv.ten.2.zst"},
     ReportIsRelation("zerv.ten.2.zst")},
    {{"-verify", "-n", "1000", "-verify"}, WasSpecified("-verify")},
    // The machine forms: -json belongs to -verify, a check leaves no
    // manifest, and a manifest takes no name of the run's other files.
    {{"-json"}, Msg("Option, \"-json\", requires \"-verify\" to be specified.")},
    {{"-verify", "-json", "-json"}, WasSpecified("-json")},
    {{"-describe", "-describe"}, WasSpecified("-describe")},
    {{"-manifest"}, RequiresArgument("-manifest")},
    {{"-manifest", ""}, EmptyName("-manifest")},
    {{"-manifest", k514}, TooLong("-manifest")},
    {{"-manifest", "a", "-manifest", "b"}, WasSpecified("-manifest")},
    {{"-verify", "-manifest", "m"},
     Msg("Only one of \"-manifest\" and \"-verify\" may be specified.")},
    {{"-n", "1000", "-manifest", "zerv.ten"},
     Msg("Option, \"-manifest\", cannot be 'zerv.ten': a relation is written to that file.")},
    {{"-hu", "-parts", "2", "-manifest", "./zerv.hun.2"},
     Msg("Option, \"-manifest\", cannot be './zerv.hun.2': a relation is written to that file.")},
    {{"-r", "-manifest", "zerv.rpt"},
     Msg("Option, \"-manifest\", cannot be 'zerv.rpt': the report is written to that file.")},
    // Rows and a manifest never share standard output; "-r -" is a file named "-".
    {{"-hu", "-n", "100", "-f", "-", "-manifest", "-"}, ManifestNotStdout()},
    {{"-n", "100", "-manifest", "-"}, ManifestNotStdout()},
    {{"-r", "-", "-manifest", "-"}, ManifestNotStdout()},
    // Unrecognised arguments; the first error ends parsing.
    {{"-h"}, Unknown("-h")},
    {{"-HU"}, Unknown("-HU")},
    {{"-Help"}, Unknown("-Help")},
    {{"hu"}, Unknown("hu")},
    {{"-"}, Unknown("-")},
    {{"-n", "500", "600"}, Unknown("600")},
    {{"-x", "-hu", "-hu"}, Unknown("-x")},
    {{"-hu", "-hu", "-x"}, WasSpecified("-hu")},
    {{"-n", "99", "-help"}, kAtLeastRows},
};

}  // namespace zervgen_test

#endif  // ZERVGEN_TESTS_OPTIONS_CATALOG_H_
