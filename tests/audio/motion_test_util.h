// Shared by the motion and fca tests: where the generated models are, a voice-like test signal and
// copies of a model directory to break.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "test_util.h"

namespace vesk::test {

inline std::string motionModels() {
  const char* d = std::getenv("VESK_MOTION_MODELS");
  return d != nullptr && *d != '\0' ? d : VESK_MOTION_MODELS_DIR;
}

// Voiced harmonics (120 Hz, 7 partials) under a syllable envelope (3 Hz), silent every fourth second
// part-way, over a faint noise floor: loud and quiet stretches the mouth has to follow.
inline std::vector<float> voice(size_t n, uint32_t seed = 1) {
  std::vector<float> out(n);
  double phase = 0;
  uint32_t s = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / 16000.0;
    phase += 2 * M_PI * (120.0 + 20.0 * std::sin(2 * M_PI * 0.7 * t)) / 16000.0;
    double v = 0;
    for (int k = 1; k < 8; ++k) v += std::sin(k * phase) / k;
    const double syl = std::pow(std::max(0.0, std::sin(2 * M_PI * 3.0 * t)), 2.0);
    const double on = std::sin(2 * M_PI * 0.25 * t) > -0.3 ? 1.0 : 0.0;
    s = s * 1664525u + 1013904223u;
    const double noise = (static_cast<double>(s >> 8) / 16777216.0 - 0.5) * 3.4e-4;
    out[i] = static_cast<float>(0.25 * v * syl * on + noise);
  }
  return out;
}

// A copy of a model directory that a test may change.
inline void copyDir(const std::string& from, const std::string& to) {
  std::filesystem::create_directories(to);
  std::filesystem::copy(from, to, std::filesystem::copy_options::recursive | std::filesystem::copy_options::overwrite_existing);
}

}  // namespace vesk::test
