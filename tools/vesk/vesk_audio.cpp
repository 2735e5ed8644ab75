#include "vesk_audio.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <type_traits>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
#include <libavutil/samplefmt.h>
}

namespace vesk::cli {

namespace {

constexpr int kMaxChannels = 256;
constexpr int kMinRate = 1000;
constexpr int kMaxRate = 768000;
constexpr int kIoBlock = 1 << 16;
// A data chunk size that streaming writers leave when they cannot seek back: "to the end of the file".
constexpr uint32_t kRiffSizeUnknown = 0xFFFFFFFFu;

std::string avError(int code) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(code, buf, sizeof buf);
  return buf;
}

struct Memory {
  const uint8_t* data;
  size_t size;
  size_t pos = 0;
};

int readMemory(void* opaque, uint8_t* buf, int len) {
  auto* m = static_cast<Memory*>(opaque);
  const size_t n = std::min(static_cast<size_t>(len), m->size - m->pos);
  if (n == 0) return AVERROR_EOF;
  std::memcpy(buf, m->data + m->pos, n);
  m->pos += n;
  return static_cast<int>(n);
}

int64_t seekMemory(void* opaque, int64_t offset, int whence) {
  auto* m = static_cast<Memory*>(opaque);
  if (whence & AVSEEK_SIZE) return static_cast<int64_t>(m->size);
  int64_t at = offset;
  switch (whence & ~AVSEEK_FORCE) {
    case SEEK_SET:
      break;
    case SEEK_CUR:
      at += static_cast<int64_t>(m->pos);
      break;
    case SEEK_END:
      at += static_cast<int64_t>(m->size);
      break;
    default:
      return AVERROR(EINVAL);
  }
  if (at < 0 || at > static_cast<int64_t>(m->size)) return AVERROR(EINVAL);
  m->pos = static_cast<size_t>(at);
  return at;
}

struct IoFree {
  void operator()(AVIOContext* io) const noexcept {
    av_freep(&io->buffer);
    avio_context_free(&io);
  }
};
struct InputClose {
  void operator()(AVFormatContext* f) const noexcept { avformat_close_input(&f); }
};
struct CodecFree {
  void operator()(AVCodecContext* c) const noexcept { avcodec_free_context(&c); }
};
struct PacketFree {
  void operator()(AVPacket* p) const noexcept { av_packet_free(&p); }
};
struct FrameFree {
  void operator()(AVFrame* f) const noexcept { av_frame_free(&f); }
};

uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// What FFmpeg's WAV demuxer leaves to the caller. It reads a data chunk cut short up to the end of
// the file without a word, so a download cut off would be spoken as if whole: the chunk's own size
// says it is not. And a streaming writer's "to the end" size may end in part of a frame, which the
// PCM decoder refuses: the image handed on ends at the last whole frame. Returns its size.
size_t checkRiff(const uint8_t* data, size_t size, const std::string& name) {
  if (size < 12 || std::memcmp(data, "RIFF", 4) != 0 || std::memcmp(data + 8, "WAVE", 4) != 0) return size;
  size_t blockAlign = 0;
  size_t off = 12;
  while (off + 8 <= size) {
    const uint32_t len = le32(data + off + 4);
    const size_t left = size - off - 8;
    if (std::memcmp(data + off, "fmt ", 4) == 0 && len >= 16 && left >= 16) blockAlign = le16(data + off + 8 + 12);
    if (std::memcmp(data + off, "data", 4) == 0) {
      if (len == kRiffSizeUnknown) return blockAlign > 0 ? off + 8 + left / blockAlign * blockAlign : size;
      if (len > left)
        throw std::runtime_error(name + ": truncated: chunk 'data' declares " + std::to_string(len) + " bytes, " +
                                 std::to_string(left) + " remain");
      return size;
    }
    if (len > left) return size;  // the demuxer has its own word on a broken header chunk
    off += 8 + len + (len & 1u);
  }
  return size;
}

// WAVE_FORMAT_EXTENSIBLE keeps its valid bits left-justified in a wider container. FFmpeg names the
// codec by the valid bits (20 of 32 as pcm_s24le, 24 of 32 as pcm_f24le) and would read the
// container's samples as narrower ones; the block alignment gives the container, whose full-scale
// reading is the right one.
void fixContainerWidth(AVCodecParameters* par) {
  const int channels = par->ch_layout.nb_channels;
  if (channels < 1 || par->block_align % channels != 0) return;
  const int bytes = par->block_align / channels;
  switch (par->codec_id) {
    case AV_CODEC_ID_PCM_U8:
    case AV_CODEC_ID_PCM_S16LE:
    case AV_CODEC_ID_PCM_S24LE:
    case AV_CODEC_ID_PCM_S32LE:
      break;
    case AV_CODEC_ID_PCM_F24LE:
      if (bytes == 4) break;  // 24 valid bits of integer PCM; a 3-byte float is what it says
      return;
    default:
      return;
  }
  constexpr AVCodecID kByWidth[] = {AV_CODEC_ID_NONE, AV_CODEC_ID_PCM_U8, AV_CODEC_ID_PCM_S16LE, AV_CODEC_ID_PCM_S24LE,
                                    AV_CODEC_ID_PCM_S32LE};
  if (bytes < 1 || bytes > 4) return;
  par->codec_id = kByWidth[bytes];
  par->bits_per_coded_sample = 8 * bytes;
}

float clampUnit(double v) {
  // A float file may hold anything; NaN becomes silence and overs are clipped as a DAC would.
  if (std::isnan(v)) return 0.0f;
  return static_cast<float>(std::clamp(v, -1.0, 1.0));
}

template <class T>
float toUnit(T v) {
  if constexpr (std::is_same_v<T, uint8_t>) return static_cast<float>(static_cast<int>(v) - 128) / 128.0f;
  if constexpr (std::is_same_v<T, int16_t>) return static_cast<float>(v) / 32768.0f;
  if constexpr (std::is_same_v<T, int32_t>) return static_cast<float>(static_cast<double>(v) / 2147483648.0);
  if constexpr (std::is_same_v<T, int64_t>) return static_cast<float>(static_cast<double>(v) / 9223372036854775808.0);
  if constexpr (std::is_same_v<T, float> || std::is_same_v<T, double>) return clampUnit(static_cast<double>(v));
}

// Appends the frame's channels averaged into one. The mean is defined for every channel count
// (a count without a standard layout has no downmix of its own) and keeps mono samples as they are.
template <class T>
void appendMono(const AVFrame* f, int channels, bool planar, std::vector<float>& out) {
  const size_t n = static_cast<size_t>(f->nb_samples);
  const size_t C = static_cast<size_t>(channels);
  const size_t base = out.size();
  out.resize(base + n);
  for (size_t i = 0; i < n; ++i) {
    float sum = 0.0f;
    for (size_t c = 0; c < C; ++c) {
      const T* src = planar ? reinterpret_cast<const T*>(f->extended_data[c]) + i
                            : reinterpret_cast<const T*>(f->extended_data[0]) + i * C + c;
      sum += toUnit(*src);
    }
    out[base + i] = sum / static_cast<float>(C);
  }
}

void appendFrame(const AVFrame* f, int channels, std::vector<float>& out, const std::string& name) {
  const auto fmt = static_cast<AVSampleFormat>(f->format);
  const bool planar = av_sample_fmt_is_planar(fmt) != 0;
  switch (av_get_packed_sample_fmt(fmt)) {
    case AV_SAMPLE_FMT_U8:
      return appendMono<uint8_t>(f, channels, planar, out);
    case AV_SAMPLE_FMT_S16:
      return appendMono<int16_t>(f, channels, planar, out);
    case AV_SAMPLE_FMT_S32:
      return appendMono<int32_t>(f, channels, planar, out);
    case AV_SAMPLE_FMT_S64:
      return appendMono<int64_t>(f, channels, planar, out);
    case AV_SAMPLE_FMT_FLT:
      return appendMono<float>(f, channels, planar, out);
    case AV_SAMPLE_FMT_DBL:
      return appendMono<double>(f, channels, planar, out);
    default: {
      const char* s = av_get_sample_fmt_name(fmt);
      throw std::runtime_error(name + ": decoded samples of format " + (s != nullptr ? s : "?") + " are not read");
    }
  }
}

std::string seconds(double s) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f s", s);
  return buf;
}

}  // namespace

