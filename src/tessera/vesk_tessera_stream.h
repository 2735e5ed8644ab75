// The teeth pass as a live session runs it: each rendered crop is pushed with its keypoints, the
// compose mask and the mouth's shift are derived from the keypoints, and one push later the
// finished mouth window of the previous crop comes back to be written into it before the paste.
//
// One thread drives a StreamBorrow; its conversions and the pass's loops run on that thread's
// worker pool. After construction no push allocates. Construction refusals throw
// std::runtime_error with the full text; frames whose mouth cannot be placed come back skipped.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tessera/vesk_tessera.h"
#include "tessera/vesk_tessera_lip.h"
#include "tessera/vesk_tessera_pi.h"

namespace vesk::tessera {

class VESK_EXPORT StreamBorrow {
 public:
  // lip_template_json: the bundle's lip_template.v1.json, or "" when it carries none (the mask is
  // then the compose-mask ellipse, and construction says so on standard error).
  StreamBorrow(const BankData& bank, const HeadWeights& head, const ServeConfig& config, const UnifiedPi& pi,
               const std::string& lip_template_json);
  StreamBorrow(const StreamBorrow&) = delete;
  StreamBorrow& operator=(const StreamBorrow&) = delete;

  // crop: planes R, G, B of N x N floats in [0, 1]; kp: the frame's 21 x 3 keypoints. True when
  // out holds the previous frame.
  bool push(const float* crop, const float* kp, FrameResult* out);
  // The same for an RGBA canvas of N x N x 4 bytes (alpha ignored).
  bool pushRgba(const uint8_t* rgba, const float* kp, FrameResult* out);
  // The common tail, for a crop already in the RGB scratch (rgbScratch()).
  bool pushSynth(const float* kp, FrameResult* out);
  // Emits the held frame; false when none is held.
  bool flush(FrameResult* out);

  // Writes a result into a planar float crop of N x N per plane: the crop takes the pass's change
  // of each byte and keeps its own sub-byte detail. A skipped result changes nothing.
  static void writeWindowDelta(float* crop, int N, const FrameResult& r, const GeometryStamp& stamp);
  // Sets every alpha to 255, then writes the result's window bytes into an RGBA canvas.
  static void writeWindowDeltaRgba(uint8_t* rgba, int N, const FrameResult& r, const GeometryStamp& stamp);

  // The pass runs on the CPU only: no split with a host device.
  bool hostSplit(double*) const { return false; }
  const char* backend() const { return "cpu"; }

  int canvas() const { return N_; }
  bool hasLipContour() const { return lip_.has_value(); }
  uint32_t framesPushed() const { return counter_; }
  const TeethPass& pass() const { return pass_; }
  uint8_t* rgbScratch() { return rgb_.data(); }
  const std::vector<uint8_t>& maskScratch() const { return mask_; }

 private:
  TeethPass pass_;
  UnifiedPi pi_;
  std::optional<LipContour> lip_;
  std::array<double, 2> c_canon_{};
  int N_ = 0;
  uint32_t counter_ = 0;
  std::vector<uint8_t> rgb_, mask_;
};

}  // namespace vesk::tessera
