// app/help.cpp: the help text and the synopsis. The relation options and
// file suffixes in them come from the catalogue; the options beyond the
// classic set are listed after its text.
#include "app/help.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/main_options.h"
#include "base/util.h"
#include "output/compress.h"
#include "parquet/codec.h"
#include "run/catalog.h"

namespace zervgen {
namespace {

// Options beyond the classic set, listed after its help text; %s stands for
// the lines that tell the codecs of this build (CodecsHelpLines).
constexpr char kMoreHelp[] =
    "More options:\n"
    "        -parts N    Splits each generated table into N part files, 1 to\n"
    "                    1000.  Part K is the table's file name with \".K\"\n"
    "                    appended (zerv.hun.1 ... zerv.hun.N) and holds rows\n"
    "                    (K-1)*n/N to K*n/N-1 (rounded down) of the n rows, so\n"
    "                    the parts in order make up the whole table.\n"
    "        -part K     Writes only part K of the N parts.  With one of -hu,\n"
    "                    -te, -ti, -un, -up and -f -, it goes to standard output.\n"
    "        -threads N  Uses N threads, 1 to 1024.  The default is every core\n"
    "                    the program may run on.  The output is the same for any N.\n"
    "        -parquet    Writes each table as a Parquet file with typed columns\n"
    "                    (zerv.hun.parquet ...; parts zerv.hun.K.parquet) instead\n"
    "                    of text.  Not with -ff or -dc.\n"
    "        -codec C    Compresses the Parquet pages with C: snappy (the\n"
    "                    default), zstd or none.  Needs -parquet.\n"
    "%s"
    "        -rowgroup R Puts R rows in each Parquet row group, 1000 to\n"
    "                    16777216 (default 1048576).  Needs -parquet.\n"
    "        -verify     Writes nothing: reads the files that the same command\n"
    "                    without -verify writes (with -f -, standard input) and\n"
    "                    compares them byte for byte with what it would write.\n"
    "                    Prints a line per file, \"NAME: OK (R rows)\" or\n"
    "                    \"NAME: FAILED: ...\" with the first difference, and\n"
    "                    exits with 0 when all are OK, 1 otherwise.  -r is\n"
    "                    ignored; no temporary files are made.\n"
    "        -json       With -verify: prints one JSON object per file instead\n"
    "                    of its line (for tools; see docs/interface.md).\n"
    "        -describe   Writes nothing: checks the command line as a run of it\n"
    "                    would and prints what the run is (its options, its\n"
    "                    relations and columns, the files it writes) as one\n"
    "                    JSON document.\n"
    "        -manifest F After a complete run, writes a JSON record of it to the\n"
    "                    new file F: the -describe document and every file\n"
    "                    written with its size.  Not with -verify.\n"
    "        --help      Prints this help text and exits.\n"
    "        --version   Prints the program name and version and exits.\n";

// The Parquet options for query engines, listed after everything else.
const char* const kParquetEngineHelp =
    "\n"
    "Parquet options for query engines (each needs -parquet):\n"
    "        -codec zstd:N  Compresses with zstd at level N, 1 to 22 (zstd alone\n"
    "                    is level 3).\n"
    "        -pagesize B Makes data pages of about B bytes of values before\n"
    "                    compression, 1024 to 67108864 (default 1048576).\n"
    "        -pageindex  Writes a column index and an offset index for every\n"
    "                    column chunk, before the footer, so that readers can\n"
    "                    skip pages by their minimum and maximum.\n"
    "        -bloom COLUMNS  Writes a bloom filter of each column of COLUMNS\n"
    "                    (names as -describe lists them, split by commas) for\n"
    "                    every row group, after its column chunks, so that\n"
    "                    readers can skip the row groups that cannot hold a\n"
    "                    value; about 1 in 100 absent values passes.\n"
    "With -verify, a Parquet file is compared by what a reader decodes from it:\n"
    "its metadata apart from sizes and offsets, every page's header and values,\n"
    "and its bloom filters, so pages compressed by another codec library\n"
    "version or level verify OK.\n";

// Writing to object storage, listed last.
const char* const kObjectStorageHelp =
    "\n"
    "Object storage:\n"
    "        -f s3://BUCKET/PREFIX writes each file as an object of an S3\n"
    "                    bucket, named as the file would be (PREFIX.hun,\n"
    "                    PREFIX.hun.3.zst, PREFIX.hun.parquet); -manifest\n"
    "                    s3://BUCKET/NAME writes the manifest so.  The\n"
    "                    credentials, region and endpoint are those of\n"
    "                    AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY,\n"
    "                    AWS_SESSION_TOKEN, AWS_REGION and AWS_ENDPOINT_URL (a\n"
    "                    local server's URL, whose objects are named\n"
    "                    URL/BUCKET/KEY).  An object appears only when it is\n"
    "                    complete, and an existing one is refused before\n"
    "                    anything is generated.  With -verify, the objects are\n"
    "                    read and compared.\n";

// Removing a run's objects, for tools that remake a part; after the rest.
const char* const kRemoveObjectHelp =
    "        -remove-object NAME=ETAG removes the run's object NAME (as\n"
    "                    -describe names it) when its ETag is ETAG (as -verify\n"
    "                    -json tells it), and does nothing else; repeatable,\n"
    "                    all or none: when one object's ETag is another, none is\n"
    "                    removed.  A file, or a name the run does not write, is\n"
    "                    refused.\n"
    "        -head tells each object of the run as a JSON line with its size and\n"
    "                    ETag (a HEAD; no byte is read), and does nothing else.\n";

// The Debian package a codec's library comes from, for the messages that
// tell a user how to get a build that has it.
}  // namespace

const char* Main_codecPackage(ParquetCodec codec) {
  return codec == ParquetCodec::kZstd ? "libzstd-dev" : "libsnappy-dev";
}

// The codecs this build writes, as -codec names them: "snappy zstd none".
std::string Main_builtCodecs() {
  std::string names;
  for (ParquetCodec codec :
       {ParquetCodec::kSnappy, ParquetCodec::kZstd, ParquetCodec::kUncompressed}) {
    if (!Parquet_CodecBuiltIn(codec)) continue;
    if (!names.empty()) names += ' ';
    names += Parquet_CodecName(codec);
  }
  return names;
}

std::string Main_builtTextCodecs() {
  std::string names;
  for (TextCodec codec : {TextCodec::kZstd, TextCodec::kGzip}) {
    if (!Compress_BuiltIn(codec)) continue;
    if (!names.empty()) names += ' ';
    names += Compress_Name(codec);
  }
  return names.empty() ? "none" : names;
}

namespace {

// The help lines under -codec: which codecs this build has and, for those it
// lacks, the libraries it was built without.
std::string CodecsHelpLines() {
  const char* const indent = "                    ";
  std::string text = std::string(indent) + "This build has: " + Main_builtCodecs() + ".\n";
  std::string missing;
  for (ParquetCodec codec : {ParquetCodec::kSnappy, ParquetCodec::kZstd}) {
    if (!Parquet_CodecBuiltIn(codec)) missing += std::string(" ") + Main_codecPackage(codec);
  }
  if (!missing.empty()) text += std::string(indent) + "It was built without:" + missing + ".\n";
  return text;
}

// The lines of -compress, and the codecs this build lacks.
std::string CompressHelpLines() {
  std::string text;
  Util_Appendf(&text,
               "\nCompressed text:\n"
               "        -compress C Compresses each text file with C: zstd or gzip, at a\n"
               "                    level given as zstd:N (1 to %d, default %d) or gzip:N\n"
               "                    (1 to %d, default %d).  Files take the suffix \".zst\" or\n"
               "                    \".gz\" after their whole name (zerv.hun.zst, parts\n"
               "                    zerv.hun.K.zst; -f NAME writes NAME.zst unless NAME ends\n"
               "                    so); -f - writes the compressed bytes.  Each run of\n"
               "                    4096 or 8192 rows, counted from a table's first row, is\n"
               "                    one zstd frame or gzip member, so the bytes are the same\n"
               "                    for any -threads, and the parts decompressed in order\n"
               "                    are the text of the whole table.  With -verify, the text\n"
               "                    of each file is compared.  Not with -parquet.\n",
               kZstdMaxLevel, kZstdDefaultLevel, kGzipMaxLevel, kGzipDefaultLevel);
  std::string missing;
  for (TextCodec codec : {TextCodec::kZstd, TextCodec::kGzip}) {
    if (!Compress_BuiltIn(codec)) missing += std::string(" ") + Compress_Package(codec);
  }
  if (!missing.empty()) {
    text += "                    This build was built without:" + missing + ".\n";
  }
  return text;
}

// Whether the -part paragraph of kMoreHelp names every relation option (a
// word of its own, before a comma or a blank): its lines are written by hand.
constexpr bool PartHelpNamesEveryOption() {
  const std::string_view text(kMoreHelp);
  const std::string_view part =
      text.substr(text.find("-part K"), text.find("-threads N") - text.find("-part K"));
  for (const GenRelation& relation : kGenRelations) {
    const std::string_view option(relation.option);
    bool named = false;
    for (std::size_t at = part.find(option); at != std::string_view::npos && !named;
         at = part.find(option, at + 1)) {
      const char after = part[at + option.size()];
      named = (part[at - 1] == ' ') && (after == ',' || after == ' ');
    }
    if (!named) return false;
  }
  return true;
}
static_assert(PartHelpNamesEveryOption(), "the -part help lists every relation option");

// The indent of an option's explanation, and the widest line of one.
constexpr std::size_t kHelpIndent = 14;
constexpr std::size_t kHelpWidth = 74;

// The words of a list of every relation's `item`: "a,", "b,", "and c" (for
// `conjunction` "and"), `tail` ending the last word.
std::vector<std::string> ListWords(const char* conjunction,
                                   const std::function<std::string(int)>& item, const char* tail) {
  std::vector<std::string> words;
  for (int i = 0; i < kGenRelationCount; ++i) {
    if (i + 1 < kGenRelationCount) {
      words.push_back(item(i) + ",");
    } else {
      words.push_back((i > 0 ? std::string(conjunction) + " " : std::string()) + item(i) + tail);
    }
  }
  return words;
}

// Appends lines of an option's explanation: `lead`, then `words`, each line
// filled up to kHelpWidth columns.
void AppendFilled(std::string* text, const std::string& lead,
                  const std::vector<std::string>& words) {
  std::string line = std::string(kHelpIndent, ' ') + lead;
  for (const std::string& word : words) {
    if (line.size() + 1 + word.size() > kHelpWidth && line.size() > kHelpIndent) {
      *text += line + "\n";
      line = std::string(kHelpIndent, ' ') + word;
    } else {
      line += (line.size() > kHelpIndent ? " " : "") + word;
    }
  }
  *text += line + "\n";
}

}  // namespace

std::string Main_helpText() {
  std::string text(1, '\n');
  text += Main_synopsisText();
  text += '\n';
  for (int i = 0; i < kGenRelationCount; ++i) {
    const GenRelation& relation = Gen_RelationListed(i);
    Util_Appendf(&text, "%s%-6sGenerate just the %s table.\n", i == 0 ? "where   " : "        ",
                 relation.option, relation.helpName);
  }
  const auto option = [](int i) { return std::string(Gen_RelationListed(i).option); };
  const auto suffix = [](int i) {
    return "\"." + std::string(Gen_RelationListed(i).suffix) + "\"";
  };
  text += "        -f    Specifies the full path to the file that will contain the\n";
  AppendFilled(&text, "generated table if one of", ListWords("or", option, " is"));
  text +=
      "              specified.  In this case, it may be, \"-\", in which case\n"
      "              the table is written to standard output.  If all the tables\n"
      "              are to be generated, the file name specifies the prefix name\n";
  AppendFilled(&text, "for each table, which will be suffixed with",
               ListWords("and", suffix, ").  The default prefix name"));
  text += "              is \"zerv\".\n";
  Util_Appendf(
      &text, "%s%s%s%s%s%s\n",
      "        -n    Specifies the number of rows to generate.  Must be between\n              100 and 100000000, and defaults to 100000, the size of the\n              40 megabyte database.\n        -4    Generate the 4 megabyte database.\n        -40   Generate the 40 megabyte database.\n        -400  Generate the 400 megabyte database.\n        -s    Specify the Scale Factor of the tables.\n",
      "        -fc   Specifies the number of characters in the fill column.\n              The default is 0 -- no fill column.\n        -r    Specifies the optional report is to be generated.  If the\n              report file name is not specified, it defaults to \"zerv.rpt\".\n        -ff   Specifies that the columns are to be in fixed format.  The\n              default is <delimChar> separated, variable format.\n        -dc   Sets the field delimiter to delimChar.  The default is ','.\n              To specify a tab as the delimiter character, use the word \"tab\".\n",
      "        -t    Specifies the directory where temporary files are to be\n              created.  The default is the current directory.\n        -help Prints this help text and exits.\n\nNOTE:   ",
      Gen_OptionList("", "", ", ", ", and ").c_str(),
      " are mutually exclusive.\n        -n, -4, -40, -400, -s are mutually exclusive.\n        -ff and -dc are mutually exclusive.\n",
      "");
  Util_Appendf(&text, kMoreHelp, CodecsHelpLines().c_str());
  // The printable delimiters refused, from the same rule that refuses them.
  char refused[96];
  std::size_t n = 0;
  for (unsigned char c = '!'; c <= '~'; ++c) {
    if (Main_delimiterFault(c) != MainDelimiterFault::kNone) refused[n++] = static_cast<char>(c);
  }
  refused[n] = '\0';
  Util_Appendf(&text,
               "\nDelimiters:\n"
               "        -dc refuses a delimiter that can occur in a field: a line end, a\n"
               "        character beyond ASCII,%s and each of\n"
               "        %s\n",
               Main_delimiterFault(' ') != MainDelimiterFault::kNone ? " a blank," : "", refused);
  text += CompressHelpLines();
  text += kParquetEngineHelp;
  text += kObjectStorageHelp;
  if (ZERVGEN_HAVE_CURL == 0) {
    text += "                    This build was built without: libcurl4-openssl-dev.\n";
  }
  text += kRemoveObjectHelp;
  return text;
}

std::string Main_synopsisText() {
  std::string text;
  Util_Appendf(&text, "%-*s[%s] %s", 9, "zervgen", Gen_OptionList("", "", " | ", " | ").c_str(),
               "[-n nRows | -4 | -40 | -400 | -s Scale]\n");
  Util_Appendf(&text, "%-*s%s", 9, "", "[-f filename] [-fc nChars] [-r [reportFile]] [-ff]\n");
  Util_Appendf(&text, "%-*s%s", 9, "", "[-dc delimChar] [-t tmpDir] [-help]\n");
  return text;
}

}  // namespace zervgen
