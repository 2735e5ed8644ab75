// The videos a bundle plays: its driver video and its warp prior, each through a driver cursor.
#pragma once

#include <memory>

#include "bundle/vesk_bundle.h"
#include "driver/vesk_driver.h"

namespace vesk {

// The driver video of a bundle: its JPEG directory or its MP4 member.
std::unique_ptr<DriverCursor> openDriverVideo(const Manifest& manifest, int ahead, int history);
// The HEVC warp prior of a bundle.
std::unique_ptr<DriverCursor> openPriorVideo(const Manifest& manifest, int ahead, int history);

}  // namespace vesk
