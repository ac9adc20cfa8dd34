// run/value_type.h: what a field's value means, for the formats and the
// catalogue that describe columns by type.
#ifndef ZERVGEN_SRC_RUN_VALUE_TYPE_H_
#define ZERVGEN_SRC_RUN_VALUE_TYPE_H_

#include <cstdint>

namespace zervgen {

// What a field's value means, for formats that keep types (the text
// formats show every kind as text).
enum class GenValueType : std::uint8_t {
  kInt32,    // a whole number
  kDecimal,  // a number with two decimals, shown whole (its value is the whole part)
  kDouble,   // a whole number held as a double
  kDate,     // a day number
  kText,     // the text a text field makes of its value
};

}  // namespace zervgen

#endif  // ZERVGEN_SRC_RUN_VALUE_TYPE_H_
