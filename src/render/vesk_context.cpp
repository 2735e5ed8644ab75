#include "render/vesk_context.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <stdexcept>

#include "bundle/vesk_imx.h"
#include "core/vesk_file.h"
#include "render/vesk_bundle_video.h"

namespace vesk {

std::vector<uint8_t> readPasteMask(const Manifest& manifest) {
  const uint64_t side = manifest.crop > 0 ? static_cast<uint64_t>(manifest.crop) : 0;
  const size_t n = checkedProduct({side, side}, "the paste mask of the face crop");
  const std::string path = resolveMember(manifest.dir, "mask_512.u8");
  struct Closer {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
  };
  std::unique_ptr<std::FILE, Closer> f(std::fopen(path.c_str(), "rb"));
  // A member shorter than the mask is refused before the mask is allocated.
  struct stat st {};
  if (!f || ::fstat(::fileno(f.get()), &st) != 0 || static_cast<uint64_t>(st.st_size) < n)
    throw std::runtime_error("mask read failed");
  std::vector<uint8_t> mask(n, 0);
  if (std::fread(mask.data(), 1, n, f.get()) != n) throw std::runtime_error("mask read failed");
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
  frame.assign(checkedProduct({static_cast<uint64_t>(manifest.W), static_cast<uint64_t>(manifest.H), 3},
                              "the canvas frame"),
               0);
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
