// Counts heap allocations made on the threads a test watches, to prove that a real-time or
// conversion thread allocates nothing. allocation_count.cpp replaces the global operator new, so
// it is linked into the test program itself.
#pragma once

#include <atomic>
#include <cstddef>

namespace quenwick::testing {

inline std::atomic<std::size_t> allocationsCounted{0};
// Set on a thread to count its allocations.
inline thread_local bool watched = false;

}  // namespace quenwick::testing
