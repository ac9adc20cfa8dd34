// app/option_args.h: what the parts of the command-line parser share: the
// refusal of a command line (a status handed back from where it is found
// up to Main_parseArguments), the next argument of an option, numbers read
// the way "%ld" reads them, and the messages several options use. Nothing
// here prints or ends anything.
#ifndef ZERVGEN_SRC_APP_OPTION_ARGS_H_
#define ZERVGEN_SRC_APP_OPTION_ARGS_H_

#include "base/status.h"

namespace zervgen {

// The refusal of a command line: InvalidArgument whose what() is the whole
// formatted message, with its line end.
[[gnu::format(printf, 1, 2)]] Status Main_refuse(const char* format, ...);

// Hands the status of `expr` back from the calling function when it is a
// refusal; goes on otherwise.
#define RETURN_IF_REFUSED(expr)          \
  do {                                   \
    ::zervgen::Status refused_ = (expr); \
    if (!refused_.ok()) return refused_; \
  } while (false)

// Reads the decimal number of `option` into *value the way "%ld" does
// (leading blanks, a sign, digits; no number reads as 0), but saturates
// instead of wrapping, so a huge value never lands inside a valid range. A
// number followed by anything else ("1000abc", "1.5") is refused rather
// than cut short.
// REQUIRES: value != NULL
Status Main_readNumber(const char* option, const char* text, long long* value);

// The argument after argv[*cur], which then becomes *cur; null when there
// is none or it is an option.
// REQUIRES: argc > 0, argv != NULL, cur != NULL, 0 < *cur < argc
char* Main_getNextArgument(int argc, char** argv, int* cur);

// Messages used in several places; macros, so that each use is a literal
// format that the compiler checks.
#define MSG_WAS_SPECIFIED "%s: Option, \"%s\", was specified more than one once.\n"
#define MSG_REQUIRES_ARGUMENT "%s: Option, \"%s\", requires an argument to be specified.\n"

}  // namespace zervgen

#endif  // ZERVGEN_SRC_APP_OPTION_ARGS_H_
