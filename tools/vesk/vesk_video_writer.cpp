#include "vesk_video_writer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <stdexcept>
#include <vector>

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
  int W = 0, H = 0, fps = 0;
  int64_t next = 0;
  bool finished = false;

  // The audio track (aenc null without one).
  std::unique_ptr<AVCodecContext, CodecFree> aenc;
  std::unique_ptr<AVFrame, FrameFree> aframe;
  AVStream* astream = nullptr;
  int rate = 0;
  int frameSize = 0;
  bool smallLast = false;
  std::vector<int16_t> pending;  // added, not yet encoded
  int64_t sent = 0;              // samples handed to the encoder

  void drain(AVCodecContext* c, AVStream* s, const AVFrame* in) {
    check(avcodec_send_frame(c, in), "encode");
    for (;;) {
      const int r = avcodec_receive_packet(c, pkt.get());
      if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return;
      check(r, "encode");
      // Every video packet is one frame long; a flushed packet may come without a duration, and
      // the muxer would then end the track a frame early.
      if (s == stream && pkt->duration == 0) pkt->duration = 1;
      av_packet_rescale_ts(pkt.get(), c->time_base, s->time_base);
      pkt->stream_index = s->index;
      check(av_interleaved_write_frame(fmt.get(), pkt.get()), "write");
    }
  }

  // Samples the audio track may hold for the video written so far.
  int64_t audioLimit() const { return av_rescale(next, rate, fps); }

  void encodeAudio(size_t count) {
    AVFrame* f = aframe.get();
    check(av_frame_make_writable(f), "audio frame buffer");
    f->nb_samples = static_cast<int>(count);
    if (aenc->sample_fmt == AV_SAMPLE_FMT_S16) {
      std::copy_n(pending.begin(), count, reinterpret_cast<int16_t*>(f->data[0]));
    } else {
      float* dst = reinterpret_cast<float*>(f->data[0]);
      for (size_t i = 0; i < count; ++i) dst[i] = static_cast<float>(pending[i]) * (1.0f / 32768.0f);
    }
    f->pts = sent;
    sent += static_cast<int64_t>(count);
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(count));
    drain(aenc.get(), astream, f);
  }

  void pumpAudio() {
    const size_t n = static_cast<size_t>(frameSize);
    while (pending.size() >= n && sent + frameSize <= audioLimit()) encodeAudio(n);
  }

  void finishAudio() {
    const int64_t want = audioLimit() - sent;
    pending.resize(static_cast<size_t>(std::max<int64_t>(want, 0)), 0);
    const size_t n = static_cast<size_t>(frameSize);
    while (pending.size() >= n) encodeAudio(n);
    if (!pending.empty()) {
      // Without a short last frame the track would end up to one codec frame past the video.
      if (!smallLast) pending.resize(n, 0);
      encodeAudio(pending.size());
    }
    drain(aenc.get(), astream, nullptr);
  }

  void openAudio(int audioRate);
};

