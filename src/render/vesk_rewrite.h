// Load-time rewrites of director model bytes, applied before the session is created. Each one
// recognises one construct, checks it strictly, and either replaces it with an equivalent that runs
// faster or leaves the bytes exactly as they were. A new model is built in a vector of its own and
// swapped in only when complete, so a rewrite that throws (malformed bytes surface as the codec's
// errors, vesk_onnx.h) leaves the model untouched.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "render/vesk_onnx.h"

namespace vesk {

// Whether a node (a NodeProto payload) is a standard-domain GridSample that GridSampleFast computes
// exactly: mode "bilinear" or "linear" (stated, not defaulted), padding_mode "border" (stated),
// align_corners absent or 0.
bool gsIsRewritableGridSample(GsSlice node);

// Every rewritable GridSample of the model's graph becomes com.zentrova::GridSampleFast, keeping its
// name, inputs and outputs; the model gains a "com.zentrova" opset import when it has none. Returns
// the number of nodes rewritten; with 0 the model is left unchanged.
size_t rewriteGridSampleToFast(std::vector<uint8_t>& model);

}  // namespace vesk

// --- The director head and the student blend (vesk_rewrite_head.cpp).

namespace vesk {

// The four Keys cubic weights with coefficient a for the sample offsets (t + 1, t, 1 - t, 2 - t),
// divided by their sum.
std::array<double, 4> hcTaps(double t, double a);

// Whether a node (a NodeProto payload) is the older students' 2-D blend: a standard-domain MatMul
// named "/s2/blend" with exactly two inputs and no attributes.
bool gsIsStudentBlendMatMul(GsSlice node);

// Every student blend MatMul becomes a Gemm of the same two inputs (Gemm's defaults compute the
// same product). Returns the number of nodes rewritten; with 0 the model is left unchanged.
size_t normaliseStudentBlend(std::vector<uint8_t>& model);

// The graph's one cubic x2 half-pixel Resize, read by one Conv, becomes Pad(edge, 2), a depthwise
// 5x5 Conv producing the four output phases of every channel, and DepthToSpace(2, CRD): the same
// filter to fp32 round-off. Returns 1 when rewritten; 0 (model unchanged) unless exactly one Resize
// qualifies and its consumer and channel count check out.
size_t rewriteHeadCubicResize(std::vector<uint8_t>& model);

// --- The source-cone hoist (vesk_rewrite_cone.cpp): the part of the graph that depends on P_rgb
// alone is cut off at the one Concat that reads P_rgb, so it can run once per source frame.

// The number of Concat nodes reading P_rgb (with a first output); name is that Concat's first output
// when the number is 1, else empty.
size_t findSourceConeBoundary(const std::vector<uint8_t>& model, std::string& name);

// The cone alone: P_rgb in, the boundary out (its dims symbolic, for the runtime to infer). False
// with a reason when the graph has no P_rgb input or the cone is not cleanly separable.
bool buildSourceConePrep(const std::vector<uint8_t>& model, const std::string& boundary, std::vector<uint8_t>& prep,
                         std::string& reason);

// The graph without its cone: the boundary becomes a graph input of the given static dims, and
// P_rgb is no longer an input.
bool buildSourceConePerFrame(const std::vector<uint8_t>& model, const std::string& boundary, const int64_t* dims,
                             size_t n, std::vector<uint8_t>& perFrame, std::string& reason);

// --- The warp block and the lip-contour bind (vesk_rewrite_warp.cpp, vesk_rewrite_lip.cpp).

// The director's warp block as findWarpBlock finds it: the single Concat that reads P_rgb (the
// boundary), the one GridSample on it, and the Slice-and-arithmetic recombination of the sampled
// channels into one value (the exit).
struct WarpBlock {
  std::string boundary;       // the Concat's output
  std::string sampled;        // the GridSample's output
  std::string grid;           // the GridSample's grid input
  std::string exit;           // the recombination's single exit
  size_t gridSampleNode = 0;  // the GridSample's index among the graph's nodes
};

// Whether the model carries a warp block that WarpDirector(P_rgb, grid) computes; on false, reason
// says what is missing.
bool findWarpBlock(const std::vector<uint8_t>& model, WarpBlock* out, std::string& reason);

// The warp block becomes one com.zentrova::WarpDirector node "vesk_warp_director" reading P_rgb and
// the grid and writing the block's exit. Returns the number of nodes removed; with 0 the model is
// left unchanged and reason says why.
size_t rewriteWarpBlockToCustomOp(std::vector<uint8_t>& model, std::string& reason);

// Narrows the compose alpha a of the director's compose tail to Min(a, lip_delivery), where
// "lip_delivery" is a new graph input of the compose canvas's size. Returns whether it was bound;
// canvas (when not null) receives the compose canvas in pixels once it is known. On false the model
// is unchanged and reason says why.
bool rewriteBindLipContour(std::vector<uint8_t>& model, std::string& reason, int* canvas);

}  // namespace vesk
