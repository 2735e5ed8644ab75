// The identity members of a bundle (warp prior, pooled features, reduced features, paste
// matrices) and the drive tables of its idle loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bundle/vesk_bundle.h"
#include "vesk/vesk.h"

namespace vesk {

class DriverCursor;

// A read-only private mapping of a whole member, unmapped on destruction.
class MappedFile {
 public:
  MappedFile() = default;
  // Maps `path`, which must be exactly `expected` bytes long.
  MappedFile(const std::string& path, size_t expected);
  ~MappedFile();
  MappedFile(MappedFile&& o) noexcept;
  MappedFile& operator=(MappedFile&& o) noexcept;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  const uint8_t* data() const { return data_; }
  size_t size() const { return len_; }
  bool empty() const { return data_ == nullptr; }

 private:
  void release();
  const uint8_t* data_ = nullptr;
  void* base_ = nullptr;
  size_t len_ = 0;
};

class VESK_EXPORT Identity {
 public:
  static constexpr size_t kPooledHalves = 65536;
  static constexpr size_t kFsRedHalves = 262144;

  explicit Identity(const Manifest& manifest);
  ~Identity();
  Identity(const Identity&) = delete;
  Identity& operator=(const Identity&) = delete;

  const uint16_t* pooled64(int si) const;
  // Three planes (R, G, B) of crop x crop halves: mapped, or decoded in place by the prior cursor
  // (valid until history + 1 further prior frames are taken). The prior cursor is a lazily opened
  // reader of a member that never changes, so reading through it leaves the identity as it was.
  const uint16_t* P(int si) const;
  // Keeps the prior cursor's window moving in step with rendering; nothing when P is mapped.
  void walkP(int si) const;
  const uint16_t* fsRed(int si) const;
  const float* M(int si) const;
  bool hasFsRed() const { return !fs_red.empty(); }
  bool hasMappedP() const { return !P_.empty(); }

  // The prior video cursor, opened on first use.
  DriverCursor* prior() const;
  std::string priorBackend() const;
  int64_t priorResidentBytes() const;
  uint64_t priorSeeks() const;

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
  mutable std::once_flag prior_once;
  mutable std::unique_ptr<DriverCursor> prior_cursor;
};

struct VESK_EXPORT Drive {
  std::vector<float> xs;    // frames x 63 source keypoints
  std::vector<float> xd;    // frames x 63 driven keypoints
  std::vector<int32_t> si;  // frames source indices, 0 <= si < NT
  int32_t frames = 0;
};

VESK_EXPORT Drive loadDrive(const Manifest& manifest);

// Refuses a bundle that carries no warp prior in any form, saying why.
VESK_EXPORT void ensureIdentityMembers(const Manifest& manifest);

// The string value of `key` in a manifest text when it has a non-empty one, else `fallback`.
std::string manifestStringOr(const std::string& text, const std::string& key, const std::string& fallback);

}  // namespace vesk
