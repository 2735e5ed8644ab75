// Encodes RGB24 frames as H.264 in an MP4 file with FFmpeg.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace vesk::cli {

class VideoWriter {
 public:
  // W and H must be even (yuv420p); fps frames per second.
  VideoWriter(const std::string& path, int W, int H, int fps);
  ~VideoWriter();
  VideoWriter(const VideoWriter&) = delete;
  VideoWriter& operator=(const VideoWriter&) = delete;

  void addFrame(const uint8_t* rgb24);
  // Flushes the encoder and writes the trailer; the destructor does it when not called.
  void finish();

  int64_t frames() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vesk::cli
