// Hostile containers: whatever the bytes, resolving them either unwraps into the cache directory
// or throws; it never writes outside it.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bundle/vesk_imx.h"
#include "core/vesk_file.h"

namespace {
std::string& workDir() {
  static std::string dir = [] {
    char tmpl[] = "/tmp/vesk_fuzz_imx.XXXXXX";
    const char* d = ::mkdtemp(tmpl);
    if (d == nullptr) std::abort();
    ::setenv("VESK_IMX_UNWRAP_ROOT", (std::string(d) + "/cache").c_str(), 1);
    return std::string(d);
  }();
  return dir;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string c = workDir() + "/in.imx";
  std::FILE* f = std::fopen(c.c_str(), "wb");
  if (f == nullptr) return 0;
  std::fwrite(data, 1, size, f);
  std::fclose(f);
  try {
    (void)vesk::resolveBundlePath(c);
  } catch (const std::exception&) {
  }
  vesk::rmTree(workDir() + "/cache");
  return 0;
}
