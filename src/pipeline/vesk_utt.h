// The utterance session behind vesk_utt: audio in, finished frames of the
// driver canvas out.
//
// Threads and what they own:
//   run       every decision, the keypoint queue, the cursor, rendering, and
//   (without pipelined
//             paste) the paste into the output ring;
//   warm      loads the audio model and the chunk renderer, warms both
//   renderers, then ends; dispatch  every call into the audio model, one
//   request at a time through the mailbox; paste     with pipelined paste,
//   pastes rendered crops into the output ring.
// The main lock guards what the host touches (intake, output ring, statistics)
// and what the warm thread installs. All waits on the main condition are 2 ms
// timed waits, so a lost wake-up costs 2 ms and never a hang. An interrupt
// bumps a generation; work stamped with an older one is dropped wherever it is.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pipeline/vesk_utt_model.h"
#include "render/vesk_context.h"
#include "vesk/vesk.h"

namespace vesk {
class Renderer;

namespace utt {
// Test seam: when set, the warm thread runs it before loading the audio model,
// so a test can hold a session in its loading state. Set it only while no
// session is being created.
extern std::function<void()> beforeWarmForTesting;
// Test seam: the audio model's fault hook (see AudioModel) for sessions
// created while it is set.
extern AudioModel::FaultHook modelFaultForTesting;
// Test seam: called on the pasting thread after each step of an output frame
// ("driver": the driver frame was read into `frame`; "composite": the crop was
// pasted onto it); throwing stands for that step failing. Set it only while no
// session is being created.
extern std::function<void(const char* step, int si, uint8_t* frame)> pasteStepForTesting;
}  // namespace utt
}  // namespace vesk

struct vesk_utt {
  vesk_utt(vesk::RenderContext* ctx, const vesk_utt_opts& opts);
  ~vesk_utt();
  vesk_utt(const vesk_utt&) = delete;
  vesk_utt& operator=(const vesk_utt&) = delete;

  // Host side.
  int ready(std::string* error);
  void pushAudio(const int16_t* pcm, int count);
  void endUtterance();
  void interrupt();
  int framesAvailable();
  enum class Pull { None, Copied, TooSmall };
  // Copies the next frame into dst when one is ready and fits dst_len bytes.
  Pull pullFrame(void* dst, size_t dst_len, vesk_utt_frame_info* info);
  void stats(vesk_utt_stats* out);
  int renderStatus(char* buf, int len, int64_t* failures);
  size_t frameBytes() const { return frame_bytes_; }

  // Counts and describes a render failure; a fatal one degrades the session.
  void noteRenderFail(const char* stage, const char* text, bool fatal);

  static constexpr int kKp = 63;
  static constexpr int kRing = 8;
  static constexpr int kQueueCap = 32;
  static constexpr int kMaxPasteJobs = 8;
  static constexpr int kRenderAttempts = 2;

 private:
  struct Slot {
    std::vector<uint8_t> bytes;
    int64_t seq = 0;
    int32_t kind = 0, si = 0, index = -1;
    std::array<float, kKp> xd{};
  };
  struct PasteJob {
    std::vector<float> crop;
    bool has_crop = false;
    int32_t kind = 0, si = 0, index = -1;
    std::array<float, kKp> xd{};
    int64_t generation = 0;
    double enqueue_ms = 0;
  };
  // Where an end call fell in the pending audio: it ends the utterance after
  // the first `at` samples; the audio after it begins with the push at
  // next_push_ms.
  struct EndMark {
    size_t at = 0;
    double next_push_ms = 0;
  };
  struct Request {
    vesk::utt::AudioModel* model = nullptr;
    std::vector<float> audio;
    bool reset = false, finish = false;
    int start = 0, dir = 1, eager = 0, max = 0;
  };

  void start();
  void shutdown();
  void runLoop();
  // One pass of the run thread's loop; false once stopped.
  bool runPass(std::vector<float>& taken);
  // Run thread. While the current utterance finishes or a ramp runs, new audio
  // and its end calls wait in the intake.
  bool intakeHeld() const { return state_.load() == 3 || (in_utt_ && ended_seen_); }
  // Main lock held: moves the pending audio up to the first end call into
  // taken; true when an end call was taken with it. *first_push: when the
  // taken audio was first pushed.
  bool takeIntake(std::vector<float>& taken, double* first_push);
  void warmMain();
  void dispatchLoop();
  void pasteLoop();

