// app/help.h: the help text, the codecs of this build as the help and the
// messages name them, and the rule that refuses a delimiter (which the help
// lists and the parser applies).
#ifndef ZERVGEN_SRC_APP_HELP_H_
#define ZERVGEN_SRC_APP_HELP_H_

#include <string>

#include "parquet/format.h"

namespace zervgen {

// The text of -help: a blank line, the synopsis, the options.
std::string Main_helpText();
// The synopsis printed with the help text and after an unknown option.
std::string Main_synopsisText();
// The codecs this build writes, as -codec names them: "snappy zstd none".
std::string Main_builtCodecs();
// The codecs of -compress this build has: "zstd gzip" ("none": neither).
std::string Main_builtTextCodecs();
// The Debian package a codec's library comes from, for the messages that
// tell a user how to get a build that has it.
const char* Main_codecPackage(ParquetCodec codec);

// Why a character cannot delimit the fields of a row, if it cannot: a
// delimited row can be split again only when the delimiter occurs in no
// field. The drawn characters of the text fields are remapped, but digits,
// '-', '.' and '/' occur in numbers and dates, the fixed texts of the text
// fields are shown as they are, a line end ends the row, and a byte of a
// longer character is no character of its own.
enum class MainDelimiterFault { kNone, kNotAscii, kLineEnd, kInNumbers, kInFixedTexts };
MainDelimiterFault Main_delimiterFault(unsigned char c);

}  // namespace zervgen

#endif  // ZERVGEN_SRC_APP_HELP_H_
