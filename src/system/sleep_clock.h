// How long the machine has slept: the difference between a clock that counts the time asleep and
// one that stops then. Only its growth means anything; a run compares two readings.
#pragma once

#include <chrono>
#include <functional>

namespace quenwick {

std::chrono::nanoseconds timeSlept();

// A steady clock that stops while the machine sleeps, as Linux's and macOS's steady clocks do.
std::chrono::steady_clock::time_point awakeNow();

// Where a test's scripted layer keeps a sleep of its own, run control reads it through this.
using SleepClock = std::function<std::chrono::nanoseconds()>;

}  // namespace quenwick
