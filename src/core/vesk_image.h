// Still-image helpers: RGB24 decoding of driver frames and PNG writing for dumps and tools.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vesk/vesk.h"

namespace vesk {

// Decodes an image file as RGB24 (rows top to bottom); throws "decode failed: <path>".
std::vector<uint8_t> loadImageRGB(const std::string& path, int* w, int* h);

// Writes RGB24 pixels (row stride w * 3) as PNG; throws "png write failed: <path>".
void writePNG(const std::string& path, const uint8_t* rgb, int w, int h);

}  // namespace vesk
