#include "vesk_video_writer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <stdexcept>

namespace vesk::cli {

namespace {

std::string avError(int code) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(code, buf, sizeof buf);
  return buf;
}

void check(int code, const std::string& what) {
  if (code < 0) throw std::runtime_error(what + ": " + avError(code));
}

struct CodecFree {
  void operator()(AVCodecContext* c) const noexcept { avcodec_free_context(&c); }
};
struct FrameFree {
  void operator()(AVFrame* f) const noexcept { av_frame_free(&f); }
};
struct PacketFree {
  void operator()(AVPacket* p) const noexcept { av_packet_free(&p); }
};
struct SwsFree {
  void operator()(SwsContext* s) const noexcept { sws_freeContext(s); }
};
struct OutputFree {
  void operator()(AVFormatContext* f) const noexcept {
    if (f->pb != nullptr && !(f->oformat->flags & AVFMT_NOFILE)) avio_closep(&f->pb);
    avformat_free_context(f);
  }
};

}  // namespace

struct VideoWriter::Impl {
  std::unique_ptr<AVFormatContext, OutputFree> fmt;
  std::unique_ptr<AVCodecContext, CodecFree> enc;
  std::unique_ptr<AVFrame, FrameFree> frame;
  std::unique_ptr<AVPacket, PacketFree> pkt;
  std::unique_ptr<SwsContext, SwsFree> sws;
  AVStream* stream = nullptr;
  int W = 0, H = 0;
  int64_t next = 0;
  bool finished = false;

  void drain(bool flush) {
    check(avcodec_send_frame(enc.get(), flush ? nullptr : frame.get()), "encode");
    for (;;) {
      const int r = avcodec_receive_packet(enc.get(), pkt.get());
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
      check(r, "encode");
      // Every packet is one frame long; a flushed packet may come without a duration, and the muxer
      // would then end the track a frame early.
      if (pkt->duration == 0) pkt->duration = 1;
      av_packet_rescale_ts(pkt.get(), enc->time_base, stream->time_base);
      pkt->stream_index = stream->index;
      check(av_interleaved_write_frame(fmt.get(), pkt.get()), "write");
    }
  }
};

VideoWriter::VideoWriter(const std::string& path, int W, int H, int fps) : impl_(std::make_unique<Impl>()) {
  Impl& d = *impl_;
  if (W < 2 || H < 2 || W % 2 != 0 || H % 2 != 0)
    throw std::runtime_error("video size " + std::to_string(W) + "x" + std::to_string(H) + " must be even");
  d.W = W;
  d.H = H;
  AVFormatContext* fmt = nullptr;
  check(avformat_alloc_output_context2(&fmt, nullptr, "mp4", path.c_str()), "cannot create " + path);
  d.fmt.reset(fmt);
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  if (codec == nullptr) codec = avcodec_find_encoder(AV_CODEC_ID_H264);
  if (codec == nullptr) throw std::runtime_error("no H.264 encoder in this FFmpeg");
  d.stream = avformat_new_stream(fmt, nullptr);
  d.enc.reset(avcodec_alloc_context3(codec));
  if (d.stream == nullptr || !d.enc) throw std::runtime_error("out of memory");
  AVCodecContext* c = d.enc.get();
  c->width = W;
  c->height = H;
  c->pix_fmt = AV_PIX_FMT_YUV420P;
  c->time_base = AVRational{1, fps};
  c->framerate = AVRational{fps, 1};
  c->gop_size = 2 * fps;
  // Without B-frames no timestamp is negative, so the MP4 needs no edit list that could hide a frame.
  c->max_b_frames = 0;
  if (fmt->oformat->flags & AVFMT_GLOBALHEADER) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  av_opt_set(c->priv_data, "preset", "veryfast", 0);
  av_opt_set(c->priv_data, "crf", "20", 0);
  check(avcodec_open2(c, codec, nullptr), "cannot open the H.264 encoder");
  check(avcodec_parameters_from_context(d.stream->codecpar, c), "encoder parameters");
  d.stream->time_base = c->time_base;
  check(avio_open(&fmt->pb, path.c_str(), AVIO_FLAG_WRITE), "cannot write " + path);
  check(avformat_write_header(fmt, nullptr), "cannot write the header of " + path);

  d.frame.reset(av_frame_alloc());
  d.pkt.reset(av_packet_alloc());
  if (!d.frame || !d.pkt) throw std::runtime_error("out of memory");
  d.frame->format = AV_PIX_FMT_YUV420P;
  d.frame->width = W;
  d.frame->height = H;
  check(av_frame_get_buffer(d.frame.get(), 0), "frame buffer");
  d.sws.reset(sws_getContext(W, H, AV_PIX_FMT_RGB24, W, H, AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr));
  if (!d.sws) throw std::runtime_error("no RGB24 to yuv420p conversion");
}

VideoWriter::~VideoWriter() {
  try {
    finish();
  } catch (const std::exception&) {
    // A writer torn down by an earlier failure has nothing left worth reporting.
  }
}

void VideoWriter::addFrame(const uint8_t* rgb24) {
  Impl& d = *impl_;
  check(av_frame_make_writable(d.frame.get()), "frame buffer");
  const uint8_t* src[1] = {rgb24};
  const int stride[1] = {3 * d.W};
  sws_scale(d.sws.get(), src, stride, 0, d.H, d.frame->data, d.frame->linesize);
  d.frame->pts = d.next++;
  d.drain(false);
}

void VideoWriter::finish() {
  Impl& d = *impl_;
  if (d.finished) return;
  d.finished = true;
  d.drain(true);
  check(av_write_trailer(d.fmt.get()), "trailer");
}

int64_t VideoWriter::frames() const { return impl_->next; }

}  // namespace vesk::cli
