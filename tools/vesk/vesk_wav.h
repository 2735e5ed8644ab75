// WAV files in, the engine's audio (16 kHz mono 16-bit) out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vesk::cli {

struct Wav {
  int rate = 0;
  int channels = 0;
  // What the file held, for messages: "16-bit PCM", "32-bit float", ...
  std::string format;
  // Interleaved, channel by channel within a frame, full scale at +-1.
  std::vector<float> samples;

  size_t frames() const { return channels > 0 ? samples.size() / static_cast<size_t>(channels) : 0; }
};

// Upper bounds on what a file may declare; anything beyond is refused as corrupt, not allocated.
inline constexpr int kWavMaxChannels = 256;
inline constexpr int kWavMinRate = 1000;
inline constexpr int kWavMaxRate = 768000;
inline constexpr size_t kWavMaxSamples = size_t{1} << 28;

// Parses a RIFF/WAVE image: PCM of 8, 16, 24 or 32 bits, IEEE float of 32 or 64 bits, plain or
// WAVE_FORMAT_EXTENSIBLE, any channel count and rate within the bounds above. Everything else
// throws std::runtime_error naming `name` and what is wrong with it.
Wav parseWav(const uint8_t* data, size_t size, const std::string& name);
Wav readWav(const std::string& path);

// The channels averaged into one, then resampled by libswresample to 16000 Hz signed 16-bit.
std::vector<int16_t> toMono16k(const Wav& wav);

}  // namespace vesk::cli