  // Run thread.
  bool collectResult();
  void postRequest(vesk::utt::AudioModel* model, int eager);
  void handleInterrupt();
  // The utterance state as at a start (running) or after an interrupt.
  void resetUtterance(bool running);
  void startUtterance(double first_push);
  void endCurrentUtterance();
  void renderSpeech(int n);
  void emitSpeech(const float* crop, double render_ms);
  void produceRamp();
  void produceIdle();
  bool enqueue(const float* crop, int kind, int si, int index, const float* xd, double* wait);
  bool enqueueRaw(const float* crop, int kind, int si, int index, const float* xd, double* wait);
  bool enqueuePipe(const float* crop, int kind, int si, int index, const float* xd, double* wait);
  bool pasteInto(const float* crop, int kind, int si, int index, const float* xd, int64_t generation, double enqueue_ms,
                 double* wait);
  const float* renderOne(vesk::Renderer& r, int si, const float* xs, const float* xd);
  const float* targetRow(int si) const { return target_.data() + static_cast<size_t>(si) * kKp; }
  int queued() const { return q_end_ - q_start_; }
  // Every frame of the finished utterance has come from the model, or the
  // model failed and gives no more.
  bool modelDone() const {
    return !outstanding_ && (model_failed_ || (finish_sent_ && total_ >= 0 && total_ <= received_));
  }
  void printStageReport();
  int64_t generationSnapshot();

  // Configuration.
  vesk::RenderContext* ctx_;
  std::string motion_dir_;
  int threads_ = 0;
  std::string motion_ep_;
  std::string steady_key_;
  int eager_ = -1;
  bool hybrid_ = false;
  int64_t end_silence_ms_ = 600;
  int ramp_frames_ = 6;
  int interrupt_ramp_frames_ = 4;
  int onset_ = -1;
  bool pipelined_ = false;
  bool uses_a2x_ = false;
  int nt_ = 0, W_ = 0, H_ = 0, crop_ = 0;
  size_t frame_bytes_ = 0;
  std::vector<float> target_;
  std::function<void()> warm_gate_;
  vesk::utt::AudioModel::FaultHook model_fault_;
  std::function<void(const char*, int, uint8_t*)> paste_step_;

  // Main lock and what it guards.
  std::mutex mu_;
  std::condition_variable cv_;
  std::unique_ptr<vesk::utt::AudioModel> model_owned_;
  vesk::utt::AudioModel* model_ = nullptr;
  std::unique_ptr<vesk::Renderer> chunk_owned_;
  vesk::Renderer* chunk_ = nullptr;
  bool load_failed_ = false;
  std::string load_error_;
  std::vector<float> pending_;
  std::vector<EndMark> end_marks_;  // ascending
  // first_push_ms_: when the pending audio's first sample was pushed.
  double first_push_ms_ = 0, last_push_ms_ = 0;
  double utt_start_ms_ = 0;
  int64_t generation_ = 0;
  bool stop_ = false;
  std::array<Slot, kRing> ring_;
  int64_t read_ = 0, write_ = 0, next_seq_ = 0;
  bool have_delivered_ = false;
  int32_t delivered_kind_ = 0, delivered_si_ = 0;
  std::array<float, kKp> delivered_xd_{};
  std::array<PasteJob, kMaxPasteJobs> jobs_;
  int job_head_ = 0, job_count_ = 0;
  std::condition_variable paste_cv_;
  bool paste_stop_ = false;
  int64_t failures_ = 0;
  std::string last_failure_;
  bool degraded_ = false;
  vesk_utt_stats stats_{};
  double render_total_ = 0, wait_total_ = 0, paste_total_ = 0, latency_total_ = 0;
  int64_t render_count_ = 0, paste_jobs_done_ = 0, latency_count_ = 0;
  std::atomic<int32_t> state_{0};

  // Dispatch lock: the mailbox.
  std::mutex dmu_;
  std::condition_variable dcv_;
  bool posted_ = false;
  Request request_;
  bool result_ready_ = false;
  int result_got_ = 0, result_remaining_ = 0, result_total_ = -1;
  bool result_finished_ = false;
  // A model call failed; the finish call failed.
  bool result_failed_ = false, result_finish_failed_ = false;
  bool dispatch_stop_ = false;
  std::vector<int32_t> res_si_;
  std::vector<float> res_xs_, res_xd_;
  std::vector<float> spent_audio_;  // a request's audio buffer, handed back for reuse

  // The identity's warp prior is one decoding cursor: renders and idle-frame
  // walks take turns on it.
  std::mutex prior_mu_;

  // Run thread only.
  std::vector<int32_t> q_si_;
  std::vector<float> q_xs_, q_xd_;
  int q_start_ = 0, q_end_ = 0;
  int cursor_ = 0, dir_ = 1;
  bool in_utt_ = false, ended_seen_ = false, finish_sent_ = false, reset_pending_ = false;
  bool outstanding_ = false;
  bool model_failed_ = false;  // a model call of this utterance failed
  int64_t outstanding_gen_ = 0, gen_seen_ = 0;
  int64_t received_ = 0;
  int remaining_ = 0, total_ = -1;
  int hybrid_level_ = 0, last_eager_sent_ = 0;
  bool rendered_speech_ = false;
  int frame_counter_ = 0;
  int head_attempts_ = 0;
  std::vector<float> utt_audio_;
  int last_si_ = 0;
  std::array<float, kKp> last_xd_{};
  std::array<float, kKp> ramp_offset_{};
  int ramp_left_ = 0, ramp_len_ = 0;
  vesk::Renderer* chunk_seen_ = nullptr;

  // Paste thread only.
  std::vector<float> paste_work_;

  std::thread run_, warm_, dispatch_, paste_;
};
