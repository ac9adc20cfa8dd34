// base/json.h: JSON text for the tools that read zervgen: a writer of one
// value (objects, arrays, strings, numbers, true, false, null), compact on
// one line or indented. Strings are bytes: valid UTF-8 is kept as it is,
// each byte of an invalid sequence is written as \udcXX (the escape that
// Python's os.fsdecode makes of it, so os.fsencode gives the bytes back),
// and control characters, '"' and '\\' are escaped.
#ifndef ZERVGEN_SRC_BASE_JSON_H_
#define ZERVGEN_SRC_BASE_JSON_H_

#include <string>
#include <string_view>
#include <vector>

namespace zervgen {

class JsonWriter {
 public:
  // indent 0: one line; else each member and element on a line of its own,
  // indented this many blanks a level.
  explicit JsonWriter(int indent = 0) : indent_(indent) {}

  JsonWriter& BeginObject();
  JsonWriter& EndObject();
  JsonWriter& BeginArray();
  JsonWriter& EndArray();
  // The name of the next member. REQUIRES: inside an object
  JsonWriter& Key(std::string_view name);
  JsonWriter& String(std::string_view bytes);
  JsonWriter& Int(long long value);
  JsonWriter& Bool(bool value);
  JsonWriter& Null();
  // A string, or null for a null pointer.
  JsonWriter& StringOrNull(const char* text);

  // The text so far; complete once every object and array is ended.
  const std::string& text() const { return text_; }

 private:
  void BeforeValue();
  void NewLine();
  void End(char close);

  struct Level {
    bool object;
    bool empty;
  };
  int indent_;
  std::string text_;
  std::vector<Level> levels_;
  bool afterKey_ = false;
};

// `bytes` as the body of a JSON string (without the quotes).
std::string Json_Escaped(std::string_view bytes);

}  // namespace zervgen

#endif  // ZERVGEN_SRC_BASE_JSON_H_
