// The render context behind vesk_ctx: one opened bundle with everything needed to render and paste
// its frames. Calls on one context do not overlap; the context has no lock of its own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bundle/vesk_bundle.h"
#include "bundle/vesk_identity.h"
#include "compose/vesk_paste.h"
#include "driver/vesk_driver.h"
#include "render/vesk_renderer.h"
#include "render/vesk_warp_prior.h"

namespace vesk {

struct RenderContext {
  RenderContext(const std::string& bundle_dir, const std::string& model_key, int threads, const std::string& ep,
                bool threads_chosen);
  ~RenderContext();
  RenderContext(const RenderContext&) = delete;
  RenderContext& operator=(const RenderContext&) = delete;

  // The director, created on first use; a failed creation leaves none, so the next call tries again.
  Renderer& ensureRenderer();

  Manifest manifest;
  Identity identity;
  Drive drive;
  // The warp prior outlives the renderer that reads it.
  WarpPrior prior;
  std::unique_ptr<Renderer> renderer;
  std::unique_ptr<Paste> paste;
  int32_t threads = 0;
  std::string ep;
  bool threads_chosen = false;
  std::string model_key;
  std::unique_ptr<DriverCursor> cursor;
  std::vector<uint8_t> frame;
  const float* last_crop = nullptr;
};

// crop x crop bytes of the bundle's paste mask; longer files are read only that far.
std::vector<uint8_t> readPasteMask(const Manifest& manifest);

}  // namespace vesk
