// The exported vesk_utt_ calls.
#include <algorithm>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "api/vesk_ctx.h"
#include "core/vesk_capi.h"
#include "pipeline/vesk_utt.h"
#include "vesk/vesk.h"

using vesk::capi::clearError;
using vesk::capi::Family;
using vesk::capi::guarded;
using vesk::capi::setError;

extern "C" {

VESK_EXPORT vesk_utt* vesk_utt_create(vesk_ctx* ctx, const vesk_utt_opts* opts) {
  clearError(Family::Utt);
  if (ctx == nullptr || opts == nullptr) {
    setError(Family::Utt, "vesk_utt_create: NULL ctx/opts");
    return nullptr;
  }
  return guarded(Family::Utt, "vesk_utt_create", static_cast<vesk_utt*>(nullptr), [&] {
    ctx->ensureRenderer();
    return std::make_unique<vesk_utt>(ctx, *opts).release();
  });
}

VESK_EXPORT vesk_utt* vesk_utt_open(vesk_ctx* ctx, const char* motion_dir) {
  vesk_utt_opts opts{};
  opts.motion_dir = motion_dir;
  return vesk_utt_create(ctx, &opts);
}

VESK_EXPORT void vesk_utt_destroy(vesk_utt* utt) {
  clearError(Family::Utt);
  delete utt;
}

VESK_EXPORT const char* vesk_utt_last_error(void) { return vesk::capi::errorText(Family::Utt).c_str(); }

VESK_EXPORT int vesk_utt_ready(vesk_utt* utt) {
  clearError(Family::Utt);
  if (utt == nullptr) return -1;
  std::string error;
  const int r = utt->ready(&error);
  if (r < 0) setError(Family::Utt, error);
  return r;
}

VESK_EXPORT int vesk_utt_push_audio(vesk_utt* utt, const int16_t* pcm, int count) {
  return guarded(Family::Utt, "vesk_utt_push_audio", 0, [&] {
    if (utt == nullptr || pcm == nullptr || count < 0) {
      setError(Family::Utt, "vesk_utt_push_audio: bad args");
      return 0;
    }
    utt->pushAudio(pcm, count);
    return 1;
  });
}

VESK_EXPORT void vesk_utt_end_utterance(vesk_utt* utt) {
  clearError(Family::Utt);
  if (utt != nullptr) utt->endUtterance();
}

VESK_EXPORT void vesk_utt_interrupt(vesk_utt* utt) {
  clearError(Family::Utt);
  if (utt != nullptr) utt->interrupt();
}

VESK_EXPORT int vesk_utt_frames_available(vesk_utt* utt) {
  clearError(Family::Utt);
  return utt == nullptr ? 0 : utt->framesAvailable();
}

VESK_EXPORT int vesk_utt_pull_frame(vesk_utt* utt, void* dst, size_t dst_len, vesk_utt_frame_info* info) {
  return guarded(Family::Utt, "vesk_utt_pull_frame", 0, [&] {
    if (utt == nullptr || dst == nullptr) {
      setError(Family::Utt, "vesk_utt_pull_frame: bad args");
      return 0;
    }
    switch (utt->pullFrame(dst, dst_len, info)) {
      case vesk_utt::Pull::Copied:
        return 1;
      case vesk_utt::Pull::TooSmall:
        setError(Family::Utt, "vesk_utt_pull_frame: buffer too small");
        return 0;
      case vesk_utt::Pull::None:
        break;
    }
    return 0;
  });
}

VESK_EXPORT void vesk_utt_get_stats(vesk_utt* utt, vesk_utt_stats* out) {
  clearError(Family::Utt);
  if (utt == nullptr || out == nullptr) return;
  utt->stats(out);
  out->state = static_cast<int32_t>(utt->state());
}

VESK_EXPORT int vesk_utt_render_status(vesk_utt* utt, char* buf, int len, int64_t* failures) {
  clearError(Family::Utt);
  return utt == nullptr ? 0 : utt->renderStatus(buf, len, failures);
}

VESK_EXPORT int vesk_utt_tessera_attach(vesk_utt* utt, const uint8_t* bank, int n, const double* cent,
                                        const double* c_canon, const double* aperture, const int32_t* stamp,
                                        const uint8_t* head_pt, int head_pt_len, const char* head_json,
                                        const char* manifest_json, char* err, int err_len) {
  clearError(Family::Utt);
  auto refuse = [&](const std::string& text) {
    if (err != nullptr && err_len > 0) {
      const size_t k = std::min(text.size(), static_cast<size_t>(err_len - 1));
      std::memcpy(err, text.data(), k);
      err[k] = '\0';
    }
    return 1;
  };
  if (err != nullptr && err_len > 0) err[0] = '\0';
  if (utt == nullptr) return refuse("vesk_utt_tessera_attach: null session");
  if (bank == nullptr || cent == nullptr || c_canon == nullptr || aperture == nullptr || stamp == nullptr ||
      head_pt == nullptr || head_json == nullptr || manifest_json == nullptr)
    return refuse(
        "vesk_utt_tessera_attach: a required member is null \xE2\x80\x94 this ABI has no partial-attach state");
  if (n <= 0) return refuse("vesk_utt_tessera_attach: n_donors <= 0");
  try {
    utt->tesseraAttach(bank, n, cent, c_canon, aperture, stamp, head_pt, head_pt_len, head_json, manifest_json);
  } catch (const std::exception& e) {
    return refuse(std::string("vesk_utt_tessera_attach: ") + e.what());
  } catch (...) {
    return refuse("vesk_utt_tessera_attach: unknown failure");
  }
  return 0;
}

VESK_EXPORT int vesk_utt_tessera_stats(vesk_utt* utt, int64_t* emitted, int64_t* skipped, char* buf, int len) {
  clearError(Family::Utt);
  return utt == nullptr ? 0 : utt->teeth().stats(emitted, skipped, buf, len);
}

VESK_EXPORT int vesk_utt_tessera_geometry(vesk_utt* utt, char* buf, int len) {
  clearError(Family::Utt);
  return utt == nullptr ? 0 : utt->teeth().geometry(buf, len);
}

VESK_EXPORT int vesk_utt_tessera_synth_w(vesk_utt* utt, double* mean, double* max, int64_t* count) {
  clearError(Family::Utt);
  return utt == nullptr ? 0 : utt->teeth().synthW(mean, max, count);
}

}  // extern "C"
