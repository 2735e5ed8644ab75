// Hostile audio files: whatever the bytes, the reader returns mono samples in range or throws its
// own one-line error.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "vesk_audio.h"

extern "C" {
#include <libavutil/log.h>
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  av_log_set_level(AV_LOG_QUIET);
  try {
    const vesk::cli::Audio a = vesk::cli::decodeAudio(data, size, "fuzz.audio");
    if (a.channels < 1 || a.mono.empty()) std::abort();
    for (float s : a.mono)
      if (!(s >= -1.0f && s <= 1.0f)) std::abort();
  } catch (const std::runtime_error& e) {
    if (std::strchr(e.what(), '\n') != nullptr) std::abort();
  }
  return 0;
}
