// The utterance session behind vesk_utt: audio in, finished frames of the driver canvas out.
//
// Threads and what they own:
//   run       every decision, the keypoint queue, the utterance state and the cursor, rendering, and
//             (without pipelined paste) the paste into the output ring;
//   warm      loads the audio model and the chunk renderer, warms both renderers, then ends;
//   dispatch  every call into the audio model, one request at a time (ModelMailbox);
//   paste     with pipelined paste, pastes rendered crops into the output ring (PasteStage);
//   teeth     with pipelined paste and a teeth pass attached, runs the pass between the run thread
//             and the paste thread (TeethStage).
// The main lock (MainLock) guards what the host touches (intake, output ring, statistics, render
// status) and what the warm thread installs; each member below says which lock guards it.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/vesk_constants.h"
#include "pipeline/vesk_utt_config.h"
#include "pipeline/vesk_utt_mailbox.h"
#include "pipeline/vesk_utt_model.h"
#include "pipeline/vesk_utt_paste.h"
#include "pipeline/vesk_utt_queue.h"
#include "pipeline/vesk_utt_shared.h"
#include "pipeline/vesk_utt_teeth.h"
#include "render/vesk_context.h"
#include "vesk/vesk.h"

namespace vesk {
class Renderer;

namespace utt {
// The session's state. The numbers are the ones hosts read in vesk_utt_stats::state.
enum class State : int32_t {
  Idle = 0,      // driver frames, one at a time, each once the ring and the paste jobs are empty
  Starting = 1,  // an utterance has audio and no speech frame yet
  Speaking = 2,  // speech frames are rendered as keypoint frames arrive
  Ramp = 3,      // ramp frames ease the face back onto the target rows; new audio waits
};

// Test seam: when set, the warm thread runs it before loading the audio model, so a test can hold a
// session in its loading state. Set it only while no session is being created.
extern std::function<void()> beforeWarmForTesting;
// Test seam: the audio model's fault hook (see AudioModel) for sessions created while it is set.
extern AudioModel::FaultHook modelFaultForTesting;
// Test seam: the paste stage's step hook (see PasteStage), called on the pasting thread, for sessions
// created while it is set.
extern PasteStage::StepHook pasteStepForTesting;
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
  int framesAvailable() { return paste_.framesAvailable(); }
  using Pull = vesk::utt::Pull;
  // Copies the next frame into dst when one is ready and fits dst_len bytes.
  Pull pullFrame(void* dst, size_t dst_len, vesk_utt_frame_info* info) { return paste_.pull(dst, dst_len, info); }
  // Every field but the state.
  void stats(vesk_utt_stats* out);
  vesk::utt::State state() const { return state_.load(); }
  int renderStatus(char* buf, int len, int64_t* failures);
  size_t frameBytes() const { return paste_.frameBytes(); }

  // Host side: arms the teeth pass (see vesk_utt_tessera_attach; the arguments are not null, n > 0).
  // Throws the refusal's text; on failure nothing is installed.
  void tesseraAttach(const uint8_t* bank, int n, const double* cent, const double* c_canon, const double* aperture,
                     const int32_t* stamp, const uint8_t* head, int head_len, const char* head_json,
                     const char* manifest);
  vesk::utt::TeethStage& teeth() { return teeth_; }

  // Counts and describes a render failure; a fatal one degrades the session.
  void noteRenderFail(const char* stage, const char* text, bool fatal);

  static constexpr int kQueueCap = 32;
  static constexpr int kRenderAttempts = 2;

 private:
  // Where an end call fell in the pending audio: it ends the utterance after the first `at` samples;
  // the audio after it begins with the push at next_push_ms.
  struct EndMark {
    size_t at = 0;
    double next_push_ms = 0;
  };

