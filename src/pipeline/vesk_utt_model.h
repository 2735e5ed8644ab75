// The audio model of an utterance session: the streaming a2x model or the
// motion model, driven through their own C calls so the session sees exactly
// what a host would.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "vesk/vesk_a2x.h"

namespace vesk::utt {

class AudioModel {
 public:
  // Test seam: called with the call's name ("reset", "push", "finish",
  // "avail", "pull") before each call; a non-empty text skips the call and
  // makes it fail with that text, as a failing model would.
  using FaultHook = std::function<std::string(const char* call)>;

  // Throws std::runtime_error with the model family's own last-error text.
  static std::unique_ptr<AudioModel> create(bool a2x, const std::string& dir, int threads, const std::string& ep);
  ~AudioModel();
  AudioModel(const AudioModel&) = delete;
  AudioModel& operator=(const AudioModel&) = delete;

  void setFaultHook(FaultHook hook) { fault_ = std::move(hook); }

  // Each of these throws std::runtime_error with the model family's error
  // text when the call fails.
  void reset(int start, int dir);
  void setEager(int eager);
  void push(const float* samples, int n);
  void finish();
  int avail();
  // Up to max frames into si (max), xs and xd (max x kKpWidth); the count.
  int pull(int* si, float* xs, float* xd, int max);
  // Frames of the finished utterance; -1 before finish.
  int total();
  // Rows of the model's target table.
  int nt();

 private:
  AudioModel() = default;
  // The fault hook's text for this call, empty when it runs normally.
  std::string injected(const char* call) const;
  // Throws the family's last error when the call just made set one.
  void check() const;

  vesk_a2x* a2x_ = nullptr;
  vesk_motion* motion_ = nullptr;
  FaultHook fault_;
};

}  // namespace vesk::utt
