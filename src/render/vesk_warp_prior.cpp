#include "render/vesk_warp_prior.h"

#include "render/vesk_bundle_video.h"

namespace vesk {

WarpPrior::WarpPrior(const Manifest& manifest, const Identity& identity) : manifest_(manifest), identity_(identity) {}

WarpPrior::~WarpPrior() = default;

DriverCursor* WarpPrior::cursor() {
  std::call_once(once_, [this] { cursor_ = openPriorVideo(manifest_, 2, 11); });
  return cursor_.get();
}

const uint16_t* WarpPrior::P(int si) {
  if (identity_.hasMappedP()) return identity_.P(si);
  if (si < 0 || si >= identity_.NT)
    throw std::runtime_error("vesk::Identity: si " + std::to_string(si) + " outside [0," +
                             std::to_string(identity_.NT) + ")");
  int got = -1;
  return reinterpret_cast<const uint16_t*>(cursor()->pullAt(si, &got));
}

void WarpPrior::walk(int si) {
  if (identity_.hasMappedP() || identity_.prior_path.empty()) return;
  (void)P(si);
}

std::string WarpPrior::backend() {
  if (identity_.hasMappedP()) return "mmap P.f16";
  if (!identity_.prior_path.empty()) return cursor()->name();
  return "none";
}

int64_t WarpPrior::residentBytes() {
  if (identity_.hasMappedP() || identity_.prior_path.empty()) return 0;
  return cursor()->residentBytes();
}

uint64_t WarpPrior::seeks() {
  if (identity_.hasMappedP() || identity_.prior_path.empty()) return 0;
  return cursor()->seeks();
}

}  // namespace vesk
