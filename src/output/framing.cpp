// output/framing.cpp: the framing and its four character sets, and the date
// texts of each framing.
#include <cstring>

#include "base/except.h"
#include "output/output.h"
#include "output/text.h"

namespace zervgen {

namespace {

using namespace output_detail;

char* PutDatePart(char* p, int n, bool twoDigits) {
  if (n < 10 && !twoDigits) {
    *p = static_cast<char>('0' + n);
    return p + 1;
  }
  std::memcpy(p, &kDigits2[n * 2], 2);
  return p + 2;
}

// "MM/DD/YYYY" with two digits, else "M/D/YYYY".
const DateText* MakeDateTexts(bool twoDigits) {
  auto* texts = new DateText[kDays]();
  for (int centuryDay = 0; centuryDay < kDays; ++centuryDay) {
    std::uint16_t day, month, year;
    Date_Convert(static_cast<std::uint16_t>(centuryDay), &day, &month, &year);
    char* start = texts[centuryDay].text;
    char* p = PutDatePart(start, month, twoDigits);
    *p++ = '/';
    p = PutDatePart(p, day, twoDigits);
    *p++ = '/';
    std::memcpy(p, &kDigits2[(year / 100) * 2], 2);
    std::memcpy(p + 2, &kDigits2[(year % 100) * 2], 2);
    texts[centuryDay].size = static_cast<std::uint8_t>(p + 4 - start);
  }
  return texts;
}

}  // namespace

namespace output_detail {

const DateText* DateTexts(bool fixed) {
  // A run touches only one of the two; they live as long as the process.
  if (fixed) {
    static const DateText* const fixedTexts = MakeDateTexts(true);
    return fixedTexts;
  }
  static const DateText* const delimitedTexts = MakeDateTexts(false);
  return delimitedTexts;
}

FieldContext ContextOf(const OutputFormat& format, std::int32_t* fillState) {
  return FieldContext{format.fixedFormat != 0,
                      format.delim,
                      format.fixed10,
                      format.fixed20,
                      format.varChar,
                      format.fill,
                      DateTexts(format.fixedFormat != 0),
                      fillState,
                      CodeSetIsBase(format.fixed10)};
}

FieldContext WriterContext(OutputFieldState* state, bool dates) {
  FieldContext context = ContextOf(state->format, &state->fillState);
  if (!dates) context.dates = nullptr;
  context.codeSetIsBase = false;
  return context;
}

}  // namespace output_detail

OutputFormat Output_MakeFormat(char delim, int fixedFormat) {
  CHECK_REQUIRE_TEXT(((delim == 0) && (fixedFormat)) || ((delim != 0) && (!fixedFormat)),
                     "((delim == 0) && (fixedFormat)) || ((delim != 0) && (! fixedFormat))");
  // The date texts are made now, before the columns take what memory
  // there is, so that writing the rows cannot run short of them.
  (void)DateTexts(fixedFormat != 0);
  OutputFormat format{};
  format.fixedFormat = fixedFormat;
  format.delim = fixedFormat ? 0 : delim;
  std::memcpy(format.fixed10, kDotBase, sizeof kDotBase);
  std::memcpy(format.fixed20, kBlankBase, sizeof kBlankBase);
  std::memcpy(format.varChar, kBlankBase, sizeof kBlankBase);
  std::memcpy(format.fill, kDotBase, sizeof kDotBase);
  if (fixedFormat || delim == ',') return format;
  for (char* set : {format.fixed10, format.fixed20, format.varChar, format.fill}) {
    Output_remap(set, delim, ',');
  }
  return format;
}

void Output_remap(char* charSet, char delim, char mapChar) {
  CHECK_REQUIRE_TEXT(charSet != nullptr, "charSet != NULL");
  CHECK_REQUIRE_TEXT(delim != 0, "delim != 0");
  CHECK_REQUIRE_TEXT(mapChar != 0, "mapChar != 0");
  for (int i = 0; i < 64; ++i) {
    if (charSet[i] == delim) {
      charSet[i] = mapChar;
      return;
    }
  }
}

bool Output_InFixedText(char c) {
  if (c == '\0') return false;
  for (const char* text : {kBenchmarks, kTheZervBenchmarks, kSiliconValley}) {
    if (std::strchr(text, c) != nullptr) return true;
  }
  return false;
}

}  // namespace zervgen
