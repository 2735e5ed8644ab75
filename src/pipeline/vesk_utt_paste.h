// The paste stage and the output ring: each crop is pasted onto its driver frame (an idle frame is the
// driver frame as it is), and the finished frame goes into the ring the host pulls from. With
// pipelined paste the crops wait as paste jobs for the paste thread; otherwise the producer pastes
// them itself.
//
// Locks: the ring and its counters, the last-delivered record, the paste jobs and the counters below
// are guarded by the session's main lock. The ring slot being filled, and the job slot past the last
// waiting job, belong to their one producer until it advances the counter that publishes them under
// that lock; the paste itself runs with no lock held. The warp prior's walk for an idle frame takes
// the prior lock the renders take.
#pragma once

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/vesk_constants.h"
#include "pipeline/vesk_utt_shared.h"
#include "render/vesk_context.h"
#include "vesk/vesk.h"

namespace vesk::utt {

enum class Pull { None, Copied, TooSmall };

// The last frame the host pulled.
struct Delivered {
  bool any = false;
  int32_t kind = 0, si = 0;
  std::array<float, kKpWidth> xd{};
};

// The paste side of the stage report.
struct PasteTiming {
  double paste_total = 0;    // ms, over the paste jobs
  int64_t jobs = 0;          // paste jobs done
  double latency_total = 0;  // ms from enqueue to the ring, over the speech frames pasted as jobs
  int64_t latency_count = 0;
};

class PasteStage {
 public:
  static constexpr int kRing = 8;
  static constexpr int kMaxJobs = 8;

  // Test seam: called after each step of an output frame ("driver": the driver frame was read into
  // `frame`; "composite": the crop was pasted onto it); throwing stands for that step failing.
  using StepHook = std::function<void(const char* step, int si, uint8_t* frame)>;

  PasteStage(RenderContext& ctx, MainLock& main, std::mutex& prior_mu, bool pipelined, FailureNote note, StepHook step);
  ~PasteStage();
  PasteStage(const PasteStage&) = delete;
  PasteStage& operator=(const PasteStage&) = delete;

  // Starts the paste thread, with pipelined paste.
  void start();
  // Ends and joins the paste thread.
  void stop();
  // Wakes the paste thread.
  void wake() { cv_.notify_all(); }

  size_t frameBytes() const { return frame_bytes_; }

  // Producer (the run thread): puts the frame (crop null: an idle frame) into the ring, through the
  // paste thread with pipelined paste. False when the session stopped or `generation` is no longer
  // current: the frame is dropped. *wait, when given, gains the time spent.
  bool enqueueRaw(const float* crop, int kind, int si, int index, const float* xd, int64_t generation, double* wait);
  // The teeth thread, with pipelined paste: queues a finished frame for the paste thread once fewer
  // than `limit` paste jobs wait. enqueue_ms: when the frame entered the pipeline. False when the
  // session stopped or `generation` is no longer current.
  bool pushJob(const float* crop, int kind, int si, int index, const float* xd, int64_t generation, double enqueue_ms,
               int limit);
  // Run thread: the first push of the utterance now starting, which its first frame's latency counts from.
  void setUtteranceStart(double first_push_ms);

  // Host side; each takes the main lock.
  int framesAvailable();
  // Copies the next frame into dst when one is ready and fits dst_len bytes.
  Pull pull(void* dst, size_t dst_len, vesk_utt_frame_info* info);

  // The main lock held.
  int readyLocked() const { return static_cast<int>(write_ - read_); }
  int jobsLocked() const { return job_count_; }
  // An interrupt: every ready frame and every waiting job is dropped.
  void dropLocked();
  const Delivered& deliveredLocked() const { return delivered_; }
  // frames, speech_frames, utterances and first_frame_ms.
  void statsLocked(vesk_utt_stats* out) const;
  const PasteTiming& timingLocked() const { return timing_; }

 private:
  struct Slot {
    std::vector<uint8_t> bytes;
    int64_t seq = 0;
    int32_t kind = 0, si = 0, index = -1;
    std::array<float, kKpWidth> xd{};
  };
  struct Job {
    std::vector<float> crop;
    bool has_crop = false;
    int32_t kind = 0, si = 0, index = -1;
    std::array<float, kKpWidth> xd{};
    int64_t generation = 0;
    double enqueue_ms = 0;
  };

  bool enqueuePipe(const float* crop, int kind, int si, int index, const float* xd, int64_t generation, double* wait);
  // enqueue_ms < 0: the job is stamped when its copy is done.
  bool enqueueJob(const float* crop, int kind, int si, int index, const float* xd, int64_t generation,
                  double enqueue_ms, int limit, double* wait);
  bool pasteInto(const float* crop, int kind, int si, int index, const float* xd, int64_t generation, double enqueue_ms,
                 double* wait);
  void pasteLoop();

  RenderContext& ctx_;
  MainLock& main_;
  std::mutex& prior_mu_;
  const bool pipelined_;
  const FailureNote note_;
  const StepHook step_;
  const int W_, H_;
  const size_t frame_bytes_, crop_floats_;

  // Guarded by the main lock.
  std::array<Slot, kRing> ring_;
  int64_t read_ = 0, write_ = 0, next_seq_ = 0;
  Delivered delivered_;
  std::array<Job, kMaxJobs> jobs_;
  int job_head_ = 0, job_count_ = 0;
  bool stop_ = false;  // the paste thread's own
  int64_t frames_ = 0, speech_frames_ = 0, utterances_ = 0;
  double first_frame_ms_ = 0;
  double utt_start_ms_ = 0;  // the current utterance's first push
  PasteTiming timing_;

  // Wakes the paste thread: notify one on each job, notify all on push and stop. Waited on with the
  // main lock.
  std::condition_variable cv_;
  std::vector<float> work_;  // paste thread only
  std::thread thread_;
};

}  // namespace vesk::utt
