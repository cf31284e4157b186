#include <windows.h>

#include "system/sleep_clock.h"

namespace quenwick {

// The performance counter goes on while the machine sleeps; the unbiased interrupt time (in
// 100 ns units) does not.
std::chrono::nanoseconds timeSlept() {
  LARGE_INTEGER counter{};
  LARGE_INTEGER frequency{};
  ULONGLONG unbiased = 0;
  QueryPerformanceCounter(&counter);
  QueryPerformanceFrequency(&frequency);
  QueryUnbiasedInterruptTime(&unbiased);
  const long long f = frequency.QuadPart > 0 ? frequency.QuadPart : 1;
  const long long counted =
      counter.QuadPart / f * 1'000'000'000LL + counter.QuadPart % f * 1'000'000'000LL / f;
  return std::chrono::nanoseconds(counted - static_cast<long long>(unbiased) * 100);
}

// The steady clock is the performance counter, which counts sleep; the unbiased interrupt time
// does not.
std::chrono::steady_clock::time_point awakeNow() {
  ULONGLONG unbiased = 0;
  QueryUnbiasedInterruptTime(&unbiased);
  return std::chrono::steady_clock::time_point(
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(
          std::chrono::nanoseconds(static_cast<long long>(unbiased) * 100)));
}

}  // namespace quenwick
