// output/cache.cpp: the reused-text tables' making and release.
#include "output/cache.h"

#include <cstdlib>
#include <new>

#include "base/env.h"

namespace zervgen {

namespace output_detail {

FieldLook LookOf(OutputKind kind, int width, bool last, const OutputFormat& format) {
  FieldLook look{kind, width, last, format.fixedFormat, format.delim, {}};
  const char* set = kind == OutputKind::kFixed10   ? format.fixed10
                    : kind == OutputKind::kFixed20 ? format.fixed20
                    : kind == OutputKind::kVarChar ? format.varChar
                                                   : nullptr;
  if (set != nullptr) std::memcpy(look.charSet, set, sizeof look.charSet);
  return look;
}

FieldCache* CacheFor(OutputFieldCaches* caches, int index, const FieldLook& look) {
  if (!caches->keepTexts) return nullptr;
  void*& table = caches->tables[index];
  if (table == nullptr) {
    void* memory = Env_Reallocate(nullptr, sizeof(FieldCache));
    if (memory == nullptr) return nullptr;
    table = new (memory) FieldCache();
  }
  auto* cache = static_cast<FieldCache*>(table);
  cache->Serve(look);
  return cache->on() ? cache : nullptr;
}

}  // namespace output_detail

OutputFieldCaches::~OutputFieldCaches() {
  for (void* table : tables) {
    if (table == nullptr) continue;
    static_cast<output_detail::FieldCache*>(table)->~FieldCache();
    std::free(table);
  }
  std::free(block);
  for (void* texts : dates) std::free(texts);
}

}  // namespace zervgen