  void start();
  void shutdown();
  void runLoop();
  // One pass of the run thread's loop; false once stopped.
  bool runPass(std::vector<float>& taken);
  // Run thread. While the current utterance finishes or a ramp runs, new audio and its end calls wait
  // in the intake.
  bool intakeHeld() const { return state_.load() == vesk::utt::State::Ramp || (in_utt_ && ended_seen_); }
  // Main lock held: moves the pending audio up to the first end call into taken; true when an end
  // call was taken with it. *first_push: when the taken audio was first pushed.
  bool takeIntake(std::vector<float>& taken, double* first_push);
  void warmMain();

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
  bool teethFailed();
  // Sets up a ramp from (si, xd), the last frame that carried a face, back onto the target rows.
  void beginRamp(int si, const float* xd, int frames);
  bool enqueue(const float* crop, int kind, int si, int index, const float* xd, double* wait) {
    return teeth_.enqueue(crop, kind, si, index, xd, gen_seen_, wait);
  }
  const float* renderOne(vesk::Renderer& r, int si, const float* xs, const float* xd);
  const float* targetRow(int si) const { return target_.data() + static_cast<size_t>(si) * vesk::kKpWidth; }
  // Every frame of the finished utterance has come from the model, or the model failed and gives no
  // more.
  bool modelDone() const {
    return !outstanding_ && (model_failed_ || (finish_sent_ && total_ >= 0 && total_ <= received_));
  }
  void printStageReport();
  int64_t generationSnapshot();

  // Configuration, set before the threads start.
  vesk::RenderContext* ctx_;
  vesk::utt::Config cfg_;
  int nt_ = 0;
  size_t crop_floats_ = 0;
  std::vector<float> target_;  // NT rows, or empty: no ramps
  std::function<void()> warm_gate_;
  vesk::utt::AudioModel::FaultHook model_fault_;
  vesk::utt::FailureNote note_;  // noteRenderFail, for the parts that report through it

  // Main lock; it also guards the members from here to render_count_.
  vesk::utt::MainLock main_;
  // Installed once by the warm thread; the run thread reads them each pass.
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
  int64_t failures_ = 0;
  std::string last_failure_;
  bool degraded_ = false;
  double render_ms_ = 0;  // the statistics' render time
  double render_total_ = 0, wait_total_ = 0;
  int64_t render_count_ = 0;
  // No lock: written by the run thread only, read anywhere.
  std::atomic<vesk::utt::State> state_{vesk::utt::State::Idle};

  // Prior lock. The identity's warp prior is one decoding cursor: renders (run and warm threads) and
  // idle-frame walks (the pasting thread) take turns on it under this lock, never with the main lock
  // held.
  std::mutex prior_mu_;

  // The paste stage and the output ring; its members are guarded by the main lock.
  vesk::utt::PasteStage paste_;
  // The teeth stage between render and paste; its counters are guarded by the main lock.
  vesk::utt::TeethStage teeth_;
  // The dispatch mailbox, with its own lock.
  vesk::utt::ModelMailbox mailbox_;

  // Run thread only.
  vesk::utt::KeypointQueue queue_;
  int cursor_ = 0, dir_ = 1;
  bool in_utt_ = false, ended_seen_ = false, finish_sent_ = false, reset_pending_ = false;
  bool outstanding_ = false;
  bool model_failed_ = false;  // a model call of this utterance failed
  int64_t gen_seen_ = 0;
  int64_t received_ = 0;
  int remaining_ = 0, total_ = -1;
  int hybrid_level_ = 0, last_eager_sent_ = 0;
  bool rendered_speech_ = false;
  int frame_counter_ = 0;
  int head_attempts_ = 0;
  std::vector<float> utt_audio_;
  int last_si_ = 0;
  std::array<float, vesk::kKpWidth> last_xd_{};
  std::array<float, vesk::kKpWidth> ramp_offset_{};
  int ramp_left_ = 0, ramp_len_ = 0;
  vesk::Renderer* chunk_seen_ = nullptr;

  std::thread run_, warm_;
};
