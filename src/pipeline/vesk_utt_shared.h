// What the parts of an utterance session share: the main lock with the two things every part checks
// under it, the clock the session times itself by, and the way a part reports a failure the session
// survives.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>

namespace vesk::utt {

// Every wait on the main condition is timed this short, so a lost wake-up costs 2 ms and never a hang.
inline constexpr auto kWait = std::chrono::milliseconds(2);

// Steady-clock milliseconds.
inline double nowMs() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Counts and describes a failure the session lives through: the stage, the exception's text (null when
// it had none), and whether the failure degrades the session.
using FailureNote = std::function<void(const char* stage, const char* text, bool fatal)>;

// Runs `call`; a failure is noted under `stage` instead of thrown. True when the call went through.
template <class Call>
bool attempt(const FailureNote& note, const char* stage, bool fatal, Call&& call) {
  try {
    call();
    return true;
  } catch (const std::exception& e) {
    note(stage, e.what(), fatal);
  } catch (...) {
    note(stage, nullptr, fatal);
  }
  return false;
}

// The session's main lock. Besides the members each part lists as guarded by it, it guards the stop
// flag and the interrupt generation, which every part compares before it publishes work: an interrupt
// bumps the generation, and work stamped with an older one is dropped wherever it is found.
struct MainLock {
  std::mutex mu;
  // Wakes the run thread (push, end, interrupt, pull, a dispatch result, paste progress) and the
  // producers waiting for room in the output ring or the paste jobs.
  std::condition_variable cv;
  bool stop = false;
  int64_t generation = 0;
};

}  // namespace vesk::utt
