#include "bundle/vesk_capi.h"

#include <array>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "bundle/vesk_bundle.h"
#include "bundle/vesk_imx.h"
#include "vesk/vesk.h"

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

using vesk::capi::Family;

extern "C" {

VESK_EXPORT const char* vesk_last_error(void) { return vesk::capi::errorText(Family::Core).c_str(); }

VESK_EXPORT int vesk_host_kp_rows(void) {
  vesk::capi::clearError(Family::Core);
  return vesk::kHostKpRows;
}

VESK_EXPORT int vesk_bundle_resolve_handle(const char* path, char* dst, size_t dst_len) {
  vesk::capi::clearError(Family::Core);
  if (path == nullptr || dst == nullptr || dst_len == 0) return -1;
  dst[0] = '\0';
  return vesk::capi::guarded(Family::Core, "vesk_bundle_resolve_handle", -1, [&] {
    const std::string r = vesk::resolveBundlePath(path);
    if (!vesk::capi::copyOut(r, dst, dst_len)) {
      vesk::capi::setError(Family::Core, "vesk_bundle_resolve_handle: buffer too small");
      return -1;
    }
    return 1;
  });
}

VESK_EXPORT int vesk_bundle_resolve_member(const char* bundle, const char* member, char* dst, size_t dst_len) {
  vesk::capi::clearError(Family::Core);
  if (bundle == nullptr || member == nullptr || dst == nullptr || dst_len == 0) return -1;
  dst[0] = '\0';
  // This call reports through its result alone: a bundle that cannot be resolved (a damaged
  // container, say) is -1 with no text, like every other failure of it.
  try {
    const std::string p = vesk::resolveMember(vesk::resolveBundlePath(bundle), member);
    if (!vesk::capi::copyOut(p, dst, dst_len)) return -1;
    const int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    ::close(fd);
    return 1;
  } catch (...) {
    dst[0] = '\0';
    return -1;
  }
}

}  // extern "C"
