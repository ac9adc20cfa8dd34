// app/option_args.cpp: the parser's shared readers.
#include "app/option_args.h"

#include <cctype>
#include <cstdarg>
#include <string>

#include "base/except.h"
#include "base/progname.h"
#include "base/util.h"

namespace zervgen {

Status Main_refuse(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  const std::string message = Util_Formatted(format, args);
  va_end(args);
  return Status::InvalidArgument(message);
}

Status Main_readNumber(const char* option, const char* text, long long* value) {
  CHECK_REQUIRE_TEXT(value != nullptr, "value != NULL");
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (std::isspace(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  const unsigned char* digits = p;
  long long number = 0;
  constexpr long long kLimit = 1000000000000LL;  // far beyond every bound
  for (; std::isdigit(*p); ++p) {
    if (number < kLimit) number = number * 10 + (*p - '0');
  }
  if (p != digits && *p != '\0') {
    return Main_refuse("%s: Option, \"%s\", must be a whole number, not '%s'.\n", programName,
                       option, text);
  }
  *value = negative ? -number : number;
  return Status::Ok();
}

char* Main_getNextArgument(int argc, char** argv, int* cur) {
  CHECK_REQUIRE(argc > 0);
  CHECK_REQUIRE_TEXT(argv != nullptr, "argv != NULL");
  CHECK_REQUIRE_TEXT(cur != nullptr, "cur != NULL");
  CHECK_REQUIRE(*cur > 0);
  CHECK_REQUIRE(*cur < argc);
  int next = *cur + 1;
  if (next == argc) return nullptr;
  if (argv[next][0] == '-' && argv[next][1] != '\0') return nullptr;
  *cur = next;
  return argv[next];
}

}  // namespace zervgen
