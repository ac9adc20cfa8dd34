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
  char charSet[64];    // the texts' characters; unused for numbers
  bool twice = false;  // each text holds the field twice over

  bool operator==(const FieldLook&) const = default;
};

// The look of a field of `kind` and `width` in rows of `format`.
FieldLook LookOf(OutputKind kind, int width, bool last, const OutputFormat& format);

// Kinds whose bytes follow from the value alone; dates come from their own
// table already, fill text from a running stream.
inline bool Reusable(OutputKind kind) {
  return kind != OutputKind::kDate && kind != OutputKind::kFill;
}

// Where a field's text is and how long it is, in 16 bytes, so that it is
// copied with one move; `value` is the value it shows in a table's entry
// and unused elsewhere.
struct FieldText {
  const char* text;
  std::uint32_t size;
  std::int32_t value;
};
static_assert(sizeof(FieldText) == 16);

class FieldCache {
 public:
  static constexpr int kSlotBits = 9;
  static constexpr int kTextBytes = 96;  // longer fields are not kept

  FieldCache() { Clear(); }

  // Makes the table serve a field of `look`, forgetting what it held for
  // another.
  void Serve(const FieldLook& look) {
    if (look == look_) return;
    look_ = look;
    Clear();
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
    const FieldText* entry = EntryAt(FirstOffset(v));
    if (entry->value != value) {
      entry = EntryAt(SecondOffset(v));
      if (entry->value != value) return Miss(p, value, format(p));
    }
    const char* text = entry->text;
    const std::uint32_t size = entry->size;
    std::memcpy(p, text, 32);
    for (std::uint32_t i = 32; i < size; i += 32) std::memcpy(p + i, text + i, 32);
    return p + size;
  }

  // The byte offset of a value's first slot's entry from entries():
  // FirstSlot(v) times the entry's size, in one multiply, one shift and
  // one mask, which may be done for many values at once.
  static constexpr int kEntryBits = 4;
  static_assert(sizeof(FieldText) == std::size_t{1} << kEntryBits);
  static constexpr std::uint32_t kFirstFactor = 0x9E3779B1u;
  static constexpr int kOffsetShift = 32 - kSlotBits - kEntryBits;
  static constexpr std::uint32_t kOffsetMask = ((1u << kSlotBits) - 1u) << kEntryBits;
  static std::uint32_t FirstOffset(std::uint32_t v) {
    return ((v * kFirstFactor) >> kOffsetShift) & kOffsetMask;
  }
  // The same for the second slot.
  static constexpr std::uint32_t kSecondFactor = 0x85EBCA77u;
  static std::uint32_t SecondOffset(std::uint32_t v) {
    return ((v * kSecondFactor) >> kOffsetShift) & kOffsetMask;
  }
  // The entries: one that holds `value` at its first slot's offset is that
  // value's (its text and size, as Find hands them out); an entry that
  // matches stays as it is until the look changes.
  const FieldText* entries() const { return entries_; }
  const FieldText* EntryAt(std::uint32_t offset) const {
    return reinterpret_cast<const FieldText*>(reinterpret_cast<const char*>(entries_) + offset);
  }

  // Sets *piece to where the field of `value` is kept: its text and size,
  // from the table or made with format(*scratch); piece->value is left
  // unspecified. A new text takes a free one of its two slots, never one
  // already held, so that every text this hands out stays as it is until
  // the look changes; one that finds no free slot (or is too long) stays
  // in the scratch, which then moves on past it. The text may be read up
  // to kTextBytes bytes (a slot's) or to 32 bytes past its end (the
  // scratch's; the caller leaves that room).
  template <typename Format>
  [[gnu::always_inline]] void Find(std::int32_t value, char** scratch, FieldText* piece,
                                   const Format& format) {
    const auto v = static_cast<std::uint32_t>(value);
    const FieldText* entry = EntryAt(FirstOffset(v));
    if (entry->value != value) [[unlikely]] {
      entry = EntryAt(SecondOffset(v));
      if (entry->value != value) return Keep(value, scratch, piece, format(*scratch));
    }
    std::memcpy(piece, entry, sizeof *piece);
  }

 private:
  static constexpr int kSlots = 1 << kSlotBits;

  // Keeps the text just made at *scratch .. end in a free slot when it has
  // one, else leaves it in the scratch; counts the miss.
  void Keep(std::int32_t value, char** scratch, FieldText* piece, char* end) {
    ++misses_;
    char* text = *scratch;
    const std::ptrdiff_t n = end - text;
    piece->size = static_cast<std::uint32_t>(n);
    const auto v = static_cast<std::uint32_t>(value);
    std::uint32_t slot = FirstSlot(v);
    if (Held(slot)) slot = SecondSlot(v);
    if (n > kTextBytes || Held(slot)) {
      *scratch = end;
      piece->text = text;
      return;
    }
    std::memcpy(texts_[slot], text, static_cast<std::size_t>(n));
    entries_[slot] = FieldText{texts_[slot], static_cast<std::uint32_t>(n), value};
    piece->text = texts_[slot];
  }
  static constexpr std::uint32_t kProbeLookups = 4096;

  static std::uint32_t FirstSlot(std::uint32_t v) { return (v * kFirstFactor) >> (32 - kSlotBits); }
  static std::uint32_t SecondSlot(std::uint32_t v) {
    return (v * kSecondFactor) >> (32 - kSlotBits);
  }
  bool Held(std::uint32_t slot) const { return entries_[slot].text != nullptr; }

  // Empties every slot. An empty slot holds no text and, as its value, one
  // that neither of the two slot functions sends to it, so that no lookup
  // can take it for a value's entry.
  void Clear() {
    for (std::uint32_t slot = 0; slot < kSlots; ++slot) {
      std::uint32_t stranger = 0;
      while (FirstSlot(stranger) == slot || SecondSlot(stranger) == slot) ++stranger;
      entries_[slot] = FieldText{nullptr, 0, static_cast<std::int32_t>(stranger)};
    }
  }

  // Keeps the field just formatted at p .. end in a free one of its two
  // slots (else the first), and counts the miss.
  char* Miss(char* p, std::int32_t value, char* end) {
    const std::ptrdiff_t size = end - p;
    if (size <= kTextBytes) {
      const auto v = static_cast<std::uint32_t>(value);
      std::uint32_t slot = FirstSlot(v);
      if (Held(slot) && !Held(SecondSlot(v))) slot = SecondSlot(v);
      std::memcpy(texts_[slot], p, static_cast<std::size_t>(size));
      entries_[slot] = FieldText{texts_[slot], static_cast<std::uint32_t>(size), value};
    }
    ++misses_;
    return end;
  }

  // Where each slot's text is, and its value; first, so that an entry's
  // address is the table's and the offset.
  alignas(64) FieldText entries_[kSlots];
  alignas(64) char texts_[kSlots][kTextBytes];
  // No field yet: fill fields are never served, so no look equals this one.
  FieldLook look_{OutputKind::kFill, 0, false, 0, 0, {}};
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
