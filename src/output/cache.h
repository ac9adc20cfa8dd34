// output/cache.h: reused field text for the row formatter, one table per
// field position, kept by whoever formats rows.
#ifndef ZERVGEN_SRC_OUTPUT_CACHE_H_
#define ZERVGEN_SRC_OUTPUT_CACHE_H_

#include <cstdint>
#include <cstring>

#include "output/output.h"

namespace zervgen::output_detail {

// Reused field text. Many columns hold few distinct values (a hundred, say),
// so a field's framed bytes, blanks and delimiter included, are kept per
// value in a small direct-mapped table of the row formatter's thread and
// copied when the value comes again. A table belongs to whoever formats the
// rows (OutputFieldCaches) and serves later calls while the field's framing
// and character set stay the same; it switches itself off when most values
// turn out to be new.

// What a field's bytes depend on besides its value.
struct FieldLook {
  OutputKind kind;
  int width;
  bool last;
  int fixed;
  char delim;
  char charSet[64];  // the texts' characters; unused for numbers

  bool operator==(const FieldLook&) const = default;
};

// The look of a field of `kind` and `width` in rows of `format`.
FieldLook LookOf(OutputKind kind, int width, bool last, const OutputFormat& format);

// Kinds whose bytes follow from the value alone; dates come from their own
// table already, fill text from a running stream.
inline bool Reusable(OutputKind kind) {
  return kind != OutputKind::kDate && kind != OutputKind::kFill;
}

class FieldCache {
 public:
  static constexpr int kSlotBits = 9;
  static constexpr int kTextBytes = 96;  // longer fields are not kept

  // Makes the table serve a field of `look`, forgetting what it held for
  // another.
  void Serve(const FieldLook& look) {
    if (look == look_) return;
    look_ = look;
    ++generation_;
    tagBase_ = static_cast<std::uint64_t>(generation_) << 32;
    lookups_ = 0;
    misses_ = 0;
    decided_ = false;
    on_ = true;
  }
  bool on() const { return on_; }

  // Counts `lookups` more lookups, one per row a call of the formatter wrote
  // with the table, and decides once, when kProbeLookups are reached,
  // whether the table pays. Counting per call keeps the count out of the
  // row loop; the decision comes at the end of a call, and the bytes never
  // depend on it.
  void Account(std::uint32_t lookups) {
    if (decided_) return;
    lookups_ += lookups;
    if (lookups_ < kProbeLookups) return;
    decided_ = true;
    on_ = misses_ * 2 <= lookups_;
  }

  // Writes the field of `value` at p, from the table or with format(p), and
  // returns its end. May write up to kTextBytes bytes from p. A value may
  // sit in either of two slots, so that two values seldom keep pushing
  // each other out.
  template <typename Format>
  [[gnu::always_inline]] char* Put(char* p, std::int32_t value, const Format& format) {
    const auto v = static_cast<std::uint32_t>(value);
    const std::uint64_t tag = tagBase_ | v;
    std::uint32_t slot = FirstSlot(v);
    if (tags_[slot] != tag) {
      slot = SecondSlot(v);
      if (tags_[slot] != tag) return Miss(p, v, tag, format(p));
    }
    const char* text = texts_[slot];
    const int size = sizes_[slot];
    std::memcpy(p, text, 32);
    for (int i = 32; i < size; i += 32) std::memcpy(p + i, text + i, 32);
    return p + size;
  }

  // Where the field of `value` is kept: its text and size, from the table
  // or made with format(*scratch). A new text takes a free one of its two
  // slots, never one already held, so that every text this returns stays
  // as it is until the look changes; one that finds no free slot (or is
  // too long) stays in the scratch, which then moves on past it. The
  // returned text may be read up to kTextBytes bytes (a slot's) or to 32
  // bytes past its end (the scratch's; the caller leaves that room).
  template <typename Format>
  [[gnu::always_inline]] const char* Find(std::int32_t value, char** scratch, std::uint32_t* size,
                                          const Format& format) {
    const auto v = static_cast<std::uint32_t>(value);
    const std::uint64_t tag = tagBase_ | v;
    std::uint32_t slot = FirstSlot(v);
    if (tags_[slot] != tag) {
      slot = SecondSlot(v);
      if (tags_[slot] != tag) return Keep(v, tag, scratch, size, format(*scratch));
    }
    *size = sizes_[slot];
    return texts_[slot];
  }

 private:
  static constexpr int kSlots = 1 << kSlotBits;

  // Keeps the text just made at *scratch .. end in a free slot when it has
  // one, else leaves it in the scratch; counts the miss.
  const char* Keep(std::uint32_t v, std::uint64_t tag, char** scratch, std::uint32_t* size,
                   char* end) {
    ++misses_;
    char* text = *scratch;
    const std::ptrdiff_t n = end - text;
    *size = static_cast<std::uint32_t>(n);
    std::uint32_t slot = FirstSlot(v);
    if (Held(slot)) slot = SecondSlot(v);
    if (n > kTextBytes || Held(slot)) {
      *scratch = end;
      return text;
    }
    std::memcpy(texts_[slot], text, static_cast<std::size_t>(n));
    sizes_[slot] = static_cast<std::uint8_t>(n);
    tags_[slot] = tag;
    return texts_[slot];
  }
  static constexpr std::uint32_t kProbeLookups = 4096;

  static std::uint32_t FirstSlot(std::uint32_t v) { return (v * 0x9E3779B1u) >> (32 - kSlotBits); }
  static std::uint32_t SecondSlot(std::uint32_t v) { return (v * 0x85EBCA77u) >> (32 - kSlotBits); }
  bool Held(std::uint32_t slot) const { return tags_[slot] >> 32 == generation_; }

  // Keeps the field just formatted at p .. end in a free one of its two
  // slots (else the first), and counts the miss.
  char* Miss(char* p, std::uint32_t v, std::uint64_t tag, char* end) {
    const std::ptrdiff_t size = end - p;
    if (size <= kTextBytes) {
      std::uint32_t slot = FirstSlot(v);
      if (Held(slot) && !Held(SecondSlot(v))) slot = SecondSlot(v);
      std::memcpy(texts_[slot], p, static_cast<std::size_t>(size));
      sizes_[slot] = static_cast<std::uint8_t>(size);
      tags_[slot] = tag;
    }
    ++misses_;
    return end;
  }

  alignas(64) char texts_[kSlots][kTextBytes];
  std::uint64_t tags_[kSlots] = {};  // generation and value; generation 0 is never used
  std::uint8_t sizes_[kSlots] = {};
  // No field yet: fill fields are never served, so no look equals this one.
  FieldLook look_{OutputKind::kFill, 0, false, 0, 0, {}};
  std::uint32_t generation_ = 0;
  std::uint64_t tagBase_ = 0;  // generation_ in the tags' high half
  std::uint32_t lookups_ = 0;
  std::uint32_t misses_ = 0;
  bool decided_ = false;
  bool on_ = false;
};

// The table of field `index` in `caches`, made at its first use; null when
// it cannot be had or does not pay for this field.
FieldCache* CacheFor(OutputFieldCaches* caches, int index, const FieldLook& look);

}  // namespace zervgen::output_detail

#endif  // ZERVGEN_SRC_OUTPUT_CACHE_H_
