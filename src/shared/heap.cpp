#include "shared/heap.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif
#if defined(__linux__)
#include <sys/mman.h>
#endif

#include <cstdint>

namespace shared {

void keepFreedMemoryForReuse()
{
#if defined(__GLIBC__)
  // Setting either turns glibc's dynamic thresholds off. 32 MiB is the
  // largest mmap threshold glibc takes on 64-bit systems.
  mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
  mallopt(M_TRIM_THRESHOLD, 512 * 1024 * 1024);
#endif
}

void adviseHugePages(void* Data, std::size_t Size)
{
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t HugePage = 2 * 1024 * 1024;
  const std::uintptr_t Begin = (reinterpret_cast<std::uintptr_t>(Data) + HugePage - 1) & ~(HugePage - 1);
  const std::uintptr_t End = (reinterpret_cast<std::uintptr_t>(Data) + Size) & ~(HugePage - 1);
  if (End > Begin)
    madvise(reinterpret_cast<void*>(Begin), End - Begin, MADV_HUGEPAGE);
#else
  (void)Data;
  (void)Size;
#endif
}

} // namespace shared
