// The bundle manifest and the key scanner that reads it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "core/vesk_constants.h"
#include "vesk/vesk.h"

namespace vesk {

// The largest canvas side and face crop a manifest may declare. Buffers are sized from these
// numbers before any member has shown its real size, so a manifest beyond them is refused.
inline constexpr int32_t kMaxCanvasSide = 8192;
inline constexpr int32_t kMaxCrop = 2048;

struct Unsharp {
  float amount = 1.3f;
  float sigma = 2.0f;
  int32_t ksize = 13;
};

struct Manifest {
  std::string dir;
  std::string agent;
  int32_t NT = 0;
  int32_t H = 0;
  int32_t W = 0;
  int32_t M_src_w = 0;  // canvas the paste matrices were authored on
  int32_t M_src_h = 0;
  int32_t crop = 512;
  Unsharp unsharp;
  int32_t frames = 0;
  std::string lip_template;
  // Member names the manifest may override; each holds its default when the manifest names none.
  std::string prior_raw = "P.f16";                       // P_rgb
  std::string prior_video;                               // P_hevc; empty when the manifest names none
  std::string driver_frames = "target_frames";           // target_frames: the JPEG directory
  std::string driver_video = "target_frames.mp4";        // target_frames_mp4

  // The name of the warp prior's video member, declared or default.
  std::string priorVideoName() const { return prior_video.empty() ? "P_hevc.mov" : prior_video; }

  // Path of the director model "model_<key>.onnx" (or its unified-layout alias).
  std::string modelPath(const std::string& key) const;
};


// Reads and validates dir/manifest.json of the bundle at `path` (a directory or a container).
Manifest loadManifest(const std::string& path);

namespace manifest_key {

struct KeyHit {
  uint64_t pos = 0;  // where the value starts: first non-blank byte after the colon
  int32_t depth = 0;  // 1 for keys of the top-level object
  bool scalar = false;  // the value is neither an object nor an array
};

inline constexpr size_t kAbsent = static_cast<size_t>(-1);
// A number that reads exactly this counts as absent.
inline constexpr double kAbsentNumber = -1e300;

std::vector<KeyHit> keyHits(std::string_view text, std::string_view key);

// Offset of the one scalar value of `key`, kAbsent when there is none; throws the AMBIGUOUS text
// when the choice would be arbitrary.
size_t scalarValuePos(std::string_view text, std::string_view key);

}  // namespace manifest_key

// The string value of `key` in a manifest text when it has a non-empty one, else `fallback`.
std::string manifestStringOr(const std::string& text, const std::string& key, const std::string& fallback);

// Pointer to the value of `key`; throws "manifest: missing key <key>".
const char* findKey(const std::string& text, const std::string& key);
std::string strField(const std::string& text, const std::string& key);
// The number of `key`, else of `alternative`; throws "manifest: missing key key/alternative".
double numFieldEither(const std::string& text, const std::string& key, const std::string& alternative);

}  // namespace vesk
