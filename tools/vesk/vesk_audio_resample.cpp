// The resampling half of the audio reader.
#include <algorithm>
#include <climits>
#include <memory>
#include <stdexcept>
#include <vector>

#include "vesk_audio.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

namespace vesk::cli {

namespace {

constexpr int kEngineRate = 16000;

struct SwrFree {
  void operator()(SwrContext* s) const noexcept { swr_free(&s); }
};

void check(int code, const char* what) {
  if (code < 0) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(code, buf, sizeof buf);
    throw std::runtime_error(std::string("resampling to 16 kHz: ") + what + ": " + buf);
  }
}

}  // namespace

std::vector<int16_t> toMono16k(const Audio& audio) {
  if (audio.rate < 1) throw std::runtime_error("resampling to 16 kHz: no audio format");
  const std::vector<float>& mono = audio.mono;
  const size_t frames = mono.size();

  SwrContext* raw = nullptr;
  AVChannelLayout layout = AV_CHANNEL_LAYOUT_MONO;
  check(swr_alloc_set_opts2(&raw, &layout, AV_SAMPLE_FMT_S16, kEngineRate, &layout, AV_SAMPLE_FMT_FLT, audio.rate, 0,
                            nullptr),
        "options");
  std::unique_ptr<SwrContext, SwrFree> swr(raw);
  check(swr_init(swr.get()), "init");

  std::vector<int16_t> out;
  out.reserve(static_cast<size_t>(static_cast<double>(frames) * kEngineRate / audio.rate) + 64);
  constexpr size_t kBlock = 1 << 16;
  std::vector<int16_t> buf;
  size_t at = 0;
  for (;;) {
    const int in = static_cast<int>(std::min(kBlock, frames - at));
    // in == 0 flushes what the filter still holds.
    const int cap = swr_get_out_samples(swr.get(), in);
    check(cap, "output size");
    buf.resize(static_cast<size_t>(cap) + 1);
    uint8_t* dst[1] = {reinterpret_cast<uint8_t*>(buf.data())};
    const uint8_t* src[1] = {reinterpret_cast<const uint8_t*>(mono.data() + at)};
    const int got = swr_convert(swr.get(), dst, cap + 1, in > 0 ? src : nullptr, in);
    check(got, "convert");
    out.insert(out.end(), buf.begin(), buf.begin() + got);
    if (in == 0) break;
    at += static_cast<size_t>(in);
  }
  if (out.size() > static_cast<size_t>(INT_MAX)) throw std::runtime_error("resampling to 16 kHz: too long");
  return out;
}

}  // namespace vesk::cli
