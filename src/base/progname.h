// base/progname.h: the program's identity: its name as invoked, the first word
// of every user message ("%s: ..."), and its version. Below every other
// module, so that any of them can name the program without reaching into
// the run driver or the signals.
#ifndef ZERVGEN_SRC_BASE_PROGNAME_H_
#define ZERVGEN_SRC_BASE_PROGNAME_H_

namespace zervgen {

// The version in the report header, of --version and in Parquet files.
inline constexpr const char* kVersion = "1.0";

// The program name as invoked; "" until option parsing begins.
extern const char* programName;

}  // namespace zervgen

#endif  // ZERVGEN_SRC_BASE_PROGNAME_H_
