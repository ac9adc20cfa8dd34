// run/verify_map.h: comparing bytes with a file's where they lie in the
// page cache, through a mapping. A file cut short under the mapping raises
// a bus error on the read of a page it no longer has; the comparison then
// ends with "not the same" rather than the run.
#ifndef ZERVGEN_SRC_RUN_VERIFY_MAP_H_
#define ZERVGEN_SRC_RUN_VERIFY_MAP_H_

#include <cstddef>

namespace zervgen {

// Puts the bus-error handler of mapped comparisons in place while it lives
// (when another is not in place already), and the action before back.
class GenBusErrorGuard {
 public:
  GenBusErrorGuard();
  ~GenBusErrorGuard();
  GenBusErrorGuard(const GenBusErrorGuard&) = delete;
  GenBusErrorGuard& operator=(const GenBusErrorGuard&) = delete;
  bool ready() const { return ready_; }

 private:
  bool installed_ = false;
  bool ready_ = false;
};

// Whether the `n` mapped bytes at `mapped` are those at `data`; false also
// when reading them raised a bus error. [low, high) is the mapping they lie
// in: a bus error anywhere in its pages is the comparison's.
// REQUIRES: a GenBusErrorGuard is ready
bool Gen_SameMapped(const char* low, const char* high, const char* mapped, const char* data,
                    std::size_t n);

}  // namespace zervgen

#endif  // ZERVGEN_SRC_RUN_VERIFY_MAP_H_
