#include "render/vesk_context.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <stdexcept>

#include "bundle/vesk_imx.h"
#include "render/vesk_bundle_video.h"

namespace vesk {

std::vector<uint8_t> readPasteMask(const Manifest& manifest) {
  const size_t n = static_cast<size_t>(manifest.crop) * static_cast<size_t>(manifest.crop);
  std::vector<uint8_t> mask(n, 0);
  const std::string path = resolveMember(manifest.dir, "mask_512.u8");
  struct Closer {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
  };
  std::unique_ptr<std::FILE, Closer> f(std::fopen(path.c_str(), "rb"));
  if (!f || std::fread(mask.data(), 1, n, f.get()) != n) throw std::runtime_error("mask read failed");
  return mask;
}

RenderContext::RenderContext(const std::string& bundle_dir, const std::string& key, int nthreads,
                             const std::string& epName, bool chosen)
    : manifest(loadManifest(bundle_dir)),
      identity(manifest),
      drive(loadDrive(manifest)),
      prior(manifest, identity),
      threads(nthreads),
      ep(epName),
      threads_chosen(chosen),
      model_key(key) {
  const PasteUnsharp unsharp{manifest.unsharp.amount, manifest.unsharp.sigma, manifest.unsharp.ksize};
  paste = std::make_unique<Paste>(readPasteMask(manifest), manifest.crop, unsharp);
  cursor = openDriverVideo(manifest, 2, 11);
  frame.assign(static_cast<size_t>(manifest.W) * static_cast<size_t>(manifest.H) * 3, 0);
}

// Members go in reverse order of declaration, which frees the cursor (and its decode thread) before
// the paste stage, renderer, tables, identity and manifest.
RenderContext::~RenderContext() = default;

Renderer& RenderContext::ensureRenderer() {
  if (renderer) return *renderer;
  int intra = threads;
  if (!threads_chosen && ep.empty()) {
    intra = std::min(threads, 2);
    std::fprintf(stderr,
                 "[vesk] director intra-op %d of pool %d: the caller did not choose, the core sized it for the "
                 "vesk_utt pipeline\n",
                 intra, threads);
  }
  renderer = std::make_unique<Renderer>(manifest, identity, model_key, intra, ep, &prior);
  return *renderer;
}

}  // namespace vesk
