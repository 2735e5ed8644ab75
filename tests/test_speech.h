// A seeded speech-like test signal for the tests that feed audio to a generated identity.
#pragma once

#include <cmath>
#include <random>
#include <vector>

namespace vesk::test {

// Voiced syllables (harmonics of 110-170 Hz, 150-300 ms, peaks amp_lo to amp_lo + amp_span)
// between pauses of 80-250 ms, over a faint noise floor (standard deviation 0.002).
inline std::vector<float> syllables(size_t n, unsigned seed, double amp_lo = 0.3, double amp_span = 0.9) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::normal_distribution<double> noise(0.0, 0.002);
  std::vector<float> out(n);
  size_t i = 0;
  double phase = 0.0;
  while (i < n) {
    const size_t gap = static_cast<size_t>(16000 * (0.08 + 0.17 * u(rng)));
    for (size_t k = 0; k < gap && i < n; ++k, ++i) out[i] = static_cast<float>(noise(rng));
    const size_t len = static_cast<size_t>(16000 * (0.15 + 0.15 * u(rng)));
    const double f0 = 110.0 + 60.0 * u(rng);
    const double amp = amp_lo + amp_span * u(rng);
    for (size_t k = 0; k < len && i < n; ++k, ++i) {
      const double env = std::sin(M_PI * static_cast<double>(k) / static_cast<double>(len));
      phase += 2.0 * M_PI * f0 / 16000.0;
      double v = 0.0;
      for (int h = 1; h <= 6; ++h) v += std::sin(h * phase) / h;
      out[i] = static_cast<float>(amp * env * v + noise(rng));
    }
  }
  return out;
}

}  // namespace vesk::test
