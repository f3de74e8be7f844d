#pragma once

#include <cstddef>

namespace shared {

// Installing and publishing make and free buffers of up to 17 MiB by the
// hundred (bodies, decoded chunks, pieces). glibc gives each one above its
// mmap threshold fresh pages of the kernel (a page fault and a cleared page
// every 4 KiB) and hands them back when it is freed; measured on a fresh
// install, that was a third of the process's CPU time. Called once at the
// start of a program, this keeps buffers of up to 32 MiB in the heap and
// freed memory there for the next ones: the peak of memory in use is what
// it was, and what was freed is not given back until the program ends.
void keepFreedMemoryForReuse();

// Asks the kernel to back the whole 2 MiB pages within Data (an allocation
// of Size bytes) with huge pages where it offers them on request
// (transparent huge pages in "madvise" mode, the usual default): a 16 MiB
// buffer then takes 8 page faults instead of 4096, and the advice stays
// with the heap's memory for the buffers that reuse it. Nothing happens for
// smaller buffers or where the system has no such pages.
void adviseHugePages(void* Data, std::size_t Size);

} // namespace shared
