#include "core/vesk_capi.h"

#include <algorithm>
#include <array>
#include <memory>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "bundle/vesk_bundle.h"
#include "api/vesk_ctx.h"
#include "bundle/vesk_imx.h"
#include "render/vesk_bundle_video.h"
#include "core/vesk_pool.h"
#include "vesk/vesk.h"
#include "core/vesk_constants.h"

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

// ---- Render context, single frames and prior rows ------------------------------------------------

namespace {

using vesk::capi::guarded;
using vesk::capi::setError;

bool validSi(const vesk_ctx* ctx, int si) { return si >= 0 && si < ctx->manifest.NT; }

// Pastes the context's last crop onto driver frame si in the frame scratch.
const uint8_t* pasteLastInto(vesk_ctx* ctx, int si) {
  ctx->cursor->pullAt(si, ctx->frame.data());
  ctx->paste->composite(ctx->last_crop, 255.f, ctx->identity.M(si), ctx->frame.data(), ctx->manifest.W,
                        ctx->manifest.H);
  return ctx->frame.data();
}

void rgbToRgba(const uint8_t* rgb, uint8_t* rgba, size_t pixels) {
  for (size_t i = 0; i < pixels; ++i) {
    rgba[4 * i] = rgb[3 * i];
    rgba[4 * i + 1] = rgb[3 * i + 1];
    rgba[4 * i + 2] = rgb[3 * i + 2];
    rgba[4 * i + 3] = 255;
  }
}

size_t canvasPixels(const vesk_ctx* ctx) {
  return static_cast<size_t>(ctx->manifest.W) * static_cast<size_t>(ctx->manifest.H);
}

}  // namespace