Audio decodeAudio(const uint8_t* data, size_t size, const std::string& name) {
  auto bad = [&](const std::string& what) { return std::runtime_error(name + ": " + what); };
  if (size == 0) throw bad("empty file");
  size = checkRiff(data, size, name);

  Memory mem{data, size};
  auto* ioBuf = static_cast<uint8_t*>(av_malloc(kIoBlock));
  if (ioBuf == nullptr) throw bad("out of memory");
  AVIOContext* rawIo = avio_alloc_context(ioBuf, kIoBlock, 0, &mem, readMemory, nullptr, seekMemory);
  if (rawIo == nullptr) {
    av_free(ioBuf);
    throw bad("out of memory");
  }
  std::unique_ptr<AVIOContext, IoFree> io(rawIo);

  AVFormatContext* rawFmt = avformat_alloc_context();
  if (rawFmt == nullptr) throw bad("out of memory");
  rawFmt->pb = io.get();
  rawFmt->flags |= AVFMT_FLAG_CUSTOM_IO;
  // On failure avformat_open_input frees the context itself.
  if (const int rc = avformat_open_input(&rawFmt, nullptr, nullptr, nullptr); rc < 0)
    throw bad("not an audio file FFmpeg reads (" + avError(rc) + ")");
  std::unique_ptr<AVFormatContext, InputClose> fmt(rawFmt);
  if (const int rc = avformat_find_stream_info(fmt.get(), nullptr); rc < 0)
    throw bad("cannot read its streams (" + avError(rc) + ")");

  const AVCodec* codec = nullptr;
  const int si = av_find_best_stream(fmt.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
  if (si == AVERROR_STREAM_NOT_FOUND) throw bad("no audio stream");
  AVStream* st = fmt->streams[si < 0 ? 0 : si];
  if (si < 0 || codec == nullptr)
    throw bad(std::string("no decoder for its ") + avcodec_get_name(st->codecpar->codec_id) + " audio");
  if (std::strcmp(fmt->iformat->name, "wav") == 0) fixContainerWidth(st->codecpar);
  codec = avcodec_find_decoder(st->codecpar->codec_id);
  if (codec == nullptr)
    throw bad(std::string("no decoder for its ") + avcodec_get_name(st->codecpar->codec_id) + " audio");

  std::unique_ptr<AVCodecContext, CodecFree> dec(avcodec_alloc_context3(codec));
  if (!dec) throw bad("out of memory");
  if (const int rc = avcodec_parameters_to_context(dec.get(), st->codecpar); rc < 0)
    throw bad("bad codec parameters (" + avError(rc) + ")");
  if (const int rc = avcodec_open2(dec.get(), codec, nullptr); rc < 0)
    throw bad(std::string("cannot open the ") + codec->name + " decoder (" + avError(rc) + ")");

  Audio a;
  a.channels = dec->ch_layout.nb_channels;
  a.rate = dec->sample_rate;
  const std::string container = fmt->iformat->name;
  a.format = container.substr(0, container.find(',')) + ", " + avcodec_get_name(st->codecpar->codec_id);
  if (a.channels < 1) throw bad("zero channels");
  if (a.channels > kMaxChannels)
    throw bad(std::to_string(a.channels) + " channels, more than " + std::to_string(kMaxChannels));
  if (a.rate < kMinRate || a.rate > kMaxRate)
    throw bad("sample rate " + std::to_string(a.rate) + " Hz is outside " + std::to_string(kMinRate) + ".." +
              std::to_string(kMaxRate));

  std::unique_ptr<AVPacket, PacketFree> pkt(av_packet_alloc());
  std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
  if (!pkt || !frame) throw bad("out of memory");
  // A container that states its length (FLAC's stream info, an MP3's frame count, ...) shows a file
  // cut short; a length estimated from the bit rate says nothing, and codec delays differ by a hair.
  const double declared = st->duration != AV_NOPTS_VALUE && st->duration > 0 &&
                                  fmt->duration_estimation_method != AVFMT_DURATION_FROM_BITRATE
                              ? static_cast<double>(st->duration) * av_q2d(st->time_base)
                              : 0.0;
  auto shortOf = [&] { return a.seconds() < declared - std::max(0.1, 0.02 * declared); };
  auto corrupt = [&](int rc) {
    if (shortOf())
      return bad("cut short or damaged at " + seconds(a.seconds()) + " of the " + seconds(declared) + " it declares (" +
                 avError(rc) + ")");
    return bad("damaged at " + seconds(a.seconds()) + " (" + avError(rc) + ")");
  };
  auto drain = [&] {
    for (;;) {
      const int rc = avcodec_receive_frame(dec.get(), frame.get());
      if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return;
      if (rc < 0) throw corrupt(rc);
      if (frame->ch_layout.nb_channels != a.channels || frame->sample_rate != a.rate)
        throw bad("the audio changes its channels or rate at " + seconds(a.seconds()));
      appendFrame(frame.get(), a.channels, a.mono, name);
      av_frame_unref(frame.get());
      if (a.mono.size() > kAudioMaxSamples)
        throw bad("more than " + std::to_string(kAudioMaxSamples) + " samples, the most that are read");
    }
  };
  for (;;) {
    const int rc = av_read_frame(fmt.get(), pkt.get());
    if (rc == AVERROR_EOF) break;
    if (rc < 0) throw corrupt(rc);
    if (pkt->stream_index == si) {
      const int sent = avcodec_send_packet(dec.get(), pkt.get());
      av_packet_unref(pkt.get());
      if (sent < 0 && sent != AVERROR(EAGAIN)) throw corrupt(sent);
      drain();
    } else {
      av_packet_unref(pkt.get());
    }
  }
  avcodec_send_packet(dec.get(), nullptr);
  drain();
  if (a.mono.empty()) throw bad("no audio samples");

  if (shortOf())
    throw bad("truncated: the file declares " + seconds(declared) + " of audio, " + seconds(a.seconds()) + " decode");
  return a;
}

Audio readAudio(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) throw std::runtime_error("cannot open " + path);
  const std::streamoff size = in.tellg();
  if (size < 0 || static_cast<uint64_t>(size) > kAudioMaxFileBytes)
    throw std::runtime_error(path + ": larger than " + std::to_string(kAudioMaxFileBytes >> 20) +
                             " MiB, more speech than is read");
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  in.seekg(0);
  if (!in.read(reinterpret_cast<char*>(bytes.data()), size)) throw std::runtime_error("cannot read " + path);
  return decodeAudio(bytes.data(), bytes.size(), path);
}

}  // namespace vesk::cli
