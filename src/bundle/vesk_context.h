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

struct vesk_ctx {
  vesk_ctx(const std::string& bundle_dir, const std::string& model_key, int threads, const std::string& ep,
           bool threads_chosen);
  ~vesk_ctx();
  vesk_ctx(const vesk_ctx&) = delete;
  vesk_ctx& operator=(const vesk_ctx&) = delete;

  // The director, created on first use; a failed creation leaves none, so the next call tries again.
  vesk::Renderer& ensureRenderer();

  vesk::Manifest manifest;
  vesk::Identity identity;
  vesk::Drive drive;
  std::unique_ptr<vesk::Renderer> renderer;
  std::unique_ptr<vesk::Paste> paste;
  int32_t threads = 0;
  std::string ep;
  bool threads_chosen = false;
  std::string model_key;
  std::unique_ptr<vesk::DriverCursor> cursor;
  std::vector<uint8_t> frame;
  const float* last_crop = nullptr;
};

// The prior rows of a bundle behind vesk_prior: its manifest and a cursor over its HEVC prior.
struct vesk_prior {
  vesk::Manifest manifest;
  std::unique_ptr<vesk::DriverCursor> cursor;
  std::string backend;
};

namespace vesk {
// crop x crop bytes of the bundle's paste mask; longer files are read only that far.
std::vector<uint8_t> readPasteMask(const Manifest& manifest);
}  // namespace vesk
