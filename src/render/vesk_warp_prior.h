// The identity's warp prior in whichever form the bundle carries it: the mapped P member, or its
// HEVC video played in place by a cursor of its own, opened on first use.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "bundle/vesk_bundle.h"
#include "bundle/vesk_identity.h"
#include "driver/vesk_driver.h"

namespace vesk {

class WarpPrior {
 public:
  WarpPrior(const Manifest& manifest, const Identity& identity);
  ~WarpPrior();
  WarpPrior(const WarpPrior&) = delete;
  WarpPrior& operator=(const WarpPrior&) = delete;

  // Three planes (R, G, B) of crop x crop halves of source frame si: mapped, or decoded in place
  // (valid until history + 1 further prior frames are taken).
  const uint16_t* P(int si);
  // Keeps the cursor's window moving in step with rendering; nothing when P is mapped.
  void walk(int si);
  // A prior exists in some form.
  bool present() const { return identity_.hasMappedP() || !identity_.prior_path.empty(); }

  std::string backend();
  int64_t residentBytes();
  uint64_t seeks();

 private:
  DriverCursor* cursor();

  Manifest manifest_;
  const Identity& identity_;
  std::once_flag once_;  // concurrent first callers wait for the one opening
  std::unique_ptr<DriverCursor> cursor_;
};

}  // namespace vesk
