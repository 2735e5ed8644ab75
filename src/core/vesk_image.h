// Still-image helpers: RGB24 decoding of driver frames and PNG writing for dumps and tools.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "vesk/vesk.h"

namespace vesk {

// Decodes an image file as RGB24 (rows top to bottom); throws "decode failed: <path>".
std::vector<uint8_t> loadImageRGB(const std::string& path, int* w, int* h);

class ImageRGB;
// As loadImageRGB, without the copy into a vector; throws "decode failed: <path>".
ImageRGB decodeImageRGB(const std::string& path);

// RGB24 pixels as the decoder made them.
class ImageRGB {
 public:
  const uint8_t* data() const { return px_.get(); }
  int width() const { return w_; }
  int height() const { return h_; }

 private:
  friend ImageRGB decodeImageRGB(const std::string& path);
  struct Free {
    void operator()(uint8_t* p) const noexcept;
  };
  std::unique_ptr<uint8_t, Free> px_;
  int w_ = 0;
  int h_ = 0;
};

// The size an image file's header declares, read without decoding the pixels; false when the file
// cannot be read or is no image.
bool imageSize(const std::string& path, int* w, int* h);

// Writes RGB24 pixels (row stride w * 3) as PNG; throws "png write failed: <path>".
void writePNG(const std::string& path, const uint8_t* rgb, int w, int h);

}  // namespace vesk
