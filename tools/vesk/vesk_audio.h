// Speech files in, the engine's audio (16 kHz mono 16-bit) out: any container and codec FFmpeg
// decodes (WAV of every PCM and float width, FLAC, MP3, Ogg/Opus, M4A, ...), since that is what
// text-to-speech engines write.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vesk::cli {

struct Audio {
  int rate = 0;
  int channels = 0;
  // What the file held, for messages: "wav, pcm_s24le", "ogg, opus", ...
  std::string format;
  // The channels averaged into one, full scale at +-1, at the file's rate.
  std::vector<float> mono;

  double seconds() const { return rate > 0 ? static_cast<double>(mono.size()) / rate : 0.0; }
};

// Upper bounds on what a file may hold; anything beyond is refused, not allocated.
inline constexpr size_t kAudioMaxFileBytes = size_t{1} << 31;
inline constexpr size_t kAudioMaxSamples = size_t{1} << 28;

// Decodes the first audio stream of an image of a file. Every failure (not audio, no audio stream,
// no decoder, corrupt or cut short) throws std::runtime_error of one line, "<name>: <what>".
Audio decodeAudio(const uint8_t* data, size_t size, const std::string& name);
Audio readAudio(const std::string& path);

// Resampled by libswresample to 16000 Hz signed 16-bit.
std::vector<int16_t> toMono16k(const Audio& audio);

}  // namespace vesk::cli