void VideoWriter::Impl::openAudio(int audioRate) {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
  if (codec == nullptr) throw std::runtime_error("no AAC encoder in this FFmpeg");
  AVSampleFormat sf = AV_SAMPLE_FMT_NONE;
  for (const AVSampleFormat* p = codec->sample_fmts; p != nullptr && *p != AV_SAMPLE_FMT_NONE; ++p)
    if (*p == AV_SAMPLE_FMT_FLTP || *p == AV_SAMPLE_FMT_S16) {
      sf = *p;
      break;
    }
  if (sf == AV_SAMPLE_FMT_NONE) throw std::runtime_error(std::string(codec->name) + " takes neither float nor s16");
  bool rateOk = codec->supported_samplerates == nullptr;
  for (const int* r = codec->supported_samplerates; r != nullptr && *r != 0; ++r) rateOk = rateOk || *r == audioRate;
  if (!rateOk)
    throw std::runtime_error(std::string(codec->name) + " does not encode " + std::to_string(audioRate) + " Hz");
  astream = avformat_new_stream(fmt.get(), nullptr);
  aenc.reset(avcodec_alloc_context3(codec));
  if (astream == nullptr || !aenc) throw std::runtime_error("out of memory");
  AVCodecContext* c = aenc.get();
  c->sample_fmt = sf;
  c->sample_rate = audioRate;
  const AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
  check(av_channel_layout_copy(&c->ch_layout, &mono), "audio layout");
  c->bit_rate = 64000;
  c->time_base = AVRational{1, audioRate};
  if (fmt->oformat->flags & AVFMT_GLOBALHEADER) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  check(avcodec_open2(c, codec, nullptr), std::string("cannot open the ") + codec->name + " encoder");
  check(avcodec_parameters_from_context(astream->codecpar, c), "audio encoder parameters");
  astream->time_base = c->time_base;
  rate = audioRate;
  frameSize = c->frame_size > 0 ? c->frame_size : 1024;
  smallLast = (codec->capabilities & (AV_CODEC_CAP_SMALL_LAST_FRAME | AV_CODEC_CAP_VARIABLE_FRAME_SIZE)) != 0;
  aframe.reset(av_frame_alloc());
  if (!aframe) throw std::runtime_error("out of memory");
  aframe->format = sf;
  aframe->sample_rate = audioRate;
  check(av_channel_layout_copy(&aframe->ch_layout, &mono), "audio layout");
  aframe->nb_samples = frameSize;
  check(av_frame_get_buffer(aframe.get(), 0), "audio frame buffer");
}

VideoWriter::VideoWriter(const std::string& path, int W, int H, int fps, int audioRate)
    : impl_(std::make_unique<Impl>()) {
  Impl& d = *impl_;
  if (W < 2 || H < 2 || W % 2 != 0 || H % 2 != 0)
    throw std::runtime_error("video size " + std::to_string(W) + "x" + std::to_string(H) + " must be even");
  if (fps < 1) throw std::runtime_error("frame rate " + std::to_string(fps) + " must be positive");
  d.W = W;
  d.H = H;
  d.fps = fps;
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
  if (audioRate > 0) d.openAudio(audioRate);
  check(avio_open(&fmt->pb, path.c_str(), AVIO_FLAG_WRITE), "cannot write " + path);
  check(avformat_write_header(fmt, nullptr), "cannot write the header of " + path);

  d.frame.reset(av_frame_alloc());
  d.pkt.reset(av_packet_alloc());
  if (!d.frame || !d.pkt) throw std::runtime_error("out of memory");
  d.frame->format = AV_PIX_FMT_YUV420P;
  d.frame->width = W;
  d.frame->height = H;
  check(av_frame_get_buffer(d.frame.get(), 0), "frame buffer");
  d.sws.reset(
      sws_getContext(W, H, AV_PIX_FMT_RGB24, W, H, AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr));
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
  d.drain(d.enc.get(), d.stream, d.frame.get());
  if (d.aenc) d.pumpAudio();
}

void VideoWriter::addAudio(const int16_t* mono, size_t count) {
  Impl& d = *impl_;
  if (!d.aenc) throw std::runtime_error("this video has no audio track");
  if (d.finished) throw std::runtime_error("audio added after the video was finished");
  d.pending.insert(d.pending.end(), mono, mono + count);
  d.pumpAudio();
}

void VideoWriter::finish() {
  Impl& d = *impl_;
  if (d.finished) return;
  d.finished = true;
  d.drain(d.enc.get(), d.stream, nullptr);
  if (d.aenc) d.finishAudio();
  check(av_write_trailer(d.fmt.get()), "trailer");
}

int64_t VideoWriter::frames() const { return impl_->next; }

int64_t VideoWriter::audioSamples() const { return impl_->sent + static_cast<int64_t>(impl_->pending.size()); }

std::string VideoWriter::audioCodec() const { return impl_->aenc ? impl_->aenc->codec->name : ""; }

}  // namespace vesk::cli
