// What the kernels were compiled for, so tests can run each compiled target in turn
// (hwy::SetSupportedTargetsForTest) and compare them bit for bit.
#pragma once

#include <cstdint>

namespace vesk::simd {

// Highway target bits (HWY_TARGETS) every kernel file was built with.
int64_t compiledTargets();

}  // namespace vesk::simd
