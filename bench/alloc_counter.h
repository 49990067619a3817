// Counts the heap allocations of the whole program (operator new replaced
// for the benchmark binaries that link alloc_counter.cpp), and reads the
// heap bytes in use from the C library.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ycanbench {

// Allocations made so far through operator new, by any thread.
uint64_t allocations();
// Bytes the C library's heap has handed out and not had back.
size_t heapInUse();

}  // namespace ycanbench
