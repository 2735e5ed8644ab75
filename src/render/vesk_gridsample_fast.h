// The "com.zentrova" operator domain: GridSampleFast, a drop-in for the standard GridSample in the
// one configuration the directors use (bilinear, border padding, align_corners 0, output the size of
// the input), and WarpDirector (vesk_warp.h), which replaces the director's whole warp block.
//
// Arrays are planar float32 for one batch item: X and out are C planes of H x W, the grid H x W
// pairs (x, y) normalised to [-1, 1]. A sample lands at x = ((gx + 1) * W - 1) / 2 and
// y = ((gy + 1) * H - 1) / 2; the four neighbours are clamped into the image (border padding).
//
// The band bodies run through Highway, chosen at run time; every target and the scalar tail compute
// the same products and sums in the same order without fused multiply-add, so the output is the
// same on every processor.
//
// Threads: the free functions are reentrant; bands of one item may run concurrently, each writing
// only its own rows. The domain is built once under the static-initialisation guard and only read
// afterwards.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstdint>
#include <vector>

namespace vesk {

// One batch item, all rows.
void gridsample_fast(const float* X, const float* grid, float* out, int64_t C, int64_t H, int64_t W);
// Rows [max(row_begin, 0), min(row_end, H)) of one batch item. Throws when H x W does not fit the
// 32-bit offsets the gathers use.
void gridsample_fast_band(const float* X, const float* grid, float* out, int64_t C, int64_t H, int64_t W,
                          int64_t row_begin, int64_t row_end);

// Rows per job handed to the session's intra-op pool.
inline constexpr int64_t kSampleBandRows = 16;

// The process-wide "com.zentrova" domain with both operators; made on first call, released at exit.
Ort::CustomOpDomain& zentrovaDomain();
// Adds the GridSampleFast and WarpDirector descriptions to a domain.
void domainOps(Ort::CustomOpDomain& domain);
// Each adds the whole domain to the options, so either makes both operators available.
void registerGridSampleFast(Ort::SessionOptions& options);
void registerWarpDirector(Ort::SessionOptions& options);

// True when a node of the model's graph is a GridSampleFast of "com.zentrova". Malformed model bytes
// throw the codec's errors.
bool graphHasBakedGridSampleFast(const std::vector<uint8_t>& model);

}  // namespace vesk
