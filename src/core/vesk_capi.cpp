#include "core/vesk_capi.h"

#include <array>
#include <cstring>

namespace vesk {
namespace capi {

std::string& errorText(Family f) {
  thread_local std::array<std::string, static_cast<size_t>(Family::Count)> texts;
  return texts[static_cast<size_t>(f)];
}

bool copyOut(const std::string& s, char* dst, size_t dstLen) {
  if (s.size() + 1 > dstLen) {
    dst[0] = '\0';
    return false;
  }
  std::memcpy(dst, s.c_str(), s.size() + 1);
  return true;
}

}  // namespace capi
}  // namespace vesk

