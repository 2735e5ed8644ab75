// Load-time rewrites of director model bytes, applied before the session is created. Each one
// recognises one construct, checks it strictly, and either replaces it with an equivalent that runs
// faster or leaves the bytes exactly as they were. A new model is built in a vector of its own and
// swapped in only when complete, so a rewrite that throws (malformed bytes surface as the codec's
// errors, vesk_onnx.h) leaves the model untouched.
#pragma once

#include <cstddef>
#include <cstdint>
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
