#include "system/process_facts.h"

#include <gtest/gtest.h>

namespace quenwick {
namespace {

// Windows' creation times, in 100 ns units; its clock moves a tick (156250 units) at a time, so
// a launcher and the child it starts at once may carry the same time.
constexpr std::uint64_t kChild = 133'000'000'000'000'000;
constexpr std::uint64_t kTick = 156'250;

TEST(ParentByCreation, AParentIsNeverYoungerThanItsChild) {
  const struct {
    std::uint64_t parentCreated;
    bool parent;
  } rows[] = {
      {kChild - kTick, true},   // made a tick before
      {kChild, true},           // the same tick: not provably younger
      {kChild + 1, false},      // made after: a stranger that took the pid
      {kChild + kTick, false},  // a tick after
  };
  for (const auto& row : rows) {
    EXPECT_EQ(parentByCreation(row.parentCreated, kChild), row.parent) << row.parentCreated;
  }
}

}  // namespace
}  // namespace quenwick
