// vesk speak: an audio file spoken by a bundle's identity, written as an MP4 with the audio in sync.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vesk::cli {

// Video runs at 25 frames per second and the engine's audio at 16 kHz: 640 samples per frame.
inline constexpr int kFps = 25;
inline constexpr int kSampleRate = 16000;
inline constexpr int kSamplesPerFrame = kSampleRate / kFps;

struct SpeakOptions {
  enum class Mode { Live, Offline, Stream };
  std::string bundle, audio, out;
  std::string motionDir;  // empty: the bundle
  std::string encoder;    // --stream: the 8 s speech encoder; empty: see the help text
  std::string model = "b1";
  std::string ep;
  int threads = 0;
  double idleSeconds = 1.0;
  Mode mode = Mode::Live;
  bool teeth = true;  // the teeth pass, when the bundle carries its members
};

// Runs the whole command; throws std::runtime_error on every failure.
void speak(const SpeakOptions& o);

// Lays the speech under the frames it drives: the audio of speech frame i (samples
// [i * 640, (i + 1) * 640)) plays with that frame, wherever in the video the pipeline put it. The
// first speech frame fixes the offset; frames before it, and past the end of the speech, are silent.
class SpeechTrack {
 public:
  explicit SpeechTrack(std::vector<int16_t> speech);

  // The 640 samples that play with the next video frame, given its kind and utterance index
  // (vesk_utt_frame_info); valid until the next call.
  const int16_t* next(int kind, int index);

  // Whether a speech frame came, and then the video frame that speech frame 0 falls on (negative
  // when the first frames of the utterance never arrived).
  bool placed() const { return placed_; }
  int64_t offset() const { return offset_; }
  // Speech frames that came elsewhere than offset + index (none when the pipeline is sound).
  int64_t misplaced() const { return misplaced_; }

 private:
  std::vector<int16_t> speech_;
  std::vector<int16_t> slot_;
  int64_t pos_ = 0;
  bool placed_ = false;
  int64_t offset_ = 0;
  int64_t misplaced_ = 0;
};

}  // namespace vesk::cli
