// The lip contour: the bundle's lip outline (lip_template.v1.json), deformed by the frame's
// keypoints, rasterised with an outward feather, and used to cut the over-covering elliptical
// compose mask down to the lips.
//
// Polygons are nv (x, y) vertices in canvas pixels. Alpha and mask planes are N x N row-major.
// After construction no call allocates: the inside map, the distances and the alpha plane live in
// scratch that is sized once, so a LipContour serves one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tessera/vesk_tessera_pi.h"
#include "vesk/vesk.h"

namespace vesk::tessera {

class VESK_EXPORT LipContour {
 public:
  // The deformation reads at most this many anchor rows.
  static constexpr int kMaxAnchors = 8;
  static constexpr const char* kTemplateName = "lip_template.v1.json";

  // u_canon: nv (x, y) rows of the canonical outline; lip_idx: k (1..8) keypoint rows 0..20.
  LipContour(int canvas, float feather_px, const double* u_canon, int nv, const int* lip_idx, int k);
  // Parses a template; every refusal is "lip_template.v1.json: " and the reason.
  static LipContour fromTemplateJson(const std::string& json, int canvas);
  // An anchor-linear map: vertex coordinate r = centre + b[r] + sum_c W[r][c] a[c], a the anchors
  // relative to their centre; rows must be 2 nv, cols 2 k. The map's rows replace the anchors.
  void attachMap(const double* W, const double* b, int rows, int cols, const int* lip_idx, int k);

  void polygon(const float* kp, double* out) const;
  // Every pixel the feathered polygon can reach.
  Box box(const double* poly) const;
  // inside: box-sized bytes (row stride = box width), 255 inside the polygon, else 0.
  void fillScanline(const double* poly, const Box& box, uint8_t* inside) const;
  // The feathered alpha inside box, written at the box's place in out (N x N); the rest is untouched.
  void contourF32(const double* poly, const Box& box, float* out);
  void contourF32Canvas(const float* kp, float* out);

  // The compose mask limited by the contour.
  void deliveredU8(const float* kp, const UnifiedPi& pi, uint8_t* out);
  // The teeth stream's mask and shift; the shift is measured on the ellipse mask, before the
  // contour cuts it. True when both the shift and a non-empty mask were found.
  bool deliveredU8AndShift(const float* kp, const UnifiedPi& pi, const double* c_canon, uint8_t* out, int* dy, int* dx);
  // Inside box: pixels off the contour's box become 0, the others min(mask, byte of alpha).
  // Returns whether a non-zero byte remains there.
  bool shrinkU8InPlace(const float* kp, const Box& box, uint8_t* mask);

  int canvas() const { return N_; }
  float featherPx() const { return feather_px_; }
  int vertexCount() const { return nv_; }
  const std::vector<double>& uCanon() const { return u_canon_; }
  const std::vector<int32_t>& anchors() const { return anchors_; }
  const std::vector<double>& mapW() const { return W_; }
  const std::vector<double>& mapB() const { return b_; }
  int mapWidth() const { return map_w_; }

 private:
  // Inside map, chamfer distances and alpha of poly over box into the scratch (box-sized, stride = width).
  void rasterise(const double* poly, const Box& box);

  int32_t N_ = 0;
  float feather_px_ = 0;
  int32_t nv_ = 0;
  std::vector<double> u_canon_;
  std::vector<int32_t> anchors_;
  std::vector<double> W_, b_;
  int32_t map_w_ = 0;

  std::vector<double> poly_;
  mutable std::vector<int64_t> cross_;  // crossings of one scanline
  std::vector<uint8_t> inside_;
  std::vector<float> dist_;
  std::vector<float> alpha_;  // N x N, for the delivery mask
};

}  // namespace vesk::tessera
