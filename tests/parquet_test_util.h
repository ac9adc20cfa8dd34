// parquet_test_util.h: a minimal Parquet reader for the tests, written apart
// from the writer: a Thrift compact-protocol decoder into a generic tree, the
// RLE/bit-packed hybrid decoder, and a file reader that walks the footer and
// decodes every page of every column chunk back to its values.
#ifndef ZERVGEN_TESTS_PARQUET_TEST_UTIL_H_
#define ZERVGEN_TESTS_PARQUET_TEST_UTIL_H_

#include <snappy.h>
#include <zstd.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace zervgen_test {

// A decoded Thrift value: an integer (bool, i8 .. i64), a binary, a list or
// a struct (fields by id).
struct TValue {
  std::int64_t i = 0;
  std::string bin;
  std::vector<TValue> list;
  std::map<int, TValue> fields;

  const TValue& operator[](int id) const {
    auto it = fields.find(id);
    if (it == fields.end()) throw std::runtime_error("no field " + std::to_string(id));
    return it->second;
  }
  bool has(int id) const { return fields.count(id) != 0; }
};

class ThriftReader {
 public:
  ThriftReader(const std::string& bytes, std::size_t at) : b_(&bytes), at_(at) {}
  std::size_t at() const { return at_; }

  std::uint64_t Varint() {
    std::uint64_t v = 0;
    for (int shift = 0;; shift += 7) {
      const auto byte = static_cast<std::uint8_t>(Byte());
      v |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
      if ((byte & 0x80) == 0) return v;
    }
  }
  std::int64_t ZigZag() {
    const std::uint64_t u = Varint();
    return static_cast<std::int64_t>(u >> 1) ^ -static_cast<std::int64_t>(u & 1);
  }

  TValue Struct() {
    TValue s;
    int last = 0;
    for (;;) {
      const auto h = static_cast<std::uint8_t>(Byte());
      if (h == 0) return s;
      const int type = h & 0x0F;
      const int delta = h >> 4;
      const int id = delta != 0 ? last + delta : static_cast<int>(ZigZag());
      if (s.has(id)) throw std::runtime_error("repeated field " + std::to_string(id));
      if (id <= last) throw std::runtime_error("field ids not rising");
      last = id;
      if (type == 1 || type == 2) {
        s.fields[id].i = type == 1 ? 1 : 0;
      } else {
        s.fields[id] = Value(type);
      }
    }
  }

 private:
  char Byte() {
    if (at_ >= b_->size()) throw std::runtime_error("thrift past end");
    return (*b_)[at_++];
  }
  TValue Value(int type) {
    TValue v;
    switch (type) {
      case 3:
        v.i = static_cast<std::int8_t>(Byte());
        break;
      case 4:
      case 5:
      case 6:
        v.i = ZigZag();
        break;
      case 8: {
        const std::uint64_t n = Varint();
        if (n > b_->size() - at_) throw std::runtime_error("binary past end");
        v.bin = b_->substr(at_, n);
        at_ += n;
        break;
      }
      case 9: {
        const auto h = static_cast<std::uint8_t>(Byte());
        std::uint64_t n = h >> 4;
        if (n == 15) n = Varint();
        for (std::uint64_t k = 0; k < n; ++k) v.list.push_back(Value(h & 0x0F));
        break;
      }
      case 12:
        v = Struct();
        break;
      default:
        throw std::runtime_error("thrift type " + std::to_string(type));
    }
    return v;
  }

  const std::string* b_;
  std::size_t at_;
};

// The hybrid's `n` values of `bitWidth` bits from `data`; throws when the
// runs do not make exactly what is asked (beyond the padding of the last
// bit-packed group) or run past the end.
inline std::vector<std::uint32_t> DecodeRleHybrid(const std::string& data, int bitWidth,
                                                  std::size_t n) {
  std::vector<std::uint32_t> out;
  ThriftReader r(data, 0);
  while (out.size() < n) {
    const std::uint64_t h = r.Varint();
    std::size_t at = r.at();
    if (h & 1) {
      const std::size_t count = (h >> 1) * 8;
      const std::size_t bytes = (h >> 1) * static_cast<std::size_t>(bitWidth);
      if (at + bytes > data.size()) throw std::runtime_error("bit-packed past end");
      for (std::size_t k = 0; k < count; ++k) {
        std::uint64_t v = 0;
        for (int bit = 0; bit < bitWidth; ++bit) {
          const std::size_t pos = k * bitWidth + bit;
          v |= static_cast<std::uint64_t>((data[at + pos / 8] >> (pos % 8)) & 1) << bit;
        }
        if (out.size() < n) out.push_back(static_cast<std::uint32_t>(v));
      }
      r = ThriftReader(data, at + bytes);
    } else {
      const std::size_t count = h >> 1;
      const int bytes = (bitWidth + 7) / 8;
      if (at + bytes > data.size()) throw std::runtime_error("rle past end");
      std::uint32_t v = 0;
      for (int k = 0; k < bytes; ++k)
        v |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(data[at + k])) << (8 * k);
      if (count == 0 || out.size() + count > n) throw std::runtime_error("rle run too long");
      out.insert(out.end(), count, v);
      r = ThriftReader(data, at + bytes);
    }
  }
  if (r.at() != data.size()) throw std::runtime_error("hybrid bytes left over");
  return out;
}

