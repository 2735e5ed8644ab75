// The handles a host holds for a render context and for the prior rows of a bundle.
#pragma once

#include <memory>
#include <string>

#include "bundle/vesk_bundle.h"
#include "driver/vesk_driver.h"
#include "render/vesk_context.h"

struct vesk_ctx final : vesk::RenderContext {
  using RenderContext::RenderContext;
};

// The prior rows of a bundle behind vesk_prior: its manifest and a cursor over its HEVC prior.
struct vesk_prior {
  vesk::Manifest manifest;
  std::unique_ptr<vesk::DriverCursor> cursor;
  std::string backend;
};
