// The paste stage: sharpens a rendered face crop and composites it onto its driver frame through the
// inverse of the frame's paste matrix, under a feathered alpha mask.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "vesk/vesk.h"

namespace vesk {

// The unsharp mask applied to every crop before it is pasted; a bundle states its own.
struct PasteUnsharp {
  float amount = 1.3f;
  float sigma = 2.0f;
  int32_t ksize = 13;
};

class VESK_EXPORT Paste {
 public:
  // Takes the side x side alpha mask (0..255). Reads VESK_PASTE_FAST and VESK_PASTE_KSIZE.
  Paste(std::vector<uint8_t> mask, int side, const PasteUnsharp& unsharp);

  // Pastes crop (R, G, B planes of side x side floats, each multiplied by scale) onto the RGB24 frame
  // of W x H pixels. M (a, b, c / d, e, f) maps crop pixel coordinates to frame coordinates. Only the
  // pixels inside the transformed crop's bounding box that the mask covers are written.
  void composite(const float* crop, float scale, const float* M, uint8_t* frame, int W, int H);

  // planes[c][i] = crop[c * side * side + i] * scale.
  void fillPlanes(const float* crop, float scale);
  // Unsharp mask of one side x side plane, in place, clamped to 0..255.
  void unsharpPlane(std::vector<float>& plane);
  // Resamples and blends the current planes over the frame box [x0, x1] x [y0, y1]; the column tables
  // must already hold x0..x1.
  void compositeTail(uint8_t* frame, int W, int x0, int x1, int y0, int y1, double du_dy, double dv_dy,
                     double u_off, double v_off);

  int cropSide() const { return side; }
  int kernelSize() const { return ksize; }
  int mode() const { return fast; }
  const std::vector<float>& plane(int c) const { return planes.at(static_cast<size_t>(c)); }

 private:
  void rowsFast(uint8_t* frame, int W, int x0, int x1, int y0, int y1, double du_dy, double dv_dy, double u_off,
                double v_off);

  int32_t side;
  int32_t ksize;
  int32_t padded;
  float amount;
  int32_t fast;
  std::vector<uint8_t> mask;
  std::vector<float> gauss;
  std::vector<float> lanczos;
  std::vector<float> bilinear;
  std::vector<float> cubic;
  std::array<std::vector<float>, 3> planes;
  std::vector<float> pad;
  std::vector<float> hblur;
  std::vector<float> src4;
  std::vector<int32_t> col_u;
  std::vector<int32_t> col_v;
};

}  // namespace vesk
