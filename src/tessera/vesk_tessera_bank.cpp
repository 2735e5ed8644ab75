#include "tessera/vesk_tessera_bank.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

namespace vesk::tessera {

namespace {

constexpr int kIoBufferBytes = 65536;

struct IoFree {
  void operator()(AVIOContext* p) const {
    // FFmpeg may have replaced the buffer it was given; the context's own pointer is the live one.
    av_freep(&p->buffer);
    avio_context_free(&p);
  }
};
struct FormatFree {  // allocated, not yet opened
  void operator()(AVFormatContext* p) const { avformat_free_context(p); }
};
struct FormatClose {
  void operator()(AVFormatContext* p) const { avformat_close_input(&p); }
};
struct CodecFree {
  void operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
};
struct PacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameFree {
  void operator()(AVFrame* p) const { av_frame_free(&p); }
};
struct ScaleFree {
  void operator()(SwsContext* p) const { sws_freeContext(p); }
};

[[noreturn]] void refuse(const std::string& why) { throw std::runtime_error(why); }

std::string errText(int code) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(code, buf, sizeof buf);
  return buf;
}

// Receives and places every frame the decoder has ready, until it wants input (false) or has
// delivered its last frame (true).
class Placer {
 public:
  Placer(AVCodecContext* codec, AVFrame* frame, std::vector<uint8_t>& out, int n, int h, int w,
         const std::vector<int>& order)
      : codec_(codec), frame_(frame), out_(out), n_(n), h_(h), w_(w), order_(order) {}

  bool drain() {
    for (;;) {
      const int rc = avcodec_receive_frame(codec_, frame_);
      if (rc == AVERROR(EAGAIN)) return false;
      if (rc == AVERROR_EOF) return true;
      // Any other code is a broken track: looping on it could spin forever.
      if (rc < 0) refuse("reference bank track failed to decode (" + errText(rc) + ") — refusing to serve");
      place();
      av_frame_unref(frame_);
    }
  }

  int count() const { return count_; }

 private:
  void place() {
    if (frame_->width != w_ || frame_->height != h_)
      refuse("reference bank frame changed size mid-track — refusing to serve");
    if (!scale_) {
      scale_.reset(sws_getContext(w_, h_, static_cast<AVPixelFormat>(frame_->format), w_, h_, AV_PIX_FMT_RGB24,
                                  SWS_BILINEAR, nullptr, nullptr, nullptr));
      if (!scale_) refuse("reference bank decode: no rgb24 conversion — refusing to serve");
    }
    if (count_ >= n_)
      refuse(
          "bank track carries more frames than the sidecar's n_donors — sidecar/track mismatch, refusing to "
          "serve");
    const size_t patch = static_cast<size_t>(h_) * static_cast<size_t>(w_) * 3;
    uint8_t* dst[4] = {out_.data() + static_cast<size_t>(order_[static_cast<size_t>(count_)]) * patch, nullptr, nullptr,
                       nullptr};
    const int stride[4] = {w_ * 3, 0, 0, 0};
    sws_scale(scale_.get(), frame_->data, frame_->linesize, 0, h_, dst, stride);
    ++count_;
  }

  AVCodecContext* codec_;
  AVFrame* frame_;
  std::vector<uint8_t>& out_;
  const int n_, h_, w_;
  const std::vector<int>& order_;
  std::unique_ptr<SwsContext, ScaleFree> scale_;
  int count_ = 0;
};

}  // namespace

int BankReader::read(void* opaque, uint8_t* buf, int len) {
  auto* r = static_cast<BankReader*>(opaque);
  if (r->pos >= r->size) return AVERROR_EOF;
  const int64_t k = std::min<int64_t>(std::max(len, 0), r->size - r->pos);
  std::memcpy(buf, r->data + r->pos, static_cast<size_t>(k));
  r->pos += k;
  return static_cast<int>(k);
}

int64_t BankReader::seek(void* opaque, int64_t offset, int whence) {
  auto* r = static_cast<BankReader*>(opaque);
  if ((whence & AVSEEK_SIZE) != 0) return r->size;
  int64_t base = 0;
  switch (whence & ~AVSEEK_FORCE) {
    case SEEK_SET:
      base = 0;
      break;
    case SEEK_CUR:
      base = r->pos;
      break;
    case SEEK_END:
      base = r->size;
      break;
    default:
      return -1;
  }
  // Offsets come from the container: guard the sum against overflow before comparing.
  if ((offset > 0 && base > INT64_MAX - offset) || (offset < 0 && base < INT64_MIN - offset)) return -1;
  const int64_t to = base + offset;
  if (to < 0 || to > r->size) return -1;
  r->pos = to;
  return to;
}

