// WarpDirector's sampling: each of the 3 source channels is read as a bilinear interpolation corrected
// by second differences, which is exact for biquadratic images (the director's smooth source cone).
//
// The planes form runs in two phases: the planes phase stores, per source pixel, 12 floats (for
// channels 0, 1, 2 in turn: I, Ixx, Iyy, Ixxyy, from the 3 x 3 neighbourhood with indices clamped to
// the image), and the gather phase combines the planes of the four bilinear corners of each output
// pixel. The direct form reads the corners' neighbourhoods itself and gives the same bits.
//
// Arrays are planar float32 for one batch item: source and out are 3 planes of H x W, the grid H x W
// pairs, the planes H x W x 12. Band functions cover rows [max(row_begin, 0), min(row_end, H)).
#pragma once

#include <cstddef>
#include <cstdint>

namespace vesk {

inline constexpr int64_t kWarpChannels = 3;
inline constexpr int64_t kWarpPlaneFloats = 12;  // per pixel: (I, Ixx, Iyy, Ixxyy) for each channel

void warpDirector(const float* source, const float* grid, float* out, int64_t W, int64_t H);
void warpDirectorBand(const float* source, const float* grid, float* out, int64_t W, int64_t H, int64_t row_begin,
                      int64_t row_end);
void warpDirectorPlanesBand(const float* source, float* planes, int64_t W, int64_t H, int64_t row_begin,
                            int64_t row_end);
void warpDirectorGatherBand(const float* planes, const float* grid, float* out, int64_t W, int64_t H, int64_t row_begin,
                            int64_t row_end);

// The name of the warp body this build runs.
const char* warpBody();

}  // namespace vesk