inline std::string Decompress(int codec, const std::string& page, std::size_t size) {
  std::string out;
  if (codec == 0) {
    out = page;
  } else if (codec == 1) {
    if (!snappy::Uncompress(page.data(), page.size(), &out)) throw std::runtime_error("snappy");
  } else if (codec == 6) {
    out.resize(size);
    const std::size_t got = ZSTD_decompress(out.data(), size, page.data(), page.size());
    if (ZSTD_isError(got) || got != size) throw std::runtime_error("zstd");
  } else {
    throw std::runtime_error("codec " + std::to_string(codec));
  }
  if (out.size() != size) throw std::runtime_error("page size");
  return out;
}

// The PLAIN values of a page body: fixed-width values as their bytes,
// byte arrays as their contents.
inline std::vector<std::string> DecodePlain(int physical, const std::string& body, std::size_t n) {
  std::vector<std::string> out;
  std::size_t at = 0;
  for (std::size_t k = 0; k < n; ++k) {
    std::size_t size = physical == 1 ? 4 : 8;
    if (physical == 6) {
      std::uint32_t len;
      if (at + 4 > body.size()) throw std::runtime_error("plain past end");
      std::memcpy(&len, body.data() + at, 4);
      at += 4;
      size = len;
    }
    if (at + size > body.size()) throw std::runtime_error("plain past end");
    out.push_back(body.substr(at, size));
    at += size;
  }
  if (at != body.size()) throw std::runtime_error("plain bytes left over");
  return out;
}

// A whole file: its footer, and each column's values over all row groups.
struct ParquetFileContents {
  TValue meta;
  std::vector<std::vector<std::string>> columns;
  std::vector<std::vector<int>> pageCounts;  // [row group][column]: data pages
};

inline std::int64_t ReadChunk(const std::string& file, const TValue& cm,
                              std::vector<std::string>* values) {
  const int physical = static_cast<int>(cm[1].i);
  const int codec = static_cast<int>(cm[4].i);
  std::int64_t at = cm.has(11) ? cm[11].i : cm[9].i;
  const std::int64_t end = at + cm[7].i;
  std::vector<std::string> dict;
  std::int64_t pages = 0, got = 0;
  while (at < end) {
    ThriftReader r(file, static_cast<std::size_t>(at));
    const TValue ph = r.Struct();
    const std::string body = Decompress(codec, file.substr(r.at(), ph[3].i), ph[2].i);
    at = static_cast<std::int64_t>(r.at()) + ph[3].i;
    if (ph[1].i == 2) {
      if (!dict.empty() || got != 0) throw std::runtime_error("dictionary page not first");
      dict = DecodePlain(physical, body, ph[7][1].i);
      continue;
    }
    if (ph[1].i != 0) throw std::runtime_error("page type");
    const TValue& dp = ph[5];
    const std::size_t n = dp[1].i;
    ++pages;
    if (dp[2].i == 0) {
      for (auto& v : DecodePlain(physical, body, n)) values->push_back(v);
    } else if (dp[2].i == 8) {
      const auto indices = DecodeRleHybrid(body.substr(1), body[0], n);
      for (std::uint32_t k : indices) values->push_back(dict.at(k));
    } else {
      throw std::runtime_error("encoding");
    }
    got += n;
  }
  if (at != end || got != cm[5].i) throw std::runtime_error("chunk size or count");
  return pages;
}

inline ParquetFileContents ReadParquet(const std::string& file) {
  if (file.size() < 12 || file.compare(0, 4, "PAR1") != 0 ||
      file.compare(file.size() - 4, 4, "PAR1") != 0) {
    throw std::runtime_error("magic");
  }
  std::uint32_t len;
  std::memcpy(&len, file.data() + file.size() - 8, 4);
  const std::size_t start = file.size() - 8 - len;
  ThriftReader r(file, start);
  ParquetFileContents out;
  out.meta = r.Struct();
  if (r.at() != file.size() - 8) throw std::runtime_error("footer length");
  const std::size_t nColumns = out.meta[2].list.size() - 1;
  out.columns.resize(nColumns);
  for (const TValue& rg : out.meta[4].list) {
    out.pageCounts.emplace_back();
    for (std::size_t c = 0; c < nColumns; ++c) {
      out.pageCounts.back().push_back(
          static_cast<int>(ReadChunk(file, rg[1].list.at(c)[3], &out.columns[c])));
    }
  }
  return out;
}

}  // namespace zervgen_test

#endif  // ZERVGEN_TESTS_PARQUET_TEST_UTIL_H_
