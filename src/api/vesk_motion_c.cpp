// The exported motion calls: each runs inside the motion family's error guard.
#include <memory>

#include "audio/vesk_motion.h"
#include "core/vesk_capi.h"
#include "vesk/vesk_a2x.h"

using vesk::capi::Family;

struct vesk_motion {
  explicit vesk_motion(const std::string& dir, int threads, const std::string& ep) : impl(dir, threads, ep) {}
  vesk::Motion impl;
};

extern "C" {

VESK_EXPORT const char* vesk_motion_last_error(void) { return vesk::capi::errorText(Family::Motion).c_str(); }

VESK_EXPORT vesk_motion* vesk_motion_create(const char* motion_dir, int threads, const char* ep) {
  vesk::capi::clearError(Family::Motion);
  if (motion_dir == nullptr) {
    vesk::capi::setError(Family::Motion, "vesk_motion_create: NULL motion_dir");
    return nullptr;
  }
  return vesk::capi::guarded(Family::Motion, "vesk_motion_create", static_cast<vesk_motion*>(nullptr), [&] {
    return std::make_unique<vesk_motion>(motion_dir, threads, ep != nullptr ? ep : "").release();
  });
}

VESK_EXPORT void vesk_motion_destroy(vesk_motion* m) {
  vesk::capi::clearError(Family::Motion);
  delete m;
}

VESK_EXPORT int vesk_motion_push(vesk_motion* m, const float* samples, int n) {
  vesk::capi::clearError(Family::Motion);
  if (m == nullptr || samples == nullptr || n < 0 || m->impl.finished()) {
    vesk::capi::setError(Family::Motion, "vesk_motion_push: bad args / already finished");
    return 0;
  }
  return vesk::capi::guarded(Family::Motion, "vesk_motion_push", 0, [&] {
    m->impl.push(samples, n);
    return 1;
  });
}

VESK_EXPORT int vesk_motion_finish(vesk_motion* m) {
  vesk::capi::clearError(Family::Motion);
  if (m == nullptr) {
    vesk::capi::setError(Family::Motion, "vesk_motion_finish: NULL session");
    return 0;
  }
  return vesk::capi::guarded(Family::Motion, "vesk_motion_finish", 0, [&] {
    m->impl.finish();
    return 1;
  });
}

VESK_EXPORT int vesk_motion_avail(vesk_motion* m) {
  vesk::capi::clearError(Family::Motion);
  if (m == nullptr) {
    vesk::capi::setError(Family::Motion, "vesk_motion_avail: NULL session");
    return 0;
  }
  return vesk::capi::guarded(Family::Motion, "vesk_motion_avail", 0, [&] { return m->impl.avail(); });
}

VESK_EXPORT int vesk_motion_pull(vesk_motion* m, int* si, float* xs, float* xd, int max) {
  vesk::capi::clearError(Family::Motion);
  if (m == nullptr || si == nullptr || xs == nullptr || xd == nullptr || max < 0) {
    vesk::capi::setError(Family::Motion, "vesk_motion_pull: bad args");
    return 0;
  }
  return vesk::capi::guarded(Family::Motion, "vesk_motion_pull", 0, [&] { return m->impl.pull(si, xs, xd, max); });
}

VESK_EXPORT void vesk_motion_reset(vesk_motion* m, int start, int dir, int wrap) {
  vesk::capi::clearError(Family::Motion);
  if (m == nullptr) {
    vesk::capi::setError(Family::Motion, "vesk_motion_reset: NULL session");
    return;
  }
  m->impl.reset(start, dir, wrap);
}

VESK_EXPORT void vesk_motion_set_eager(vesk_motion* m, int eager) {
  vesk::capi::clearError(Family::Motion);
  if (m == nullptr) {
    vesk::capi::setError(Family::Motion, "vesk_motion_set_eager: NULL session");
    return;
  }
  m->impl.setEager(eager);
}

VESK_EXPORT int vesk_motion_total(vesk_motion* m) {
  vesk::capi::clearError(Family::Motion);
  return m == nullptr ? -1 : m->impl.total();
}

VESK_EXPORT int vesk_motion_nt(vesk_motion* m) {
  vesk::capi::clearError(Family::Motion);
  return m == nullptr ? 0 : m->impl.nt();
}

}  // extern "C"
