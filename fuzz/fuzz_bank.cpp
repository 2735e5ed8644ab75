// Hostile bank tracks: the first four bytes choose the donor count, patch size and track order,
// the rest is the track. Decoding either returns exactly n h w 3 bytes or refuses; every FFmpeg
// object is released either way (LeakSanitizer watches).
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "tessera/vesk_tessera_bank.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const int n = 1 + data[0] % 8;
  const int h = 1 + data[1] % 32;
  const int w = 1 + data[2] % 32;
  std::vector<int> order(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) order[static_cast<size_t>(i)] = (data[3] & 1) != 0 ? n - 1 - i : i;
  if ((data[3] & 2) != 0) order[0] = order[static_cast<size_t>(n) - 1];  // a repeat, refused
  try {
    const std::vector<uint8_t> out = vesk::tessera::decodeBankTrack(data + 4, size - 4, n, h, w, order);
    if (out.size() != static_cast<size_t>(n) * h * w * 3) std::abort();
  } catch (const std::runtime_error&) {
  }
  return 0;
}
