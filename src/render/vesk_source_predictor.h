// Which source frame a hoisted render will most likely ask for next, so its cone can be computed
// before it is asked for. Playback moves one frame at a time in either direction, bounces at the
// ends until the driver has been seen to loop from its last frame to its first, and wraps after.
#pragma once

#include <cstdint>

namespace vesk {

struct SourcePredictor {
  int32_t last = -1;  // the source frame of the previous render
  int32_t step = 1;   // the playback direction
  bool wrap = false;  // the driver loops

  // The frame predicted to follow s, of w frames.
  int32_t next(int32_t s, int32_t w) {
    const int32_t prev = last;
    last = s;
    if (w <= 1) return s;
    if (prev == w - 1 && s == 0) {
      wrap = true;
      if (w == 2) step = -1;
      return ((step % w) + w) % w;
    }
    if (prev >= 0 && (s - prev == 1 || s - prev == -1)) step = s - prev;
    const int32_t p = s + step;
    if (wrap) return ((p % w) + w) % w;
    if (p >= w) return w - 2;
    if (p < 0) return 1;
    return p;
  }
};

}  // namespace vesk
