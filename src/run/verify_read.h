// run/verify_read.h: what the check of a Parquet file reads it with: bytes
// at an offset (pread, short reads and EINTR handled), and the comparison
// of decoded Thrift values field by field.
#ifndef ZERVGEN_SRC_RUN_VERIFY_READ_H_
#define ZERVGEN_SRC_RUN_VERIFY_READ_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/status.h"
#include "parquet/thrift_reader.h"

namespace zervgen {

// Reads `n` bytes at `offset` of the file open at `fd` into `out`. Ok, or
// why they could not be had, in what(): IoError "read error at byte offset
// ...: <the system's reason>", or Corrupt "truncated (...)".
Status Gen_ReadAt(int fd, std::uint64_t offset, std::size_t n, char* out);

// Whether two decoded values are the same (a bool's two encodings alike).
bool Gen_SameThrift(const ThriftValue& a, const ThriftValue& b);

// Whether two structs have the same fields, in the same order, with the
// same values apart from those `ignored` says (which must be there in
// both, but may hold other values).
template <typename Ignored>
bool Gen_SameThriftExcept(const ThriftValue& a, const ThriftValue& b, Ignored ignored) {
  if (a.fields.size() != b.fields.size()) return false;
  for (std::size_t i = 0; i < a.fields.size(); ++i) {
    const std::int16_t id = a.fields[i].id;
    if (id != b.fields[i].id) return false;
    if (!ignored(id) && !Gen_SameThrift(a.fields[i].value, b.fields[i].value)) return false;
  }
  return true;
}

// The list elements of field `id`, or null when it is no list.
const std::vector<ThriftValue>* Gen_ThriftList(const ThriftValue& v, std::int16_t id);

}  // namespace zervgen

#endif  // ZERVGEN_SRC_RUN_VERIFY_READ_H_
