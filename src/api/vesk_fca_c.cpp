// The exported fca calls: each runs inside the fca family's error guard.
#include <memory>

#include "audio/vesk_fca.h"
#include "core/vesk_capi.h"
#include "vesk/vesk_a2x.h"

using vesk::capi::Family;

struct vesk_fca {
  vesk_fca(const std::string& encoder, const std::string& fca, int threads) : impl(encoder, fca, threads) {}
  vesk::Fca impl;
};

extern "C" {

VESK_EXPORT const char* vesk_fca_last_error(void) { return vesk::capi::errorText(Family::Fca).c_str(); }

VESK_EXPORT vesk_fca* vesk_fca_create(const char* encoder_path, const char* fca_path, int threads) {
  vesk::capi::clearError(Family::Fca);
  if (encoder_path == nullptr || fca_path == nullptr) {
    vesk::capi::setError(Family::Fca, "vesk_fca_create: NULL encoder_path/fca_path");
    return nullptr;
  }
  return vesk::capi::guarded(Family::Fca, "vesk_fca_create", static_cast<vesk_fca*>(nullptr), [&] {
    return std::make_unique<vesk_fca>(encoder_path, fca_path, threads).release();
  });
}

VESK_EXPORT int vesk_fca_deltas(vesk_fca* f, const float* audio, int n, float* out, int cap) {
  vesk::capi::clearError(Family::Fca);
  if (n < 1) return 0;
  if (f == nullptr || audio == nullptr || out == nullptr) {
    vesk::capi::setError(Family::Fca, "vesk_fca_deltas: bad args");
    return -1;
  }
  return vesk::capi::guarded(Family::Fca, "vesk_fca_deltas", -1, [&] { return f->impl.deltas(audio, n, out, cap); });
}

VESK_EXPORT void vesk_fca_destroy(vesk_fca* f) {
  vesk::capi::clearError(Family::Fca);
  delete f;
}

}  // extern "C"
