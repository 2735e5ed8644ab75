#include "core/vesk_image.h"

#include <climits>
#include <memory>
#include <stdexcept>

// The one translation unit that carries the stb implementations.
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#define STBI_FAILURE_USERMSG
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
#pragma GCC diagnostic ignored "-Wshadow"
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wpedantic"
#endif
#include <stb_image.h>
#include <stb_image_write.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

namespace vesk {

void ImageRGB::Free::operator()(uint8_t* p) const noexcept { stbi_image_free(p); }

ImageRGB decodeImageRGB(const std::string& path) {
  int iw = 0, ih = 0, comp = 0;
  ImageRGB img;
  img.px_.reset(stbi_load(path.c_str(), &iw, &ih, &comp, 3));
  if (!img.px_ || iw <= 0 || ih <= 0) throw std::runtime_error("decode failed: " + path);
  img.w_ = iw;
  img.h_ = ih;
  return img;
}

bool imageSize(const std::string& path, int* w, int* h) {
  int iw = 0, ih = 0, comp = 0;
  if (stbi_info(path.c_str(), &iw, &ih, &comp) == 0 || iw <= 0 || ih <= 0) return false;
  if (w) *w = iw;
  if (h) *h = ih;
  return true;
}

std::vector<uint8_t> loadImageRGB(const std::string& path, int* w, int* h) {
  const ImageRGB img = decodeImageRGB(path);
  const size_t n = static_cast<size_t>(img.width()) * static_cast<size_t>(img.height()) * 3;
  std::vector<uint8_t> out(img.data(), img.data() + n);
  if (w) *w = img.width();
  if (h) *h = img.height();
  return out;
}

void writePNG(const std::string& path, const uint8_t* rgb, int w, int h) {
  if (!rgb || w <= 0 || h <= 0 || w > INT_MAX / 3 ||
      stbi_write_png(path.c_str(), w, h, 3, rgb, w * 3) == 0)
    throw std::runtime_error("png write failed: " + path);
}

}  // namespace vesk
