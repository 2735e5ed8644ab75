// Hostile WAV files: whatever the bytes, the reader returns whole frames of a format it knows or
// throws its own error.
#include <cstdint>
#include <cstdlib>
#include <stdexcept>

#include "vesk_wav.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    const vesk::cli::Wav w = vesk::cli::parseWav(data, size, "fuzz.wav");
    if (w.channels < 1 || w.samples.empty() || w.samples.size() % static_cast<size_t>(w.channels) != 0) std::abort();
    for (float s : w.samples)
      if (!(s >= -1.0f && s <= 1.0f)) std::abort();
  } catch (const std::runtime_error&) {
  }
  return 0;
}
