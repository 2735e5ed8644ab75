// The model mailbox: the session's one line to its audio model. The run thread posts a request, the
// dispatch thread makes the model calls and answers with a result; one request is in flight at a
// time, so the run thread never waits on a model call it did not choose to wait for.
//
// Hand-off, every step of it under the dispatch lock except where it says otherwise:
//   post     run thread: writes the request, sets posted, clears ready.
//   take     dispatch thread: moves the request out, clears posted; then, with no lock held, makes the
//            model calls and writes the pulled frames into the result buffers.
//   answer   dispatch thread: writes the counts and the request's generation, sets ready, and hands
//            the request's audio buffer back; then wakes the run thread through the wake call.
//   collect  run thread: sees ready, clears it and reads the counts; then, with no lock held, reads
//            the result buffers.
// The result buffers thus have one writer from take to answer and one reader from collect to the next
// post, and the run thread posts only after it has collected, so the two never overlap.
//
// A request carries the interrupt generation it was posted under and its result carries it back: the
// run thread drops the frames of a result whose generation is no longer current, so a request in
// flight across an interrupt costs one model call and nothing more.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "pipeline/vesk_utt_model.h"
#include "pipeline/vesk_utt_shared.h"

namespace vesk::utt {

struct ModelRequest {
  AudioModel* model = nullptr;
  std::vector<float> audio;
  bool reset = false, finish = false;
  int start = 0, dir = 1;
  int eager = 0;  // 0: leave the model's eager value as it is
  int max = 0;    // frames to pull at most
  int64_t generation = 0;
};

struct ModelResult {
  int got = 0;                 // frames pulled into the result buffers
  int remaining = 0;           // frames the model still holds
  int total = -1;              // the model's total, -1 before finish
  bool finished = false;       // the request carried the finish
  bool failed = false;         // a model call failed
  bool finish_failed = false;  // the finish call failed
  int64_t generation = 0;
};

class ModelMailbox {
 public:
  // capacity: the most frames one request may pull. note: records a failed model call; wake: wakes
  // the run thread once a result is in.
  ModelMailbox(int capacity, FailureNote note, std::function<void()> wake);
  ~ModelMailbox();
  ModelMailbox(const ModelMailbox&) = delete;
  ModelMailbox& operator=(const ModelMailbox&) = delete;

  void start();
  // Ends and joins the dispatch thread; a request still posted is not run.
  void stop();

  // Run thread.
  void post(ModelRequest&& request);
  // Blocks until the posted request is answered or the mailbox stops.
  void waitResult();
  // When a result is ready: clears it, copies its counts to *out and, when `audio` is empty, gives it
  // the answered request's buffer if that one is larger. False when none is ready.
  bool collect(ModelResult* out, std::vector<float>& audio);
  // The collected result's frames, valid until the next post.
  const int32_t* si() const { return si_.data(); }
  const float* xs() const { return xs_.data(); }
  const float* xd() const { return xd_.data(); }

 private:
  void dispatchLoop();
  // The model calls of one request, into the result buffers.
  ModelResult run(ModelRequest& req);

  const FailureNote note_;
  const std::function<void()> wake_;

  // Dispatch lock and what it guards.
  std::mutex mu_;
  // Wakes the dispatch thread for a request and a run thread waiting for a result.
  std::condition_variable cv_;
  bool posted_ = false;
  ModelRequest request_;
  bool ready_ = false;
  ModelResult result_;
  std::vector<float> spent_audio_;  // an answered request's audio buffer, handed back for reuse
  bool stop_ = false;

  // Result buffers, for `capacity` frames; see the hand-off above.
  std::vector<int32_t> si_;
  std::vector<float> xs_, xd_;

  std::thread thread_;
};

}  // namespace vesk::utt
