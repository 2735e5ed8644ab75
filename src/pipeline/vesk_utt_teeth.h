// The session's teeth stage: each rendered crop goes through a StreamBorrow, which answers one
// frame late, so the stage holds one crop back and delivers it when the next crop arrives or when an
// idle frame, the end of speech or an interrupt forces a flush. It runs inline on the run thread, or,
// with pipelined paste, on a teeth thread of its own between the run thread and the paste thread.
//
// It fails closed: once the pass has thrown or skipped a frame, no further frame is delivered (the
// host would otherwise get a mouth without its teeth) until a new attach.
//
// Locks: the fields marked below are guarded by the session's main lock. The StreamBorrow in use and
// the held crop belong to the one thread that runs the stage (the run thread inline, the teeth
// thread when pipelined). An attach only swaps the shared pointer and bumps the attach serial under
// the lock; the stage thread notices the new serial at its next frame, drops what it held for the
// old pass, and counts nothing more for it.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/vesk_constants.h"
#include "pipeline/vesk_utt_paste.h"
#include "pipeline/vesk_utt_shared.h"
#include "tessera/vesk_tessera.h"
#include "tessera/vesk_tessera_stream.h"

namespace vesk::utt {

// The keypoints handed to the pass for a frame that carries none.
inline constexpr std::array<float, kKpWidth> kZeroXd{};

class TeethStage {
 public:
  // Teeth jobs waiting for the teeth thread, and paste jobs the teeth thread lets wait.
  static constexpr int kMaxJobs = 2;

  // pipelined_paste: the session pastes on a paste thread, so an attached stage runs on its own.
  TeethStage(MainLock& main, PasteStage& paste, int crop, bool pipelined_paste);
  ~TeethStage();
  TeethStage(const TeethStage&) = delete;
  TeethStage& operator=(const TeethStage&) = delete;

  // Host thread: installs a new pass (replacing an earlier one) and resets the counters, the last
  // text and the failed flag; starts the teeth thread at the first pipelined attach.
  void attach(std::unique_ptr<tessera::StreamBorrow> borrow, std::string geometry);
  // Sets the teeth stop flag and joins the teeth thread.
  void stop();

  // Run thread: the frame (crop null: an idle frame) goes to the paste stage, through the pass when
  // one is attached. False when the frame was dropped. *wait, when given, gains the time spent.
  bool enqueue(const float* crop, int kind, int si, int index, const float* xd, int64_t generation, double* wait);
  // Run thread, at an interrupt: inline, the held crop and the pass's pending frame are discarded.
  // (The teeth thread does the same itself when it meets the new generation.)
  void interruptInline();

  // Host side; each takes the main lock.
  int stats(int64_t* emitted, int64_t* skipped, char* buf, int size);
  int geometry(char* buf, int size);
  int synthW(double* mean, double* max, int64_t* count);

  // The main lock held.
  bool failedLocked() const { return borrow_ != nullptr && failed_; }
  // Teeth jobs waiting or being worked on: the run thread counts them as frames on their way.
  int pendingLocked() const { return pending_; }
  bool pipeLocked() const { return borrow_ != nullptr && pipelined_; }
  int64_t jobsDoneLocked() const { return jobs_done_; }
  double teethMsLocked() const { return teeth_ms_; }

 private:
  struct Frame {
    std::vector<float> crop;
    bool has_crop = false;
    int32_t kind = 0, si = 0, index = -1;
    std::array<float, kKpWidth> xd{};
    int64_t generation = 0;
    double enqueue_ms = 0;
  };
  // What the stage thread read under the lock for one frame.
  struct Armed {
    std::shared_ptr<tessera::StreamBorrow> borrow;
    uint64_t serial = 0;
  };

  // Stage thread: forgets what it held for an earlier pass.
  void follow(uint64_t serial, int64_t attach_generation);
  bool inlineStage(const Armed& a, const float* crop, int kind, int si, int index, const float* xd, int64_t generation,
                   double* wait);
  // Flushes the held frame out of the pass and hands it on; onRunThread: the inline stage.
  bool tessDrain(const Armed& a, bool onRunThread, double* wait);
  bool enqueueTess(const float* crop, int kind, int si, int index, const float* xd, int64_t generation, double* wait);
  void tessLoop();
  void tessStage(const Armed& a, Frame& job);
  // result_ answers for the held crop: written into it and handed on. False when the stage refused it.
  bool emitHeld(const Armed& a, double* wait, bool* delivered);
  bool pushPaste(const Frame& f);
  void hold(const float* crop, int kind, int si, int index, const float* xd, int64_t generation, double enqueue_ms);

  // Each takes the main lock and counts only for the pass that is still attached.
  void fail(uint64_t serial, const std::string& text);
  void noteSkip(uint64_t serial, const std::string& reason);
  void noteEmitted(uint64_t serial);
  void notePass(const Armed& a, double ms);
  bool failed(uint64_t serial);

  MainLock& main_;
  PasteStage& paste_;
  const int N_;
  const bool pipelined_paste_;

  // Guarded by the main lock.
  std::shared_ptr<tessera::StreamBorrow> borrow_;
  uint64_t serial_ = 0;  // bumped by every attach
  int64_t attach_generation_ = 0;
  bool pipelined_ = false;
  std::string geometry_;
  int64_t emitted_ = 0, skipped_ = 0;
  std::string last_text_;
  bool failed_ = false;
  tessera::TeethPass::Stats pass_stats_;  // the pass's totals as of its last push or flush
  double teeth_ms_ = 0;
  int64_t jobs_done_ = 0;
  std::array<Frame, kMaxJobs> jobs_;
  int job_head_ = 0, job_count_ = 0;
  int pending_ = 0;
  bool stop_ = false;

  // Wakes the teeth thread: notify one on each job, notify all on stop. Waited on with the main lock.
  std::condition_variable cv_;

  // The stage thread's own.
  Frame held_;
  bool holding_ = false;
  uint64_t serial_seen_ = 0;
  int64_t generation_seen_ = 0;
  tessera::FrameResult result_;
  std::vector<float> work_;

  std::thread thread_;
};

}  // namespace vesk::utt
