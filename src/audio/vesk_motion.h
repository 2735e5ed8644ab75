// The motion model: 16 kHz audio in, per video frame a source index and two keypoint rows out.
//
// Three learned stages: a student network turns log-mel blocks into audio features (50 per second,
// averaged to one conditioning row per video frame); lmdm turns 80-frame windows of conditioning rows
// into motion vectors, windows advancing by 70 frames and blending over 10; per frame the motion's
// lip expression moves the source frame's keypoints, both sets are posed by the source frame's head
// pose and stitch corrects the driven set.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "audio/vesk_motion_mel.h"
#include "audio/vesk_motion_net.h"
#include "vesk/vesk.h"
#include "core/vesk_constants.h"

namespace vesk {

class Motion {
 public:
  static constexpr int kSamplesPerFrame = vesk::kSamplesPerFrame;
  static constexpr int kWindowFrames = 5;       // conditioning rows per feature window
  static constexpr int kWindowSamples = 6480;   // audio of one feature window
  static constexpr int kWindowLead = 2000;      // it starts this far before its first frame
  static constexpr int kMelBands = 80;
  static constexpr int kMelFrames = 21;
  static constexpr int kHopSamples = 320;
  static constexpr int kPad = 256;              // reflected samples at each end of a window
  static constexpr int kFeatDim = 1024;
  static constexpr int kStudentFrames = 20;
  static constexpr int kCondDim = 1103;
  static constexpr int kMotionDim = 265;
  static constexpr int kSmoothDims = 202;       // pose part: smoothed over time
  static constexpr int kExprAt = 202;
  static constexpr int kChunk = 80;             // lmdm window
  static constexpr int kStride = 70;            // windows advance by this
  static constexpr int kOverlap = 10;
  static constexpr int kMargin = 11;            // live frames wait for this many motion rows beyond them
  static constexpr int kTrimRows = 128;         // held rows are trimmed in steps of at least this many
  static constexpr int64_t kTrimSamples = 81920;  // and held audio in steps of at least this many samples
  static constexpr int kDescDim = 328;
  static constexpr int kKp = kKpWidth;
  static constexpr std::array<int, 6> kLip = {6, 12, 14, 17, 19, 20};

  // Reads meta.json and every table of motionDir and opens the three networks. threads < 1 takes the
  // worker pool's size; ep "" is the CPU provider, "coreml[:cpu|gpu|ane]" the CoreML provider.
  Motion(const std::string& motionDir, int threads, const std::string& ep);

  void push(const float* samples, int n);  // throws after finish
  void finish();
  int avail();
  int pull(int* si, float* xs, float* xd, int max);
  void reset(int start, int dir, int wrap);
  void setEager(int eager) { eager_ = eager; }

  bool finished() const { return finished_; }
  int total() const { return finished_ ? total_ : -1; }
  int nt() const { return nt_; }

  // What the scheduler looks at, for tests and the benchmark.
  int conditioningRows() const { return condRows_; }
  int motionRows() const { return motionRows_; }
  int chunksRun() const { return chunk_; }
  int eagerWindows() const { return eagerWindows_; }
  int melFramesReused() const { return melReused_; }
  // What the stream holds now: audio samples, conditioning rows, motion rows, and the capacity of
  // the stream's buffers in bytes.
  size_t heldSamples() const { return samples_.size(); }
  size_t heldConditioningRows() const { return cond_.size() / kCondDim; }
  size_t heldMotionRows() const { return table_.size() / kMotionDim; }
  size_t heldCapacityBytes() const {
    return (samples_.capacity() + cond_.capacity() + table_.capacity() + smoothCopy_.capacity()) * sizeof(float);
  }
  // Off: every window's log-mel block is computed whole (tests compare the two ways bit for bit).
  void setMelReuse(bool on) { melReuse_ = on; }
  int eagerCount() const;
  double runSeconds() const;  // time inside Session::Run of the three networks

  // The log-mel block of one window start (80 x 21, band-major) from 6480 samples; exposed for tests.
  void melBlock(const float* window6480, float* out80x21);

  // Frames 11..19 of a window's block are frames 1..9 of the next window's (3200 samples later), when
  // both saw the same audio there.
  static constexpr int kMelShift = 10;
  static constexpr int kMelSharedFrom = 11, kMelSharedTo = 19;

 private:
  struct Pose {
    float scale, tx, ty;
    std::array<float, kKp> canS;   // canonical keypoints rotated by the source pose
    std::array<float, kKp> canD;   // and by the driven pose (pitch + delta_pitch)
  };

  void loadTables(const std::string& dir);
  void openNets(const std::string& dir, int threads, const std::string& ep);
  void melPad();  // reflects the window at padded_ + kPad into the pads
  void processWindow(int w);
  void runChunk(int c);
  void buildFinal();
  int availableNow() const;
  void advanceLive();
  void runReadyChunks(int rows);
  // Drops the audio no later feature window reads and the rows no later motion window or frame
  // reads, each in steps; nothing while dumping (the dumps hold whole arrays).
  void trimAudio();
  void trimRows();
  void motionRow(int f, float* row) const;
  void emitFrame(int* si, float* xs, float* xd);
  void dump(const char* name, const float* data, size_t n, bool append) const;

  // Configuration.
  int nt_ = 0, nEmo_ = 0;
  float sBridge_ = 0, deltaPitch_ = 0, gain_ = 1;
  std::string dumpDir_;
  std::vector<float> fmean_, fstd_, emo_, chInfo_, chSc_, eyeOpen_, eyeBall_, vmin_, vmax_,
      srcInfo_, target_;
  std::vector<Pose> poses_;
  std::array<float, kMotionDim> initState_{};
  MotionMel mel_;

  Ort::SessionOptions options_;
  Net student_, lmdm_, stitch_;

  // Stream.
  std::vector<float> samples_;  // from sample samplesBase_
  int64_t samplesBase_ = 0;
  bool finished_ = false;
  int total_ = 0;
  int nextWindow_ = 0;  // first frame of the next feature window
  int eagerWindows_ = 0;
  int melWindow_ = -1;        // the window whose block the student's input holds
  int64_t melHave_ = 0;       // samples pushed when it was computed
  int melReused_ = 0;
  bool melReuse_ = true;
  std::vector<float> cond_;  // kCondDim per row, from row condBase_
  int condRows_ = 0, condBase_ = 0;
  std::vector<float> table_;  // kMotionDim per row, from row tableBase_
  int motionRows_ = 0, tableBase_ = 0;
  int chunk_ = 0;
  std::array<float, kMotionDim> state_{};
  bool final_ = false;
  int pulled_ = 0;
  int pos_ = 0, dir_ = 1, wrap_ = 1;
  bool haveFirst_ = false;
  std::array<float, kMotionDim> first_{};
  int eager_ = -1;
  double chunkMsAvg_ = 0;
  bool dumpedWindow_ = false, dumpedChunk_ = false;

  // Scratch, sized once.
  std::vector<float> padded_, feat_, smoothCopy_;  // padded_: a window and its reflected pads
  std::array<float, kMotionDim> row_{};
  std::array<float, kKp> exprD_{}, xsPosed_{};
};

}  // namespace vesk
