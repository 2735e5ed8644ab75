// The reference bank track: a short video whose frames are the stored donor mouth patches, one
// frame per donor, decoded from memory into one RGB24 buffer in donor order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "vesk/vesk.h"

namespace vesk::tessera {

// data/size: the whole track, borrowed for the call. n donors of h x w pixels; frame i of the track
// holds donor track_order[i]. Returns n h w 3 bytes, donor-major, rows of w R, G, B triples.
// Anything that does not match the stamp and the sidecar exactly is refused with a runtime error;
// every FFmpeg object is released on every path.
VESK_EXPORT std::vector<uint8_t> decodeBankTrack(const uint8_t* data, size_t size, int n, int h, int w,
                                                 const std::vector<int>& track_order);

// "libavcodec <compiled version> / <configuration of the linked library>".
VESK_EXPORT std::string bankDecoderBuild();

// The memory reader behind the custom I/O context, exposed for its tests.
struct BankReader {
  const uint8_t* data = nullptr;
  int64_t size = 0;
  int64_t pos = 0;
  // FFmpeg's read callback: AVERROR_EOF at the end, else the number of bytes copied.
  static int read(void* opaque, uint8_t* buf, int len);
  // FFmpeg's seek callback: AVSEEK_SIZE gives the size; a target outside [0, size] gives -1 and
  // leaves the position where it was.
  static int64_t seek(void* opaque, int64_t offset, int whence);
};

}  // namespace vesk::tessera
