// The manifest scanner over arbitrary text: every query either answers or throws a runtime error.
#include <cstdint>
#include <stdexcept>
#include <string>

#include "bundle/vesk_bundle.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (const char* key : {"H", "W", "NT", "format", "crop", "a"}) {
    (void)vesk::manifest_key::keyHits(text, key);
    try {
      const size_t pos = vesk::manifest_key::scalarValuePos(text, key);
      if (pos != vesk::manifest_key::kAbsent && pos >= text.size()) __builtin_trap();
      (void)vesk::strField(text, key);
    } catch (const std::runtime_error&) {
    }
    try {
      (void)vesk::numFieldEither(text, key, "frame_count");
    } catch (const std::runtime_error&) {
    }
  }
  return 0;
}
