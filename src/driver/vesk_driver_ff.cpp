#include "driver/vesk_driver_ff.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/pixdesc.h>
}

#include "core/vesk_simd.h"
#include "core/vesk_env.h"

namespace vesk::driver {

void FormatCloser::operator()(AVFormatContext* p) const { avformat_close_input(&p); }
void CodecFreer::operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
void PacketFreer::operator()(AVPacket* p) const { av_packet_free(&p); }
void FrameFreer::operator()(AVFrame* p) const { av_frame_free(&p); }

namespace {

constexpr const char* kHwDecoder = "h264_cuvid";
constexpr int kSoftwareThreads = 4;

std::string errText(int code) {
  char buf[64] = {0};
  av_strerror(code, buf, sizeof buf);
  return buf;
}

std::string formatName(int fmt) {
  const char* n = av_get_pix_fmt_name(static_cast<AVPixelFormat>(fmt));
  return n ? n : "?";
}

uint8_t clamp255(int v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

}  // namespace

std::string builtLibavcodecVersion() {
  return std::to_string(LIBAVCODEC_VERSION_MAJOR) + "." + std::to_string(LIBAVCODEC_VERSION_MINOR) + "." +
         std::to_string(LIBAVCODEC_VERSION_MICRO);
}

std::string movieDecoderBuild() {
  return "libavcodec " + builtLibavcodecVersion() + " / " + avcodec_configuration();
}

FfSource::FfSource(Kind kind, std::string path, int NT, int W, int H)
    : kind_(kind), path_(std::move(path)), NT_(NT), W_(W), H_(H) {
  if (kind_ == kPrior)
    for (int i = 0; i < 256; ++i) unit_table_[i] = f32ToF16(static_cast<float>(i) / 255.0f);
  open();
}

FfSource::~FfSource() = default;

int64_t FfSource::frameBytes() const {
  const int64_t px = static_cast<int64_t>(W_) * H_;
  return kind_ == kPrior ? px * 6 : px * 3;
}

void FfSource::close() {
  frame_.reset();
  packet_.reset();
  codec_.reset();
  format_.reset();
  stream_ = -1;
}

void FfSource::open() {
  close();
  AVFormatContext* fmt = nullptr;
  if (avformat_open_input(&fmt, path_.c_str(), nullptr, nullptr) < 0)
    throw std::runtime_error("vesk_driver: " + path_ + " is not a readable container");
  format_.reset(fmt);
  if (avformat_find_stream_info(fmt, nullptr) < 0)
    throw std::runtime_error("vesk_driver: " + path_ + " carries no stream info");
  for (unsigned i = 0; i < fmt->nb_streams; ++i) {
    if (fmt->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
      stream_ = static_cast<int32_t>(i);
      break;
    }
  }
  if (stream_ < 0) throw std::runtime_error("vesk_driver: " + path_ + " has no video stream");
  AVStream* st = fmt->streams[stream_];
  const AVCodecParameters* par = st->codecpar;
  if (par->width != W_ || par->height != H_)
    throw std::runtime_error("vesk_driver: " + path_ + " is " + std::to_string(par->width) + "x" +
                             std::to_string(par->height) + ", the manifest says " + std::to_string(W_) + "x" +
                             std::to_string(H_) + " — refusing to rescale the driver");
  if (st->nb_frames >= 1 && st->nb_frames != NT_)
    throw std::runtime_error("vesk_driver: " + path_ + " carries " + std::to_string(st->nb_frames) +
                             " frames, the manifest says NT=" + std::to_string(NT_) +
                             " — member/manifest mismatch, refusing");

  const AVCodec* opened = nullptr;
  if (!env::flag("VESK_DRIVER_HWDEC", true)) {
    std::fprintf(stderr,
                 "[vesk-driver] VESK_DRIVER_HWDEC=0 — %s not attempted; the software decoder is the one decoder "
                 "on this fleet (same samples)\n",
                 kHwDecoder);
  } else if (kind_ == kDriverMp4 && par->codec_id == AV_CODEC_ID_H264) {
    if (const AVCodec* dec = avcodec_find_decoder_by_name(kHwDecoder)) {
      std::unique_ptr<AVCodecContext, CodecFreer> ctx(avcodec_alloc_context3(dec));
      if (!ctx) throw std::runtime_error("vesk_driver: avcodec_alloc_context3 failed");
      if (avcodec_parameters_to_context(ctx.get(), par) < 0)
        throw std::runtime_error("vesk_driver: avcodec_parameters_to_context failed");
      ctx->thread_count = 1;
      if (avcodec_open2(ctx.get(), dec, nullptr) == 0) {
        codec_ = std::move(ctx);
        opened = dec;
      } else {
        ctx.reset();
        std::fprintf(stderr,
                     "[vesk-driver] %s refused %s — falling back to the software h264 decoder (same samples, "
                     "more CPU)\n",
                     kHwDecoder, path_.c_str());
      }
    }
  }
  if (!opened) {
    const AVCodec* dec = avcodec_find_decoder(par->codec_id);
    if (!dec)
      throw std::runtime_error("vesk_driver: no decoder for " + path_ + " (codec id " +
                               std::to_string(static_cast<int>(par->codec_id)) + ")");
    std::unique_ptr<AVCodecContext, CodecFreer> ctx(avcodec_alloc_context3(dec));
    if (!ctx) throw std::runtime_error("vesk_driver: avcodec_alloc_context3 failed");
    if (avcodec_parameters_to_context(ctx.get(), par) < 0)
      throw std::runtime_error("vesk_driver: avcodec_parameters_to_context failed");
    ctx->thread_count = kSoftwareThreads;
    ctx->thread_type = FF_THREAD_FRAME;
    if (avcodec_open2(ctx.get(), dec, nullptr) < 0) {
      ctx.reset();
      throw std::runtime_error("vesk_driver: could not open the decoder for " + path_);
    }
    codec_ = std::move(ctx);
    opened = dec;
  }
  packet_.reset(av_packet_alloc());
  frame_.reset(av_frame_alloc());
  if (!packet_ || !frame_) throw std::runtime_error("vesk_driver: out of memory");

  position_ = 0;
  drained_ = false;
  packet_held_ = false;
  max_packet_.store(0, std::memory_order_relaxed);
  held_frames_.store(codec_->thread_count > 0 ? codec_->thread_count + 5 : 6, std::memory_order_relaxed);
  name_ = std::string(kind_ == kDriverMp4 ? "mp4/libavcodec" : "hevc444/libavcodec") + builtLibavcodecVersion() +
          " " + opened->name;
}

void FfSource::convert(uint8_t* dst) {
  const AVFrame* f = frame_.get();
  const int fmt = f->format;
  if (kind_ == kPrior) {
    if (fmt != AV_PIX_FMT_YUV444P)
      throw std::runtime_error("vesk_driver: " + path_ + " decoded to " + formatName(fmt) +
                               ", not the yuv444p a warp prior is authored in — a subsampled prior is a different "
                               "mouth, refusing");
    const size_t plane = static_cast<size_t>(W_) * static_cast<size_t>(H_);
    uint16_t* r = reinterpret_cast<uint16_t*>(dst);
    uint16_t* g = r + plane;
    uint16_t* b = g + plane;
    for (int y = 0; y < H_; ++y) {
      const uint8_t* py = f->data[0] + static_cast<ptrdiff_t>(y) * f->linesize[0];
      const uint8_t* pu = f->data[1] + static_cast<ptrdiff_t>(y) * f->linesize[1];
      const uint8_t* pv = f->data[2] + static_cast<ptrdiff_t>(y) * f->linesize[2];
      const size_t row = static_cast<size_t>(y) * static_cast<size_t>(W_);
      for (int x = 0; x < W_; ++x) {
        const int c = (py[x] - 16) * 76312;
        const int d = pu[x] - 128;
        const int e = pv[x] - 128;
        r[row + x] = unit_table_[clamp255((c + e * 104600 + 32768) >> 16)];
        g[row + x] = unit_table_[clamp255((c - d * 25672 - e * 53280 + 32768) >> 16)];
        b[row + x] = unit_table_[clamp255((c + d * 132200 + 32768) >> 16)];
      }
    }
    return;
  }
  const size_t stride = static_cast<size_t>(W_) * 3;
  if (fmt == AV_PIX_FMT_YUV420P) {
    for (int y = 0; y < H_; ++y)
      simd::yuv420RowToRgb24(f->data[0] + static_cast<ptrdiff_t>(y) * f->linesize[0],
                             f->data[1] + static_cast<ptrdiff_t>(y / 2) * f->linesize[1],
                             f->data[2] + static_cast<ptrdiff_t>(y / 2) * f->linesize[2], W_, 1,
                             dst + static_cast<size_t>(y) * stride);
  } else if (fmt == AV_PIX_FMT_NV12) {
    for (int y = 0; y < H_; ++y) {
      const uint8_t* uv = f->data[1] + static_cast<ptrdiff_t>(y / 2) * f->linesize[1];
      simd::yuv420RowToRgb24(f->data[0] + static_cast<ptrdiff_t>(y) * f->linesize[0], uv, uv + 1, W_, 2,
                             dst + static_cast<size_t>(y) * stride);
    }
  } else {
    throw std::runtime_error("vesk_driver: " + path_ + " decoded to " + formatName(fmt) +
                             ", not the 4:2:0 layout the canvas conversion is written for (yuv420p / nv12) — "
                             "refusing rather than pasting onto a different pixel domain");
  }
}

bool FfSource::next(uint8_t* dst) {
  for (;;) {
    int rc = avcodec_receive_frame(codec_.get(), frame_.get());
    if (rc == 0) {
      struct Unref {
        AVFrame* f;
        ~Unref() { av_frame_unref(f); }
      } unref{frame_.get()};
      if (frame_->width != W_ || frame_->height != H_)
        throw std::runtime_error("vesk_driver: " + path_ + " changed size mid-stream — refusing");
      convert(dst);
      ++position_;
      return true;
    }
    if (rc == AVERROR_EOF) return false;
    if (rc != AVERROR(EAGAIN))
      throw std::runtime_error("vesk_driver: " + path_ + " decode fault at frame " + std::to_string(position_) +
                               " (" + errText(rc) + ")");
    if (drained_) return false;
    if (!packet_held_) {
      for (;;) {
        rc = av_read_frame(format_.get(), packet_.get());
        if (rc == AVERROR_EOF) break;
        if (rc < 0) throw std::runtime_error("vesk_driver: " + path_ + " read fault (" + errText(rc) + ")");
        if (packet_->stream_index == stream_) break;
        av_packet_unref(packet_.get());
      }
      if (rc == AVERROR_EOF) {
        drained_ = true;
        avcodec_send_packet(codec_.get(), nullptr);
        continue;
      }
      if (packet_->size > max_packet_.load(std::memory_order_relaxed))
        max_packet_.store(packet_->size, std::memory_order_relaxed);
    }
    rc = avcodec_send_packet(codec_.get(), packet_.get());
    if (rc == AVERROR(EAGAIN)) {
      // Not consumed: keep it and send it again once the decoder has given out a frame.
      packet_held_ = true;
      continue;
    }
    packet_held_ = false;
    av_packet_unref(packet_.get());
    if (rc < 0) throw std::runtime_error("vesk_driver: " + path_ + " packet refused (" + errText(rc) + ")");
  }
}

void FfSource::backToStart() {
  if (av_seek_frame(format_.get(), stream_, 0, AVSEEK_FLAG_BACKWARD) < 0) {
    open();
  } else {
    avcodec_flush_buffers(codec_.get());
    if (packet_held_) av_packet_unref(packet_.get());
    packet_held_ = false;
    drained_ = false;
  }
  position_ = 0;
}

void FfSource::rewind() { backToStart(); }

void FfSource::seek(int i) {
  if (i < 0 || i >= NT_) throw std::runtime_error("vesk_driver: seek outside the member");
  if (i < position_) backToStart();
  if (position_ < i && scratch_.empty()) scratch_.resize(static_cast<size_t>(frameBytes()));
  while (position_ < i) {
    if (!next(scratch_.data()))
      throw std::runtime_error("vesk_driver: " + path_ + " ended at frame " + std::to_string(position_) +
                               " while seeking to " + std::to_string(i));
  }
}

int64_t FfSource::residentBytes() const {
  const int64_t px = static_cast<int64_t>(W_) * H_;
  const int64_t per_frame = kind_ == kPrior ? px * 3 : px * 3 / 2;
  return per_frame * held_frames_.load(std::memory_order_relaxed) + max_packet_.load(std::memory_order_relaxed);
}

std::unique_ptr<Source> openMp4(const std::string& path, int NT, int W, int H) {
  return std::make_unique<FfSource>(FfSource::kDriverMp4, path, NT, W, H);
}

std::unique_ptr<Source> openPriorHevc(const std::string& path, int NT, int side) {
  return std::make_unique<FfSource>(FfSource::kPrior, path, NT, side, side);
}

}  // namespace vesk::driver