extern "C" {

VESK_EXPORT vesk_ctx* vesk_create(const char* bundle_dir, const char* model_key, int threads, const char* ep) {
  vesk::capi::clearError(Family::Core);
  if (bundle_dir == nullptr || model_key == nullptr) {
    setError(Family::Core, "vesk_create: NULL bundle_dir/model_key");
    return nullptr;
  }
  return guarded(Family::Core, "vesk_create", static_cast<vesk_ctx*>(nullptr), [&] {
    const int pool = threads >= 1 ? threads : vesk::pool::threads();
    return new vesk_ctx(bundle_dir, model_key, pool, ep != nullptr ? ep : "", threads > 0);
  });
}

VESK_EXPORT void vesk_destroy(vesk_ctx* ctx) { delete ctx; }

VESK_EXPORT int vesk_nt(vesk_ctx* ctx) { return ctx != nullptr ? ctx->manifest.NT : 0; }
VESK_EXPORT int vesk_width(vesk_ctx* ctx) { return ctx != nullptr ? ctx->manifest.W : 0; }
VESK_EXPORT int vesk_height(vesk_ctx* ctx) { return ctx != nullptr ? ctx->manifest.H : 0; }
VESK_EXPORT int vesk_crop(vesk_ctx* ctx) { return ctx != nullptr ? ctx->manifest.crop : 0; }
VESK_EXPORT int vesk_drive_frames(vesk_ctx* ctx) { return ctx != nullptr ? ctx->drive.frames : 0; }

VESK_EXPORT const float* vesk_render_kp_crop(vesk_ctx* ctx, int si, const float* xs, const float* xd) {
  vesk::capi::clearError(Family::Core);
  if (ctx == nullptr || xs == nullptr || xd == nullptr || !validSi(ctx, si)) {
    setError(Family::Core, "vesk_render_kp_crop: bad args");
    return nullptr;
  }
  return guarded(Family::Core, "vesk_render_kp_crop", static_cast<const float*>(nullptr), [&] {
    const float* crop = ctx->ensureRenderer().render(&si, xs, xd, 1);
    ctx->last_crop = crop;
    return crop;
  });
}

VESK_EXPORT const float* vesk_render_drive_crop(vesk_ctx* ctx, int frame) {
  vesk::capi::clearError(Family::Core);
  if (ctx == nullptr || frame < 0 || frame >= ctx->drive.frames) {
    setError(Family::Core, "vesk_render_drive_crop: bad frame index");
    return nullptr;
  }
  const size_t at = static_cast<size_t>(frame) * vesk::kKpWidth;
  return vesk_render_kp_crop(ctx, ctx->drive.si[static_cast<size_t>(frame)], ctx->drive.xs.data() + at,
                             ctx->drive.xd.data() + at);
}

VESK_EXPORT int vesk_paste_crop(vesk_ctx* ctx, int si, const float* crop, uint8_t* out, size_t out_len) {
  vesk::capi::clearError(Family::Core);
  if (ctx == nullptr || crop == nullptr || out == nullptr || !validSi(ctx, si) || out_len < canvasPixels(ctx) * 3) {
    setError(Family::Core, "vesk_paste_crop: bad args / out too small");
    return 0;
  }
  return guarded(Family::Core, "vesk_paste_crop", 0, [&] {
    ctx->cursor->pullAt(si, out);
    ctx->paste->composite(crop, 255.f, ctx->identity.M(si), out, ctx->manifest.W, ctx->manifest.H);
    return 1;
  });
}

VESK_EXPORT const uint8_t* vesk_paste_last(vesk_ctx* ctx, int si) {
  vesk::capi::clearError(Family::Core);
  if (ctx == nullptr || ctx->last_crop == nullptr || !validSi(ctx, si)) {
    setError(Family::Core, "vesk_paste_last: bad args / no prior render");
    return nullptr;
  }
  return guarded(Family::Core, "vesk_paste_last", static_cast<const uint8_t*>(nullptr),
                 [&] { return pasteLastInto(ctx, si); });
}

VESK_EXPORT int vesk_render_kp_rgba(vesk_ctx* ctx, int si, const float* xs, const float* xd, uint8_t* out,
                                    size_t out_len) {
  if (vesk_render_kp_crop(ctx, si, xs, xd) == nullptr) return 0;
  if (out == nullptr || out_len < canvasPixels(ctx) * 4) {
    setError(Family::Core, "vesk_render_*_rgba: out buffer too small");
    return 0;
  }
  const uint8_t* rgb = vesk_paste_last(ctx, si);
  if (rgb == nullptr) return 0;
  rgbToRgba(rgb, out, canvasPixels(ctx));
  return 1;
}

VESK_EXPORT int vesk_render_drive_rgba(vesk_ctx* ctx, int frame, uint8_t* out, size_t out_len) {
  if (vesk_render_drive_crop(ctx, frame) == nullptr) return 0;
  if (out == nullptr || out_len < canvasPixels(ctx) * 4) {
    setError(Family::Core, "vesk_render_*_rgba: out buffer too small");
    return 0;
  }
  const uint8_t* rgb = vesk_paste_last(ctx, ctx->drive.si[static_cast<size_t>(frame)]);
  if (rgb == nullptr) return 0;
  rgbToRgba(rgb, out, canvasPixels(ctx));
  return 1;
}

VESK_EXPORT const uint8_t* vesk_target_frame(vesk_ctx* ctx, int si) {
  vesk::capi::clearError(Family::Core);
  if (ctx == nullptr || !validSi(ctx, si)) {
    setError(Family::Core, "vesk_target_frame: bad args");
    return nullptr;
  }
  return guarded(Family::Core, "vesk_target_frame", static_cast<const uint8_t*>(nullptr), [&] {
    int index = -1;
    return ctx->cursor->pullAt(si, &index);
  });
}

VESK_EXPORT vesk_prior* vesk_prior_open(const char* bundle_dir, int ahead, int history) {
  vesk::capi::clearError(Family::Core);
  if (bundle_dir == nullptr) {
    setError(Family::Core, "vesk_prior_open: NULL bundle_dir");
    return nullptr;
  }
  return guarded(Family::Core, "vesk_prior_open", static_cast<vesk_prior*>(nullptr), [&] {
    auto p = std::make_unique<vesk_prior>();
    p->manifest = vesk::loadManifest(bundle_dir);
    p->cursor = vesk::openPriorVideo(p->manifest, ahead < 1 ? 2 : ahead, std::max(history, 0));
    p->backend = p->cursor->name();
    return p.release();
  });
}

VESK_EXPORT size_t vesk_prior_row_bytes(const vesk_prior* prior) {
  return prior != nullptr ? static_cast<size_t>(prior->cursor->frameBytes()) : 0;
}

VESK_EXPORT int vesk_prior_row(vesk_prior* prior, int si, uint8_t* out, size_t cap) {
  vesk::capi::clearError(Family::Core);
  if (prior == nullptr || out == nullptr) {
    setError(Family::Core, "vesk_prior_row: NULL prior/out");
    return 0;
  }
  const size_t need = vesk_prior_row_bytes(prior);
  if (cap < need) {
    setError(Family::Core, "vesk_prior_row: cap " + std::to_string(cap) + " < row bytes " + std::to_string(need));
    return 0;
  }
  return guarded(Family::Core, "vesk_prior_row", 0, [&] {
    prior->cursor->pullAt(si, out);
    return 1;
  });
}

VESK_EXPORT const char* vesk_prior_backend(const vesk_prior* prior) {
  return prior != nullptr ? prior->backend.c_str() : "";
}

VESK_EXPORT void vesk_prior_close(vesk_prior* prior) { delete prior; }

}  // extern "C"
