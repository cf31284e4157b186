// Counting of heap allocations made on chosen threads, for the tests that prove a real-time or
// conversion thread allocates nothing. Link allocation_count.cpp into the test program itself:
// it replaces the global allocation functions.
#pragma once

#include <cstddef>

namespace quenwick::testing {

// Installs the counting (a sanitizer's hooks, where there is one); a failed assertion if it
// cannot be.
void startCountingAllocations();
// Allocations on this thread are counted from now on, or no longer.
void watchThisThread(bool watch);
std::size_t allocationsCounted();
void resetAllocationCount();
// Makes two allocations, through malloc and through new, and says how many were counted: 2 on
// a watched thread, or the count is blind.
std::size_t countedOfTwoAllocations();

}  // namespace quenwick::testing
