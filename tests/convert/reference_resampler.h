// The resampler written out the plain way, to compare the real one against: a working sequence
// built in full, one position after another by repeated addition, nothing clever. It shares no
// code with src/convert.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quenwick::reference {

struct ReferenceResampler {
  double ratio = 0.0;
  double position = 0.0;
  float carry = 0.0f;
  bool haveCarry = false;

  // Appends the block's output samples to `out`.
  void emit(const std::vector<float>& mono, std::vector<std::int16_t>& out) {
    if (mono.empty()) return;
    std::vector<float> w;
    if (haveCarry) w.push_back(carry);
    w.insert(w.end(), mono.begin(), mono.end());
    const double last = static_cast<double>(w.size() - 1);
    double p = position;
    while (p < last) {
      const auto i = static_cast<std::size_t>(p);
      const float frac = static_cast<float>(p - static_cast<double>(i));
      const float a = w[i];
      const float b = w[i + 1];
      float v = a + (b - a) * frac;
      if (!(v < 1.0f)) v = 1.0f;
      if (v < -1.0f) v = -1.0f;
      out.push_back(static_cast<std::int16_t>(v * 32767.0f));
      p += ratio;
    }
    carry = w.back();
    haveCarry = true;
    position = p - last;
  }
};

}  // namespace quenwick::reference
