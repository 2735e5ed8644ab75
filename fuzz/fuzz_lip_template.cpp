// Hostile lip templates: parsing either builds a contour or refuses with the template's own prefix,
// and a built contour rasterises keypoints drawn from the bytes without leaving [0, 1] or the canvas.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "tessera/vesk_tessera_lip.h"
#include "tessera/vesk_tessera_pi.h"

namespace {

constexpr int kCanvas = 64;

// Lips around a point the bytes choose; far outside the canvas now and then.
std::vector<float> keypoints(const uint8_t* data, size_t size) {
  std::vector<float> kp(63, 0.0f);
  for (size_t i = 0; i < kp.size(); ++i) {
    const uint8_t b = size > 0 ? data[(i * 7) % size] : 0;
    kp[i] = (static_cast<float>(b) - 128.0f) / (b == 255 ? 4.0f : 100.0f);
  }
  return kp;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<vesk::tessera::LipContour> built;
  try {
    built.push_back(vesk::tessera::LipContour::fromTemplateJson(text, kCanvas));
  } catch (const std::runtime_error& e) {
    if (std::strncmp(e.what(), "lip_template.v1.json: ", 22) != 0) std::abort();
    return 0;
  }
  vesk::tessera::LipContour& c = built.front();
  const std::vector<float> kp = keypoints(data, size);
  std::vector<float> alpha(kCanvas * kCanvas, -1.0f);
  c.contourF32Canvas(kp.data(), alpha.data());
  for (float a : alpha)
    if (!(a >= 0.0f && a <= 1.0f)) std::abort();
  const vesk::tessera::UnifiedPi pi(kCanvas, false, 1.0f, {6, 12, 14, 17, 19, 20}, 0.1f, 0.08f, 0.074f);
  std::vector<uint8_t> mask(kCanvas * kCanvas);
  c.deliveredU8(kp.data(), pi, mask.data());
  const double canon[2] = {32.0, 40.0};
  int dy = 0, dx = 0;
  (void)c.deliveredU8AndShift(kp.data(), pi, canon, mask.data(), &dy, &dx);
  return 0;
}
