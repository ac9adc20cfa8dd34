// pq_rewrite: rewrites a Parquet file the way another writer with other
// codec settings might have: every page decompressed and compressed again
// (zstd pages at another level, snappy pages as literals only, which is
// valid snappy of other bytes), page headers and the footer's sizes and
// offsets made to fit. The values stay as they were, unless --change names
// a row group and column whose first data page gets its last byte changed
// before it is compressed again. For the tests of -verify.
//
//   pq_rewrite IN OUT [--zstd-level N] [--change GROUP COLUMN]   (1-based)
//
// Exit status 0 when OUT was written, 2 for a file it cannot rewrite.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "parquet/buffer.h"
#include "parquet/codec.h"
#include "parquet/thrift_reader.h"

namespace zervgen {
namespace {

[[noreturn]] void Die(const char* why) {
  std::fprintf(stderr, "pq_rewrite: %s\n", why);
  std::exit(2);
}

void PutVarint(std::string* out, std::uint64_t v) {
  while (v >= 0x80) {
    out->push_back(static_cast<char>((v & 0x7F) | 0x80));
    v >>= 7;
  }
  out->push_back(static_cast<char>(v));
}
void PutZigZag(std::string* out, std::int64_t v) {
  PutVarint(out, (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63));
}

void PutValue(std::string* out, const ThriftValue& v);

void PutStruct(std::string* out, const ThriftValue& v) {
  std::int16_t last = 0;
  for (const ThriftField& f : v.fields) {
    auto code = static_cast<std::uint8_t>(f.value.type);
    if (code == 1 || code == 2) code = f.value.number != 0 ? 1 : 2;
    const int delta = f.id - last;
    if (delta > 0 && delta <= 15) {
      out->push_back(static_cast<char>((delta << 4) | code));
    } else {
      out->push_back(static_cast<char>(code));
      PutZigZag(out, f.id);
    }
    last = f.id;
    if (code != 1 && code != 2) PutValue(out, f.value);
  }
  out->push_back(0);
}

void PutValue(std::string* out, const ThriftValue& v) {
  switch (v.type) {
    case ThriftType::kBoolTrue:
    case ThriftType::kBoolFalse:
      out->push_back(static_cast<char>(v.number != 0 ? 1 : 2));  // as a list element
      return;
    case ThriftType::kByte:
      out->push_back(static_cast<char>(v.number));
      return;
    case ThriftType::kI16:
    case ThriftType::kI32:
    case ThriftType::kI64:
      return PutZigZag(out, v.number);
    case ThriftType::kDouble:
      for (int i = 0; i < 8; ++i) out->push_back(static_cast<char>(v.number >> (8 * i)));
      return;
    case ThriftType::kBinary:
      PutVarint(out, v.bytes.size());
      out->append(v.bytes);
      return;
    case ThriftType::kList:
    case ThriftType::kSet: {
      const auto code = v.items.empty() ? 12 : static_cast<int>(v.items[0].type);
      if (v.items.size() < 15) {
        out->push_back(static_cast<char>((v.items.size() << 4) | code));
      } else {
        out->push_back(static_cast<char>(0xF0 | code));
        PutVarint(out, v.items.size());
      }
      for (const ThriftValue& item : v.items) PutValue(out, item);
      return;
    }
    case ThriftType::kMap:
      Die("maps are not rewritten");
    case ThriftType::kStruct:
      return PutStruct(out, v);
  }
}

ThriftValue* Field(ThriftValue* v, std::int16_t id) {
  for (ThriftField& f : v->fields) {
    if (f.id == id) return &f.value;
  }
  return nullptr;
}

// Valid snappy of only literals: the length, then literals of at most
// 65536 bytes each.
std::string SnappyLiterals(const char* p, std::size_t n) {
  std::string out;
  PutVarint(&out, n);
  for (std::size_t at = 0; at < n;) {
    const std::size_t len = std::min<std::size_t>(65536, n - at);
    if (len <= 60) {
      out.push_back(static_cast<char>((len - 1) << 2));
    } else {
      out.push_back(static_cast<char>(61 << 2));
      out.push_back(static_cast<char>((len - 1) & 0xFF));
      out.push_back(static_cast<char>((len - 1) >> 8));
    }
    out.append(p + at, len);
    at += len;
  }
  return out;
}

struct Settings {
  int zstdLevel = 1;
  long changeGroup = 0, changeColumn = 0;
};

// Each data page's new place and size, for the chunk's OffsetIndex.
using PagePlaces = std::vector<std::pair<std::int64_t, std::int64_t>>;

// Rewrites the pages of one column chunk to the end of *out; updates its
// metadata's sizes and offsets.
void RewriteChunk(const std::string& in, ThriftValue* chunk, bool change, const Settings& s,
                  std::string* out, PagePlaces* places) {
  ThriftValue* meta = Field(chunk, 3);
  if (meta == nullptr) Die("a column chunk without metadata");
  const auto codec = static_cast<ParquetCodec>(meta->Number(4, -1));
  ThriftValue* dict = Field(meta, 11);
  ThriftValue* data = Field(meta, 9);
  ThriftValue* size = Field(meta, 7);
  ThriftValue* plainSize = Field(meta, 6);
  if (data == nullptr || size == nullptr || plainSize == nullptr) Die("a chunk without offsets");
  std::size_t at = static_cast<std::size_t>(dict != nullptr ? dict->number : data->number);
  const std::size_t end = at + static_cast<std::size_t>(size->number);
  if (end > in.size()) Die("a chunk past the file's end");
  const auto start = static_cast<std::int64_t>(out->size());
  std::int64_t uncompressed = 0;
  bool firstData = true;
  ParquetCompressor compressor;
  compressor.SetZstdLevel(s.zstdLevel);
  while (at < end) {
    ThriftValue header;
    const std::size_t headSize = Thrift_ReadStruct(in.data() + at, end - at, &header);
    if (headSize == 0) Die("a page header that does not decode");
    const std::int64_t plain = header.Number(2, -1);
    const std::int64_t compressed = header.Number(3, -1);
    const bool isData = header.Number(1, -1) == 0;
    ParquetBuffer values;
    if (Parquet_Decompress(codec, in.data() + at + headSize, static_cast<std::size_t>(compressed),
                           static_cast<std::size_t>(plain), &values) != StatusCode::kOk) {
      Die("a page that does not decompress");
    }
    if (isData && firstData && change) values.data()[values.size() - 1] ^= 0x01;
    if (isData && firstData) {
      data->number = static_cast<std::int64_t>(out->size());
      firstData = false;
    }
    std::string body;
    if (codec == ParquetCodec::kSnappy) {
      body = SnappyLiterals(values.data(), values.size());
    } else {
      ParquetBuffer packed;
      if (compressor.Compress(codec, values.data(), values.size(), &packed) != StatusCode::kOk) {
        Die("a page that does not compress");
      }
      body.assign(packed.data(), packed.size());
    }
    Field(&header, 3)->number = static_cast<std::int64_t>(body.size());
    std::string head;
    PutStruct(&head, header);
    if (isData) {
      places->emplace_back(static_cast<std::int64_t>(out->size()),
                           static_cast<std::int64_t>(head.size() + body.size()));
    }
    out->append(head);
    out->append(body);
    uncompressed += static_cast<std::int64_t>(head.size()) + plain;
    at += headSize + static_cast<std::size_t>(compressed);
  }
  if (dict != nullptr) dict->number = start;
  Field(chunk, 2)->number = start;
  size->number = static_cast<std::int64_t>(out->size()) - start;
  plainSize->number = uncompressed;
}

int Rewrite(const char* inPath, const char* outPath, const Settings& s) {
  std::ifstream file(inPath, std::ios::binary);
  const std::string in((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (in.size() < 12 || in.compare(in.size() - 4, 4, "PAR1") != 0) Die("not a Parquet file");
  std::uint32_t length = 0;
  std::memcpy(&length, in.data() + in.size() - 8, 4);
  if (length > in.size() - 12) Die("a footer longer than the file");
  ThriftValue footer;
  if (Thrift_ReadStruct(in.data() + in.size() - 8 - length, length, &footer) == 0) {
    Die("a footer that does not decode");
  }
  std::string out = "PAR1";
  ThriftValue* groups = Field(&footer, 4);
  std::vector<PagePlaces> places;
  for (std::size_t g = 0; groups != nullptr && g < groups->items.size(); ++g) {
    ThriftValue& group = groups->items[g];
    ThriftValue* columns = Field(&group, 1);
    const auto first = static_cast<std::int64_t>(out.size());
    std::int64_t total = 0, compressed = 0;
    for (std::size_t c = 0; c < columns->items.size(); ++c) {
      const bool change =
          static_cast<long>(g) + 1 == s.changeGroup && static_cast<long>(c) + 1 == s.changeColumn;
      places.emplace_back();
      RewriteChunk(in, &columns->items[c], change, s, &out, &places.back());
      ThriftValue* meta = Field(&columns->items[c], 3);
      total += meta->Number(6, 0);
      compressed += meta->Number(7, 0);
    }
    if (ThriftValue* v = Field(&group, 2)) v->number = total;
    if (ThriftValue* v = Field(&group, 5)) v->number = first;
    if (ThriftValue* v = Field(&group, 6)) v->number = compressed;
  }
  // The page indexes after the row groups: column indexes as they were,
  // offset indexes with the pages' new places.
  std::size_t next = 0;
  for (std::size_t g = 0; groups != nullptr && g < groups->items.size(); ++g) {
    for (ThriftValue& chunk : Field(&groups->items[g], 1)->items) {
      const PagePlaces& pages = places[next++];
      ThriftValue* at = Field(&chunk, 6);
      if (at != nullptr) {
        const auto from = static_cast<std::size_t>(at->number);
        at->number = static_cast<std::int64_t>(out.size());
        out.append(in, from, static_cast<std::size_t>(Field(&chunk, 7)->number));
      }
      at = Field(&chunk, 4);
      if (at == nullptr) continue;
      ThriftValue index;
      if (Thrift_ReadStruct(in.data() + at->number,
                            in.size() - static_cast<std::size_t>(at->number), &index) == 0) {
        Die("an offset index that does not decode");
      }
      ThriftValue* locations = Field(&index, 1);
      if (locations->items.size() != pages.size()) Die("an offset index of other pages");
      for (std::size_t i = 0; i < pages.size(); ++i) {
        Field(&locations->items[i], 1)->number = pages[i].first;
        Field(&locations->items[i], 2)->number = pages[i].second;
      }
      std::string bytes;
      PutStruct(&bytes, index);
      at->number = static_cast<std::int64_t>(out.size());
      Field(&chunk, 5)->number = static_cast<std::int64_t>(bytes.size());
      out.append(bytes);
    }
  }
  std::string meta;
  PutStruct(&meta, footer);
  out.append(meta);
  const auto size = static_cast<std::uint32_t>(meta.size());
  out.append(reinterpret_cast<const char*>(&size), 4);
  out.append("PAR1");
  std::ofstream(outPath, std::ios::binary)
      .write(out.data(), static_cast<std::streamsize>(out.size()));
  return 0;
}

}  // namespace
}  // namespace zervgen

int main(int argc, char** argv) {
  if (argc < 3) zervgen::Die("usage: pq_rewrite IN OUT [--zstd-level N] [--change GROUP COLUMN]");
  zervgen::Settings s;
  for (int i = 3; i < argc; ++i) {
    if (std::strcmp(argv[i], "--zstd-level") == 0 && i + 1 < argc) {
      s.zstdLevel = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--change") == 0 && i + 2 < argc) {
      s.changeGroup = std::atol(argv[++i]);
      s.changeColumn = std::atol(argv[++i]);
    } else {
      zervgen::Die("unknown argument");
    }
  }
  return zervgen::Rewrite(argv[1], argv[2], s);
}
