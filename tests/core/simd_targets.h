// The SIMD targets a test can force here: compiled into the library and supported by this processor.
#pragma once

#include <cstdint>
#include <vector>

#include "core/vesk_simd_targets.h"
#include "hwy/targets.h"

namespace vesk::test {

inline std::vector<int64_t> targetsToTest() {
  hwy::SetSupportedTargetsForTest(0);
  const int64_t supported = hwy::SupportedTargets();
  const int64_t compiled = vesk::simd::compiledTargets();
  std::vector<int64_t> out;
  for (int i = 0; i < 63; ++i) {
    const int64_t t = int64_t{1} << i;
    if ((supported & compiled & t) != 0) out.push_back(t);
  }
  return out;
}

}  // namespace vesk::test
