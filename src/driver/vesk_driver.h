// Driver video: frame sources (a JPEG directory, an MP4 member, an HEVC 4:4:4 warp prior) and the
// cursor that plays one on a decode thread of its own, with look-ahead and history windows.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "vesk/vesk.h"

namespace vesk {

namespace driver {

// One frame at a time from a member, strictly at the declared size and layout.
class VESK_EXPORT Source {
 public:
  virtual ~Source();
  virtual int32_t NT() const = 0;
  virtual int32_t W() const = 0;
  virtual int32_t H() const = 0;
  // Bytes of one decoded frame.
  virtual int64_t frameBytes() const;
  // Decodes the next frame into dst and advances; false at the end of the stream.
  virtual bool next(uint8_t* dst) = 0;
  virtual void rewind() = 0;
  // The next `next` yields frame i.
  virtual void seek(int i) = 0;
  virtual std::string name() const = 0;
  // Estimate of the memory the source holds. Safe to call while another thread decodes.
  virtual int64_t residentBytes() const = 0;
};

// dir/frame_%06d.jpg, RGB24 frames of W x H.
std::unique_ptr<Source> openJpgDir(const std::string& dir, int NT, int W, int H);
// An MP4 member decoded to RGB24 frames of W x H.
std::unique_ptr<Source> openMp4(const std::string& path, int NT, int W, int H);
// An HEVC 4:4:4 warp prior decoded to three planes (R, G, B) of side x side halves in [0, 1].
std::unique_ptr<Source> openPriorHevc(const std::string& path, int NT, int side);
// "libavcodec <major.minor.micro> / <configuration>" of the libavcodec this library was built with.
std::string movieDecoderBuild();

}  // namespace driver

// Plays a source on its own decode thread through a ring of decoded frames: a look-ahead window in
// front of the consumer and a history window behind it. The video loops after its last frame.
// A pointer from an in-place pull stays valid until history + 1 further frames have been taken,
// whatever seeks happen in between.
class VESK_EXPORT DriverCursor {
 public:
  DriverCursor(std::unique_ptr<driver::Source> source, int ahead, int history);
  ~DriverCursor();
  DriverCursor(const DriverCursor&) = delete;
  DriverCursor& operator=(const DriverCursor&) = delete;

  static std::unique_ptr<DriverCursor> over(std::unique_ptr<driver::Source> source, int ahead, int history);

  // The expected frame: copied out, in place, or in place for writing (never served again from history).
  int pull(uint8_t* dst);
  const uint8_t* pull(int* si);
  uint8_t* pullMut(int* si);
  // The same for a given source frame.
  int pullAt(int si, uint8_t* dst);
  const uint8_t* pullAt(int si, int* out);
  uint8_t* pullMutAt(int si, int* out);

  // Makes frame i the expected frame.
  void seek(int i);
  int position() const;
  // The windows in effect, after clamping.
  int ahead() const;
  int history() const;
  // Real (source) seeks so far.
  uint64_t seeks() const;
  int64_t residentBytes() const;

  int32_t NT() const { return NT_; }
  int32_t W() const { return W_; }
  int32_t H() const { return H_; }
  int64_t frameBytes() const { return frame_bytes_; }
  const std::string& name() const { return name_; }

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  int32_t NT_ = 0;
  int32_t W_ = 0;
  int32_t H_ = 0;
  int64_t frame_bytes_ = 0;
  std::string name_;
};

}  // namespace vesk
