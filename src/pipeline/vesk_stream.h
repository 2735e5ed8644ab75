// The whole-run stream behind vesk_stream: all of one utterance's audio in, every finished frame out
// through a callback, in order. The fca offsets of the whole run come first; then a render thread
// and the calling thread work as two stages (render a crop, paste it) over a ring of four crops.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "vesk/vesk.h"

namespace vesk::stream {

inline constexpr int kRingSlots = 4;

// Driver index of each rendered frame of a run of `frames` frames that skips the first `skip`: the
// index walks 0, 1, .., nt - 1, 0, .. from the first frame on, skipped frames included; it stays 0
// when nt < 2.
std::vector<int> sourceIndices(int frames, int nt, int skip);

// One stage of the pipeline for frame r (0-based among the rendered frames).
using RenderStage = std::function<const float*(int r)>;  // the crop, or null on failure
using PasteStage = std::function<bool(int r, const float* crop)>;  // false on failure
using DeliverStage = std::function<void(int r)>;

// Renders `count` frames on a thread of its own and pastes them on the calling thread, in order,
// through kRingSlots crops of cropFloats floats each; deliver(r) runs on the calling thread after
// frame r's crop has left the ring. The first failure of either stage stops both: nothing further is
// rendered, pasted or delivered, and neither side is left waiting. Returns false after a failure.
// The render thread is joined before the call returns, also when a stage throws; the exception,
// thrown on either thread, then propagates from this call.
bool runPipeline(int count, size_t cropFloats, const RenderStage& render, const PasteStage& paste,
                             const DeliverStage& deliver);

}  // namespace vesk::stream
