// The handle a host holds for a render context.
#pragma once

#include "render/vesk_context.h"

struct vesk_ctx final : vesk::RenderContext {
  using RenderContext::RenderContext;
};
