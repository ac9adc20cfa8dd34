// base/json.cpp: the JSON writer.
#include "base/json.h"

#include <cstdio>

#include "base/except.h"

namespace zervgen {
namespace {

// The length of the valid UTF-8 sequence at the start of `s` (2 to 4
// bytes), or 0 when it is not one: overlong forms, surrogates and code
// points beyond U+10FFFF are not.
std::size_t Utf8Length(std::string_view s) {
  const auto b = [&s](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = b(0);
  std::size_t n = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    n = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    n = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    n = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (s.size() < n) return 0;
  if (b(1) < low || b(1) > high) return 0;
  for (std::size_t i = 2; i < n; ++i) {
    if (b(i) < 0x80 || b(i) > 0xBF) return 0;
  }
  return n;
}

}  // namespace

std::string Json_Escaped(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    char hex[8];
    if (c >= 0x80) {
      const std::size_t n = Utf8Length(bytes.substr(i));
      if (n > 0) {
        out.append(bytes.substr(i, n));
        i += n;
        continue;
      }
      std::snprintf(hex, sizeof hex, "\\udc%02x", c);
      out += hex;
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7F) {
      std::snprintf(hex, sizeof hex, "\\u%04x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
    ++i;
  }
  return out;
}

void JsonWriter::NewLine() {
  if (indent_ == 0) return;
  text_ += '\n';
  text_.append(levels_.size() * static_cast<std::size_t>(indent_), ' ');
}

void JsonWriter::BeforeValue() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (levels_.empty()) return;
  CHECK_REQUIRE_TEXT(!levels_.back().object, "a member has its name");
  if (!levels_.back().empty) text_ += indent_ == 0 ? ", " : ",";
  levels_.back().empty = false;
  NewLine();
}

JsonWriter& JsonWriter::Key(std::string_view name) {
  CHECK_REQUIRE_TEXT(!levels_.empty() && levels_.back().object && !afterKey_, "inside an object");
  if (!levels_.back().empty) text_ += indent_ == 0 ? ", " : ",";
  levels_.back().empty = false;
  NewLine();
  text_ += '"';
  text_ += Json_Escaped(name);
  text_ += "\": ";
  afterKey_ = true;
  return *this;
}

JsonWriter& JsonWriter::BeginObject() {
  BeforeValue();
  text_ += '{';
  levels_.push_back({true, true});
  return *this;
}

JsonWriter& JsonWriter::BeginArray() {
  BeforeValue();
  text_ += '[';
  levels_.push_back({false, true});
  return *this;
}

void JsonWriter::End(char close) {
  CHECK_REQUIRE_TEXT(!levels_.empty() && !afterKey_, "an open object or array");
  const bool empty = levels_.back().empty;
  levels_.pop_back();
  if (!empty) NewLine();
  text_ += close;
}

JsonWriter& JsonWriter::EndObject() {
  End('}');
  return *this;
}

JsonWriter& JsonWriter::EndArray() {
  End(']');
  return *this;
}

JsonWriter& JsonWriter::String(std::string_view bytes) {
  BeforeValue();
  text_ += '"';
  text_ += Json_Escaped(bytes);
  text_ += '"';
  return *this;
}

JsonWriter& JsonWriter::StringOrNull(const char* text) {
  return text == nullptr ? Null() : String(text);
}

JsonWriter& JsonWriter::Int(long long value) {
  BeforeValue();
  text_ += std::to_string(value);
  return *this;
}

JsonWriter& JsonWriter::Bool(bool value) {
  BeforeValue();
  text_ += value ? "true" : "false";
  return *this;
}

JsonWriter& JsonWriter::Null() {
  BeforeValue();
  text_ += "null";
  return *this;
}

}  // namespace zervgen
