// The exported vesk_a2x_ calls: each clears the family's last error at entry and turns exceptions
// into "<call>: <text>" and its failure value.
#include <cstdlib>
#include <memory>
#include <string>

#include "audio/vesk_a2x.h"
#include "audio/vesk_a2x_frontend.h"
#include "core/vesk_capi.h"
#include "core/vesk_env.h"
#include "core/vesk_pool.h"
#include "vesk/vesk_a2x.h"

using vesk::capi::Family;
using vesk::capi::guarded;
using vesk::capi::setError;

namespace {

// A null handle is a refusal with a fixed text, not a crash.
bool nullSession(const vesk_a2x* a, const char* call) {
  if (a != nullptr) return false;
  setError(Family::A2x, std::string(call) + ": NULL session");
  return true;
}

// The creation messages already carry the call's name.
vesk_a2x* createSession(const char* bundleDir, int threads) {
  vesk::capi::clearError(Family::A2x);
  if (bundleDir == nullptr) {
    setError(Family::A2x, "vesk_a2x_create: NULL bundle_dir");
    return nullptr;
  }
  try {
    return new vesk_a2x(bundleDir, threads);
  } catch (const std::exception& e) {
    const std::string text = e.what();
    setError(Family::A2x, text.rfind("vesk_a2x_create: ", 0) == 0 ? text : "vesk_a2x_create: " + text);
  } catch (...) {
    setError(Family::A2x, "vesk_a2x_create: unknown exception");
  }
  return nullptr;
}

}  // namespace

extern "C" {

VESK_EXPORT vesk_a2x* vesk_a2x_create(const char* bundle_dir, int threads) { return createSession(bundle_dir, threads); }

VESK_EXPORT void vesk_a2x_destroy(vesk_a2x* a) {
  vesk::capi::clearError(Family::A2x);
  delete a;
}

VESK_EXPORT const char* vesk_a2x_last_error(void) { return vesk::capi::errorText(Family::A2x).c_str(); }

VESK_EXPORT int vesk_a2x_push(vesk_a2x* a, const float* samples, int n) {
  return guarded(Family::A2x, "vesk_a2x_push", 0, [&] {
    if (nullSession(a, "vesk_a2x_push")) return 0;
    if (n < 1) return 1;
    if (samples == nullptr) {
      setError(Family::A2x, "vesk_a2x_push: NULL samples");
      return 0;
    }
    a->push(samples, n);
    return 1;
  });
}

VESK_EXPORT void vesk_a2x_finish(vesk_a2x* a) {
  vesk::capi::clearError(Family::A2x);
  if (!nullSession(a, "vesk_a2x_finish")) a->finish();
}

VESK_EXPORT int vesk_a2x_total(vesk_a2x* a) {
  return guarded(Family::A2x, "vesk_a2x_total", -1, [&] { return nullSession(a, "vesk_a2x_total") ? -1 : a->total(); });
}

VESK_EXPORT int vesk_a2x_avail(vesk_a2x* a) {
  return guarded(Family::A2x, "vesk_a2x_avail", 0, [&] { return nullSession(a, "vesk_a2x_avail") ? 0 : a->avail(); });
}

VESK_EXPORT int vesk_a2x_pull(vesk_a2x* a, int* si, float* xs, float* xd, int max) {
  return guarded(Family::A2x, "vesk_a2x_pull", 0,
                 [&] { return nullSession(a, "vesk_a2x_pull") ? 0 : a->pull(si, xs, xd, nullptr, max); });
}

VESK_EXPORT int vesk_a2x_pull_wn(vesk_a2x* a, int* si, float* xs, float* xd, float* wn, int max) {
  return guarded(Family::A2x, "vesk_a2x_pull_wn", 0,
                 [&] { return nullSession(a, "vesk_a2x_pull_wn") ? 0 : a->pull(si, xs, xd, wn, max); });
}

VESK_EXPORT int vesk_a2x_reset(vesk_a2x* a, int start, int dir, int wrap) {
  return guarded(Family::A2x, "vesk_a2x_reset", 0,
                 [&] { return nullSession(a, "vesk_a2x_reset") ? 0 : a->reset(start, dir, wrap); });
}

VESK_EXPORT int vesk_a2x_nt(vesk_a2x* a) {
  vesk::capi::clearError(Family::A2x);
  return a == nullptr ? 0 : a->nt;
}

VESK_EXPORT int vesk_a2x_width(vesk_a2x* a) {
  vesk::capi::clearError(Family::A2x);
  return a != nullptr && a->has_wn ? 1 : 0;
}

VESK_EXPORT void vesk_a2x_set_eager(vesk_a2x* a, int eager) {
  vesk::capi::clearError(Family::A2x);
  if (!nullSession(a, "vesk_a2x_set_eager")) a->eager = eager;
}

VESK_EXPORT int vesk_a2x_deltas(vesk_a2x* a, const float* audio, int n, float* out, int cap) {
  return guarded(Family::A2x, "vesk_a2x_deltas", -1, [&] {
    if (nullSession(a, "vesk_a2x_deltas")) return -1;
    if (n >= 1 && (audio == nullptr || out == nullptr)) {
      setError(Family::A2x, "vesk_a2x_deltas: NULL audio/out");
      return -1;
    }
    return a->deltasWholeRun(audio, n, out, cap);
  });
}

VESK_EXPORT int vesk_a2x_deltas_wn(vesk_a2x* a, const float* audio, int n, float* out, float* wn, int cap) {
  return guarded(Family::A2x, "vesk_a2x_deltas_wn", -1, [&] {
    if (nullSession(a, "vesk_a2x_deltas_wn")) return -1;
    if (!a->has_wn) {
      setError(Family::A2x, "vesk_a2x_deltas_wn: encoder declares no wn output");
      return -3;
    }
    if (n >= 1 && (audio == nullptr || out == nullptr || wn == nullptr)) {
      setError(Family::A2x, "vesk_a2x_deltas_wn: NULL audio/out/wn");
      return -1;
    }
    const int r = a->deltasWholeRun(audio, n, out, cap);
    if (r >= 0) {
      const size_t held = std::min(static_cast<size_t>(r), a->wn_last.size());
      for (size_t i = 0; i < static_cast<size_t>(r); ++i) wn[i] = i < held ? a->wn_last[i] : 0.0f;
    }
    return r;
  });
}

VESK_EXPORT int vesk_a2x_preload_w2v(const char* path) {
  return guarded(Family::A2x, "vesk_a2x_preload_w2v", 0, [&] {
    std::string p = path != nullptr ? path : "";
    if (p.empty()) {
      const auto env = vesk::env::text("W2V_ONNX");
      if (!env) {
        setError(Family::A2x, "vesk_a2x_preload_w2v: no path and $W2V_ONNX unset");
        return 0;
      }
      p = *env;
    }
    std::string why;
    if (vesk::get_shared_w2v(p, vesk::pool::threads(), &why) == nullptr) {
      setError(Family::A2x, "vesk_a2x_preload_w2v: " + why);
      return 0;
    }
    return 1;
  });
}

VESK_EXPORT int vesk_a2x_w2v8_lazy(void) {
  vesk::capi::clearError(Family::A2x);
  return 1;
}

}  // extern "C"
