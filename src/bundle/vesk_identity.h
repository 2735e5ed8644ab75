// The identity members of a bundle (warp prior, pooled features, reduced features, paste
// matrices) and the drive tables of its idle loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bundle/vesk_bundle.h"
#include "vesk/vesk.h"
#include "core/vesk_file.h"

namespace vesk {

class VESK_EXPORT Identity {
 public:
  static constexpr size_t kPooledHalves = 65536;
  static constexpr size_t kFsRedHalves = 262144;

  explicit Identity(const Manifest& manifest);
  ~Identity();
  Identity(const Identity&) = delete;
  Identity& operator=(const Identity&) = delete;

  const uint16_t* pooled64(int si) const;
  // Three planes (R, G, B) of crop x crop halves from the mapped P member; throws when the bundle
  // plays its prior from video instead (see WarpPrior).
  const uint16_t* P(int si) const;
  const uint16_t* fsRed(int si) const;
  const float* M(int si) const;
  bool hasFsRed() const { return !fs_red.empty(); }
  bool hasMappedP() const { return !P_.empty(); }

  // Rescales M from the canvas it was authored on to the manifest's canvas.
  void rescaleM(const Manifest& manifest);

  int32_t NT = 0;
  int32_t crop = 0;
  MappedFile pooled;
  MappedFile P_;
  MappedFile fs_red;
  std::vector<float> M_;
  std::string prior_path;
  Manifest manifest;

 private:
  void checkSi(int si) const;
};

struct Drive {
  std::vector<float> xs;    // frames x 63 source keypoints
  std::vector<float> xd;    // frames x 63 driven keypoints
  std::vector<int32_t> si;  // frames source indices, 0 <= si < NT
  int32_t frames = 0;
};

Drive loadDrive(const Manifest& manifest);

// Refuses a bundle that carries no warp prior in any form, saying why.
void ensureIdentityMembers(const Manifest& manifest);


}  // namespace vesk
