// Numbers every area agrees on: the host keypoint contract and the audio and video clocks.
#pragma once

namespace vesk {

// A host keypoint set is this many rows of (x, y, z), row-major.
inline constexpr int kHostKpRows = 21;
inline constexpr int kKpWidth = kHostKpRows * 3;

// Speech is 16 kHz and video 25 frames per second, so one frame spans 640 samples.
inline constexpr int kSampleRate = 16000;
inline constexpr int kFrameRate = 25;
inline constexpr int kSamplesPerFrame = kSampleRate / kFrameRate;

}  // namespace vesk
