// The C boundary: per-thread last-error texts and the one guard every exported call runs its body in.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace vesk::capi {

// Each family of C calls keeps its own text, so an error of one never overwrites another's.
enum class Family { Core, A2x, Motion, Fca, Utt, Stream, Count };

// The calling thread's text of a family; lives until the thread exits.
std::string& errorText(Family f);

inline void clearError(Family f) { errorText(f).clear(); }
inline void setError(Family f, std::string text) { errorText(f) = std::move(text); }

// Runs body() for the C call `name`: clears the family's text first, and turns any exception into
// "name: what()" and the call's failure value.
template <class R, class Body>
R guarded(Family f, const char* name, R failure, Body&& body) {
  clearError(f);
  try {
    return std::forward<Body>(body)();
  } catch (const std::exception& e) {
    setError(f, std::string(name) + ": " + e.what());
  } catch (...) {
    setError(f, std::string(name) + ": unknown exception");
  }
  return failure;
}

// Copies s and its terminator into dst; false (and dst = "") when it does not fit.
bool copyOut(const std::string& s, char* dst, size_t dstLen);

}  // namespace vesk::capi
