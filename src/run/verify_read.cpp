// run/verify_read.cpp: reading and comparing for the Parquet check.
#include "run/verify_read.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zervgen {
namespace {

bool IsBool(ThriftType t) { return t == ThriftType::kBoolTrue || t == ThriftType::kBoolFalse; }

bool SameFields(const ThriftValue& a, const ThriftValue& b) {
  if (a.fields.size() != b.fields.size()) return false;
  for (std::size_t i = 0; i < a.fields.size(); ++i) {
    if (a.fields[i].id != b.fields[i].id || !Gen_SameThrift(a.fields[i].value, b.fields[i].value)) {
      return false;
    }
  }
  return true;
}

}  // namespace

Status Gen_ReadAt(int fd, std::uint64_t offset, std::size_t n, char* out) {
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = ::pread(fd, out + got, n - got, static_cast<off_t>(offset + got));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      return Status::IoError({}, "read error at byte offset " + std::to_string(offset + got),
                             errno);
    }
    if (r == 0) {
      return Status::Corrupt(
          {}, "truncated (the file ends at byte offset " + std::to_string(offset + got) + ")");
    }
    got += static_cast<std::size_t>(r);
  }
  return Status::Ok();
}

bool Gen_SameThrift(const ThriftValue& a, const ThriftValue& b) {
  if (a.type != b.type && !(IsBool(a.type) && IsBool(b.type))) return false;
  if (a.number != b.number || a.bytes != b.bytes || a.items.size() != b.items.size()) return false;
  for (std::size_t i = 0; i < a.items.size(); ++i) {
    if (!Gen_SameThrift(a.items[i], b.items[i])) return false;
  }
  return SameFields(a, b);
}

const std::vector<ThriftValue>* Gen_ThriftList(const ThriftValue& v, std::int16_t id) {
  const ThriftValue* f = v.Field(id);
  return f != nullptr && f->type == ThriftType::kList ? &f->items : nullptr;
}

}  // namespace zervgen
