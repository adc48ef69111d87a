// Software prefetch of whole records.
#pragma once

#include <cstddef>
#include <cstdint>

namespace norvex {

// Asks for every cache line of [p, p + size) at once: records read at random places in a
// mapping larger than the caches then miss together instead of one after another. A record
// need not start on a line boundary.
inline void prefetch_lines(const void* p, std::size_t size) {
  if (size == 0) return;
  const auto start = reinterpret_cast<std::uintptr_t>(p);
  for (std::uintptr_t line = start & ~std::uintptr_t{63}; line < start + size; line += 64) {
    __builtin_prefetch(reinterpret_cast<const void*>(line));
  }
}

}  // namespace norvex
