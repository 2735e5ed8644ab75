// FFmpeg frame source: an H.264 (or any 4:2:0) MP4 to RGB24, an HEVC 4:4:4 prior to planar halves.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "driver/vesk_driver.h"

struct AVFormatContext;
struct AVCodecContext;
struct AVPacket;
struct AVFrame;

namespace vesk::driver {

struct FormatCloser {
  void operator()(AVFormatContext* p) const;
};
struct CodecFreer {
  void operator()(AVCodecContext* p) const;
};
struct PacketFreer {
  void operator()(AVPacket* p) const;
};
struct FrameFreer {
  void operator()(AVFrame* p) const;
};

class FfSource final : public Source {
 public:
  enum Kind : int32_t { kDriverMp4 = 0, kPrior = 1 };

  FfSource(Kind kind, std::string path, int NT, int W, int H);
  ~FfSource() override;

  int32_t NT() const override { return NT_; }
  int32_t W() const override { return W_; }
  int32_t H() const override { return H_; }
  int64_t frameBytes() const override;
  bool next(uint8_t* dst) override;
  void rewind() override;
  void seek(int i) override;
  std::string name() const override { return name_; }
  int64_t residentBytes() const override;

  // Largest packet seen so far, in bytes.
  int32_t maxPacket() const { return max_packet_.load(std::memory_order_relaxed); }

 private:
  void open();
  void close();
  void backToStart();
  void convert(uint8_t* dst);

  int32_t kind_;
  std::string path_;
  int32_t NT_, W_, H_;
  std::array<uint16_t, 256> unit_table_{};
  std::unique_ptr<AVFormatContext, FormatCloser> format_;
  std::unique_ptr<AVCodecContext, CodecFreer> codec_;
  std::unique_ptr<AVPacket, PacketFreer> packet_;
  std::unique_ptr<AVFrame, FrameFreer> frame_;
  int32_t stream_ = -1;
  bool drained_ = false;
  // A packet the decoder refused until it gave out frames; sent again before the next read.
  bool packet_held_ = false;
  int32_t position_ = 0;
  std::atomic<int32_t> max_packet_{0};
  // Frames the decoder may hold, for residentBytes (read from other threads).
  std::atomic<int32_t> held_frames_{6};
  std::string name_;
  std::vector<uint8_t> scratch_;  // decode-and-discard target of forward seeks
};

// The libavcodec version this library was compiled against, as major.minor.micro.
std::string builtLibavcodecVersion();

}  // namespace vesk::driver
