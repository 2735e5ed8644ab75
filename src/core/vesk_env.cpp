#include "core/vesk_env.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>

namespace vesk::env {
namespace {

// Each variable's bad value is reported once per process, however often objects read it.
void reportOnce(const char* name, const char* value, const std::string& expected) {
  static std::mutex mu;
  static std::set<std::string> reported;
  const std::lock_guard<std::mutex> lock(mu);
  if (!reported.insert(name).second) return;
  std::fprintf(stderr, "[vesk] %s='%s' is not %s; it is ignored\n", name, value, expected.c_str());
}

const char* valueOf(const char* name) {
  const char* v = std::getenv(name);
  return (v != nullptr && *v != '\0') ? v : nullptr;
}

}  // namespace

std::optional<std::string> text(const char* name) {
  const char* v = valueOf(name);
  if (v == nullptr) return std::nullopt;
  return std::string(v);
}

bool flag(const char* name, bool fallback) {
  const char* v = valueOf(name);
  if (v == nullptr) return fallback;
  const std::string s(v);
  if (s == "1") return true;
  if (s == "0") return false;
  reportOnce(name, v, "0 or 1");
  return fallback;
}

std::optional<long long> integer(const char* name, long long lo, long long hi) {
  const char* v = valueOf(name);
  if (v == nullptr) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const long long n = std::strtoll(v, &end, 10);
  if (errno == 0 && end != v && *end == '\0' && n >= lo && n <= hi) return n;
  reportOnce(name, v, "a whole number from " + std::to_string(lo) + " to " + std::to_string(hi));
  return std::nullopt;
}

std::optional<long long> leadingInteger(const char* name) {
  const char* v = valueOf(name);
  if (v == nullptr) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const long long n = std::strtoll(v, &end, 10);
  if (end == v) {
    reportOnce(name, v, "a number");
    return std::nullopt;
  }
  return n;  // strtoll saturates out of range, which every caller clamps anyway
}

}  // namespace vesk::env
