// Encodes RGB24 frames as H.264 in an MP4 file with FFmpeg, optionally with a mono AAC track.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace vesk::cli {

class VideoWriter {
 public:
  // W and H must be even (yuv420p); fps frames per second. audioRate > 0 adds a mono audio track
  // of that sample rate, fed with addAudio().
  VideoWriter(const std::string& path, int W, int H, int fps, int audioRate = 0);
  ~VideoWriter();
  VideoWriter(const VideoWriter&) = delete;
  VideoWriter& operator=(const VideoWriter&) = delete;

  void addFrame(const uint8_t* rgb24);
  // Appends samples to the audio track; sample 0 plays with frame 0. Audio is encoded only as far
  // as the video has come, and finish() cuts or pads it with silence to the video's length, so
  // the two tracks always end together.
  void addAudio(const int16_t* mono, size_t count);
  // Flushes the encoders and writes the trailer; the destructor does it when not called.
  void finish();

  int64_t frames() const;
  // Audio samples the track holds so far (after finish(): the whole track).
  int64_t audioSamples() const;
  // The audio codec's name ("aac"), empty without an audio track.
  std::string audioCodec() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vesk::cli