std::vector<uint8_t> decodeBankTrack(const uint8_t* data, size_t size, int n, int h, int w,
                                     const std::vector<int>& track_order) {
  if (data == nullptr || size == 0) refuse("reference bank track is empty — refusing to serve");
  if (h < 1 || w < 1 || n < 1) refuse("reference bank geometry is not positive — refusing to serve");
  if (track_order.size() != static_cast<size_t>(n))
    refuse("reference bank sidecar track_order has " + std::to_string(track_order.size()) + " entries, expected " +
           std::to_string(n) + " — sidecar/track mismatch, refusing to serve");

  BankReader reader{data, static_cast<int64_t>(std::min<size_t>(size, INT64_MAX)), 0};
  auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferBytes));
  if (buffer == nullptr) refuse("reference bank decode: out of memory");
  AVIOContext* io_raw =
      avio_alloc_context(buffer, kIoBufferBytes, 0, &reader, &BankReader::read, nullptr, &BankReader::seek);
  if (io_raw == nullptr) {
    av_free(buffer);
    refuse("reference bank decode: avio_alloc_context failed");
  }
  // Declared first, released last: the format context reads through it until it is closed.
  const std::unique_ptr<AVIOContext, IoFree> io(io_raw);
  std::unique_ptr<AVFormatContext, FormatFree> fresh(avformat_alloc_context());
  if (!fresh) refuse("reference bank decode: avformat_alloc_context failed");
  fresh->pb = io.get();
  fresh->flags |= AVFMT_FLAG_CUSTOM_IO;
  // avformat_open_input frees the context itself when it fails.
  AVFormatContext* fmt_raw = fresh.release();
  if (avformat_open_input(&fmt_raw, nullptr, nullptr, nullptr) < 0)
    refuse("reference bank track is not a readable container — refusing to serve");
  const std::unique_ptr<AVFormatContext, FormatClose> fmt(fmt_raw);
  if (avformat_find_stream_info(fmt.get(), nullptr) < 0)
    refuse("reference bank track carries no stream info — refusing to serve");

  int stream = -1;
  for (unsigned i = 0; i < fmt->nb_streams; ++i)
    if (fmt->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
      stream = static_cast<int>(i);
      break;
    }
  if (stream < 0) refuse("reference bank track has no video stream — refusing to serve");
  const AVCodecParameters* par = fmt->streams[stream]->codecpar;
  if (par->width != w || par->height != h)
    refuse("reference bank track is " + std::to_string(par->width) + "x" + std::to_string(par->height) +
           ", the geometry stamp says " + std::to_string(w) + "x" + std::to_string(h) +
           " — geometry mismatch, refusing to serve");

  const AVCodec* dec = avcodec_find_decoder(par->codec_id);
  if (dec == nullptr)
    refuse(
        "no decoder for the reference bank track — this build must carry the h264 decoder (see "
        "build_ffmpeg_android.sh); refusing to serve");
  const std::unique_ptr<AVCodecContext, CodecFree> codec(avcodec_alloc_context3(dec));
  if (!codec) refuse("reference bank decode: avcodec_alloc_context3 failed");
  if (avcodec_parameters_to_context(codec.get(), par) < 0)
    refuse("reference bank decode: avcodec_parameters_to_context failed");
  // One thread: one frame in flight, and the frames arrive in track order.
  codec->thread_count = 1;
  if (avcodec_open2(codec.get(), dec, nullptr) < 0)
    refuse("reference bank decode: could not open the decoder — refusing to serve");
  const std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
  const std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
  if (!packet || !frame) refuse("reference bank decode: out of memory");

  std::vector<uint8_t> out(static_cast<size_t>(n) * static_cast<size_t>(h) * static_cast<size_t>(w) * 3, 0);
  std::vector<bool> seen(static_cast<size_t>(n), false);
  for (int v : track_order) {
    if (v < 0 || v >= n) refuse("reference bank track_order is out of range — refusing to serve");
    if (seen[static_cast<size_t>(v)]) refuse("reference bank track_order is not a permutation — refusing to serve");
    seen[static_cast<size_t>(v)] = true;
  }

  Placer placer(codec.get(), frame.get(), out, n, h, w, track_order);
  auto send = [&](const AVPacket* p) {
    for (;;) {
      const int rc = avcodec_send_packet(codec.get(), p);
      if (rc == 0 || rc == AVERROR_EOF) return;
      if (rc != AVERROR(EAGAIN))
        refuse("reference bank track failed to decode (" + errText(rc) + ") — refusing to serve");
      // The decoder holds output it must hand over before it takes more.
      if (placer.drain()) return;
    }
  };
  bool finished = false;
  while (!finished && av_read_frame(fmt.get(), packet.get()) >= 0) {
    if (packet->stream_index == stream) {
      send(packet.get());
      finished = placer.drain();
    }
    av_packet_unref(packet.get());
  }
  if (!finished) {
    send(nullptr);
    // A drained decoder ends with EOF; one that asks for input after the flush has nothing more.
    (void)placer.drain();
  }
  if (placer.count() != n)
    refuse("bank track decoded to " + std::to_string(placer.count()) + " frames, expected " + std::to_string(n) +
           " — geometry/N mismatch, refusing to serve");
  return out;
}

std::string bankDecoderBuild() {
  return "libavcodec " + std::to_string(LIBAVCODEC_VERSION_MAJOR) + "." + std::to_string(LIBAVCODEC_VERSION_MINOR) +
         "." + std::to_string(LIBAVCODEC_VERSION_MICRO) + " / " + avcodec_configuration();
}

}  // namespace vesk::tessera
