// The compose mask ("pi") the director composes its crop with, computed on the CPU from the frame's
// keypoints and the geometry the bundle's manifest states in its `unified` block, so the teeth pass
// places its mouth window where the director placed the mouth.
//
// Keypoints: 21 rows of (x, y, z) floats; x and y in the normalised canvas space (-1 the first pixel
// centre, +1 the last). Masks are N x N row-major planes of the square compose canvas. The
// per-frame functions never throw and allocate nothing; the constructors and parsers throw
// std::runtime_error with the refusal's full text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vesk/vesk.h"

namespace vesk::tessera {

// Half-open pixel rectangle; empty when x1 <= x0 or y1 <= y0.
struct Box {
  int32_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  bool empty() const { return x1 <= x0 || y1 <= y0; }
};

// An ellipse of the compose mask: centre, radii, and the sharpness S = sqrt(rx ry) 256 of its edge.
struct EllParams {
  double cx = 0, cy = 0, rx = 0, ry = 0, S = 0;
};

// 0 below 0, u^2 (3 - 2u) with u = min(t, 1) above.
double smoothstep(double t);
// Round half to even, for the mask bytes and the frame shifts.
double roundHalfEven(double v);

class VESK_EXPORT UnifiedPi {
 public:
  struct Corpus {
    const char* name;
    float pad_x, pad_y, down;
  };
  // The mask geometries a bank can have been measured with, in the order the match ranks ties.
  static const std::vector<Corpus>& corpus();
  // The corpus match accepts a best distance up to this many canvas pixels...
  static constexpr double kMatchRadiusPx = 8.0;
  // ... and refuses a runner-up closer than this to the best.
  static constexpr double kAmbiguityMarginPx = 3.0;

  UnifiedPi() = default;
  // A geometry stated directly (tests, hosts that hold it elsewhere); fills the grids.
  UnifiedPi(int canvas, bool corner_recovery, float prop_gate_scale, std::vector<int32_t> lip_idx, float pad_x,
            float pad_y, float down);

  static UnifiedPi fromManifestJson(const std::string& manifest, int canvas);
  // The manifest's geometry with lip_geom_params taken from the corpus entry whose canonical
  // centroid over xs_target (frames rows of 63 floats) lies nearest c_canon; refuses when none is
  // within kMatchRadiusPx or the runner-up is within kAmbiguityMarginPx of the best.
  static UnifiedPi corpusFromManifestJson(const std::string& manifest, int canvas, const float* xs_target, int frames,
                                          const double* c_canon, std::string* label);

  EllParams lipParams(const float* kp) const;
  // The teeth gate ellipse; *gate receives its strength g (0 for closed lips).
  EllParams gateParams(const float* kp, double* gate) const;
  Box ellBox(const EllParams& p) const;
  // Union of the lip and gate boxes: every pixel the mask can be non-zero on.
  Box supportBox(const float* kp) const;

  void ellMask(const float* kp, float pad_x, float pad_y, float min_rx, float min_ry, float scale, float down,
               float* out) const;
  void lipMask(const float* kp, float* out) const;
  void propTeethGate(const float* kp, float* out) const;

  void piU8(const float* kp, uint8_t* out) const;
  // The same bytes, computed inside the two ellipses' boxes only; zero elsewhere.
  void piU8Boxed(const float* kp, uint8_t* out) const;
  // Inside box and the support box, where alpha (N x N) > 0: byte of min(alpha, mask); zero elsewhere.
  void piU8ShrunkBy(const float* kp, const float* alpha, const Box& box, uint8_t* out) const;

  // Mean column and row of the bytes >= 128; false when there is none.
  bool piU8Centroid(const uint8_t* mask, double* cx, double* cy) const;
  bool piU8Centroid(const uint8_t* mask, const Box& box, double* cx, double* cy) const;
  // The boxed mask and the frame's whole-pixel shift of its centroid from c_canon.
  bool piU8AndShift(const float* kp, const double* c_canon, uint8_t* out, int* dy, int* dx) const;
  // Mean of the per-frame mask centroids over frames rows of 63 floats; throws when every mask is empty.
  void canonicalCentroid(const float* kps, int frames, double* cx, double* cy) const;

  int canvas() const { return N_; }
  const std::string& mode() const { return mode_; }
  bool cornerRecovery() const { return corner_recovery_; }
  float propGateScale() const { return prop_gate_scale_; }
  const std::vector<int32_t>& lipIdx() const { return lip_idx_; }
  const float* lipGeomParams() const { return lip_geom_params_; }
  const std::vector<float>& gridX() const { return grid_x_; }
  const std::vector<float>& gridY() const { return grid_y_; }

 private:
  struct LipStats {
    double mx, my, ex, ey;
  };
  LipStats lipStats(const float* kp) const;
  EllParams ellipse(const LipStats& s, double pad_x, double pad_y, double min_rx, double min_ry, double scale,
                    double down) const;
  double ellValue(const EllParams& p, int row, int col) const;
  // max(lip, g gate) at one pixel, not yet clamped.
  double piValue(const EllParams& lip, const EllParams& gate, double g, int row, int col) const;
  void fillGrids();

  int32_t N_ = 0;
  std::string mode_ = "prop";
  bool corner_recovery_ = false;
  float prop_gate_scale_ = 1.0f;
  std::vector<int32_t> lip_idx_;
  float lip_geom_params_[3] = {0, 0, 0};
  std::vector<float> grid_x_, grid_y_;
};

}  // namespace vesk::tessera
