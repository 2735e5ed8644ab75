// What the renderer and rewrite tests share: a generated bundle opened as the renderer sees it, a
// director's bytes, and the library's own lines in captured standard error.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "bundle/vesk_bundle.h"
#include "bundle/vesk_identity.h"
#include "generated_bundles.h"

namespace vesk::test {

struct Opened {
  explicit Opened(const std::string& dir)
      : manifest(vesk::loadManifest(dir)), identity(manifest), drive(vesk::loadDrive(manifest)) {}
  vesk::Manifest manifest;
  // Const, as the renderer receives it: playing the prior from video must not need more.
  const vesk::Identity identity;
  vesk::Drive drive;
  const float* xs(int frame) const { return drive.xs.data() + static_cast<size_t>(frame) * 63; }
};

// The bytes of the bundle's director "model_<key>.onnx".
inline std::vector<uint8_t> modelBytes(const std::string& dir, const std::string& key) {
  const std::string s = readFile(dir + "/model_" + key + ".onnx");
  if (s.empty()) throw std::runtime_error("cannot read model " + key);
  return std::vector<uint8_t>(s.begin(), s.end());
}

// The lines of the library's own tags in captured standard error, in order.
inline std::string veskLines(const std::string& err) {
  std::string out;
  size_t at = 0;
  while (at < err.size()) {
    size_t end = err.find('\n', at);
    end = end == std::string::npos ? err.size() : end + 1;
    if (err.compare(at, 5, "[vesk") == 0) out += err.substr(at, end - at);
    at = end;
  }
  return out;
}

}  // namespace vesk::test
