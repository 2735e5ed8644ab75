#include "vesk_speak.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <thread>

extern "C" {
#include <libavutil/log.h>
}

#include "core/vesk_env.h"
#include "core/vesk_file.h"
#include "tessera/vesk_tessera_bank.h"
#include "vesk/vesk.h"
#include "vesk/vesk_tessera.h"
#include "vesk_audio.h"
#include "vesk_progress.h"
#include "vesk_video_writer.h"

namespace vesk::cli {

SpeechTrack::SpeechTrack(std::vector<int16_t> speech)
    : speech_(std::move(speech)), slot_(static_cast<size_t>(kSamplesPerFrame)) {}

const int16_t* SpeechTrack::next(int kind, int index) {
  if (kind == VESK_UTT_SPEECH && index >= 0) {
    if (!placed_) {
      placed_ = true;
      offset_ = pos_ - index;
    }
    if (pos_ - offset_ != index) ++misplaced_;
  }
  std::fill(slot_.begin(), slot_.end(), int16_t{0});
  if (placed_) {
    const int64_t from = (pos_ - offset_) * kSamplesPerFrame;
    const int64_t n = static_cast<int64_t>(speech_.size());
    for (int64_t i = 0; i < kSamplesPerFrame; ++i)
      if (from + i >= 0 && from + i < n) slot_[static_cast<size_t>(i)] = speech_[static_cast<size_t>(from + i)];
  }
  ++pos_;
  return slot_.data();
}

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kTick = std::chrono::milliseconds(1000 / kFps);
// A session that has delivered nothing for this long is stuck, not slow.
constexpr auto kStall = std::chrono::seconds(60);
constexpr auto kLoadLimit = std::chrono::seconds(300);
// An utterance that has ended, gone back to idle and shown no speech by then never will.
constexpr auto kNoSpeech = std::chrono::seconds(2);

struct CtxFree {
  void operator()(vesk_ctx* c) const noexcept { vesk_destroy(c); }
};
struct UttFree {
  void operator()(vesk_utt* u) const noexcept { vesk_utt_destroy(u); }
};
struct StreamFree {
  void operator()(vesk_stream* s) const noexcept { vesk_stream_destroy(s); }
};

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// The path of a member of the bundle, or "" when the bundle does not carry it.
std::string bundleMember(const std::string& bundle, const char* member) {
  char path[4096];
  return vesk_bundle_resolve_member(bundle.c_str(), member, path, sizeof path) == 1 ? path : "";
}

// Decoders say what is wrong with a damaged file on lines of their own; the reader's exception
// already says it in one, so they are silenced while the file is read (before any thread of the
// library decodes video).
class QuietDecoders {
 public:
  QuietDecoders() : level_(av_log_get_level()) { av_log_set_level(AV_LOG_QUIET); }
  ~QuietDecoders() { av_log_set_level(level_); }
  QuietDecoders(const QuietDecoders&) = delete;
  QuietDecoders& operator=(const QuietDecoders&) = delete;

 private:
  int level_;
};

std::vector<int16_t> loadSpeech(const std::string& path) {
  Audio audio;
  {
    QuietDecoders quiet;
    audio = readAudio(path);
  }
  std::vector<int16_t> pcm = toMono16k(audio);
  if (pcm.empty()) throw std::runtime_error(path + ": no audio left at 16 kHz");
  std::fprintf(stderr, "[vesk] %s: %s, %d channel%s at %d Hz, %.2f s\n", path.c_str(), audio.format.c_str(),
               audio.channels, audio.channels == 1 ? "" : "s", audio.rate, audio.seconds());
  return pcm;
}

struct Outcome {
  int64_t frames = 0;
  std::string detail;
};

// Opens the context the session runs on, with the bundle's own speech encoder when the
// environment names none.
std::unique_ptr<vesk_ctx, CtxFree> openContext(const SpeakOptions& o) {
  if (!vesk::env::text("W2V_ONNX")) {
    const std::string enc = bundleMember(o.bundle, "w2v.onnx");
    if (!enc.empty()) ::setenv("W2V_ONNX", enc.c_str(), 1);
  }
  std::unique_ptr<vesk_ctx, CtxFree> ctx(vesk_create(o.bundle.c_str(), o.model.c_str(), o.threads, o.ep.c_str()));
  if (!ctx) throw std::runtime_error(vesk_last_error());
  return ctx;
}

struct MembersFree {
  void operator()(vesk_tessera_members* m) const noexcept { vesk_tessera_members_close(m); }
};
struct CarriageFree {
  void operator()(vesk_tessera_carriage* c) const noexcept { vesk_tessera_carriage_close(c); }
};

// Arms the session with the bundle's teeth pass when the bundle carries its members. A bundle that
// declares the members and cannot serve them is an error, not a silent run without teeth.
void armTeeth(const SpeakOptions& o, vesk_utt* utt) {
  std::unique_ptr<vesk_tessera_carriage, CarriageFree> carriage(vesk_tessera_carriage_open(o.bundle.c_str()));
  if (!carriage ||
      (!vesk_tessera_carriage_declared(carriage.get()) && !vesk_tessera_carriage_complete(carriage.get()))) {
    std::fprintf(stderr, "[vesk] the bundle carries no teeth members: speaking without the teeth pass\n");
    return;
  }
  char err[1024] = "";
  std::unique_ptr<vesk_tessera_members, MembersFree> m(vesk_tessera_members_open(o.bundle.c_str(), err, sizeof err));
  if (!m) throw std::runtime_error(std::string("teeth members: ") + err + " (--no-teeth speaks without them)");
  const int n = vesk_tessera_members_n_donors(m.get());
  const std::string track = vesk::readWholeFile(vesk_tessera_members_bank_track_path(m.get()));
  std::vector<int> in_track_order(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) in_track_order[static_cast<size_t>(i)] = i;
  const std::vector<uint8_t> decoded = vesk::tessera::decodeBankTrack(
      reinterpret_cast<const uint8_t*>(track.data()), track.size(), n, vesk_tessera_members_band_h(m.get()),
      vesk_tessera_members_band_w(m.get()), in_track_order);
  std::vector<uint8_t> bank(decoded.size());
  if (vesk_tessera_members_reorder(m.get(), decoded.data(), bank.data(), err, sizeof err) != 0)
    throw std::runtime_error(std::string("teeth bank: ") + err);
  if (vesk_utt_tessera_attach(utt, bank.data(), n, vesk_tessera_members_cent(m.get()),
                              vesk_tessera_members_c_canon(m.get()), vesk_tessera_members_aperture(m.get()),
                              vesk_tessera_members_stamp(m.get()), vesk_tessera_members_head_pt(m.get()),
                              vesk_tessera_members_head_pt_len(m.get()), vesk_tessera_members_head_json(m.get()),
                              vesk_tessera_members_manifest_json(m.get()), err, sizeof err) != 0)
    throw std::runtime_error(std::string(err) + " (--no-teeth speaks without the teeth pass)");
  char geometry[512] = "";
  (void)vesk_utt_tessera_geometry(utt, geometry, sizeof geometry);
  std::fprintf(stderr, "[vesk] teeth pass armed: %d donors, %s\n", n, geometry);
}

// The teeth pass's verdict on the run: an error when it stopped serving.
void checkTeeth(vesk_utt* utt, bool armed) {
  if (!armed) return;
  int64_t emitted = 0, skipped = 0;
  char text[512] = "";
  const int r = vesk_utt_tessera_stats(utt, &emitted, &skipped, text, sizeof text);
  double mean = 0, max = 0;
  int64_t count = 0;
  if (vesk_utt_tessera_synth_w(utt, &mean, &max, &count) == 1)
    std::fprintf(stderr, "[vesk] teeth: %lld frames with teeth, synthesis share mean %.3f max %.3f over %lld\n",
                 static_cast<long long>(emitted), mean, max, static_cast<long long>(count));
  else
    std::fprintf(stderr, "[vesk] teeth: %lld frames with teeth\n", static_cast<long long>(emitted));
  if (r < 0)
    throw std::runtime_error("the teeth pass stopped the session after " + std::to_string(emitted) +
                             " frames (skipped " + std::to_string(skipped) + "): " + text);
}

Outcome runSession(const SpeakOptions& o, vesk_ctx* ctx, const std::vector<int16_t>& pcm, VideoWriter& video,
                   SpeechTrack& track) {
  const int W = vesk_width(ctx), H = vesk_height(ctx);
  const std::string motionDir = o.motionDir.empty() ? o.bundle : o.motionDir;
  vesk_utt_opts opts{};
  opts.motion_dir = motionDir.c_str();
  std::unique_ptr<vesk_utt, UttFree> utt(vesk_utt_create(ctx, &opts));
  if (!utt) throw std::runtime_error(vesk_utt_last_error());
  vesk_utt* s = utt.get();
  if (o.teeth) armTeeth(o, s);
  const bool armed = vesk_utt_tessera_stats(s, nullptr, nullptr, nullptr, 0) != 0;

  const auto loadStart = Clock::now();
  for (;;) {
    const int r = vesk_utt_ready(s);
    if (r == 1) break;
    if (r < 0) throw std::runtime_error(std::string("the audio model did not load: ") + vesk_utt_last_error());
    if (Clock::now() - loadStart > kLoadLimit) throw std::runtime_error("the audio model did not load in 300 s");
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }

  const bool paced = o.mode == SpeakOptions::Mode::Live;
  const int idleFrames = static_cast<int>(std::lround(o.idleSeconds * kFps));
  const size_t n = pcm.size();
  const int speechFrames = static_cast<int>((n + kSamplesPerFrame - 1) / kSamplesPerFrame);
  // The ramp back to idle is 6 frames by default; the bar only guesses the length of a live run.
  Progress progress(2 * idleFrames + speechFrames + 6);

  std::vector<uint8_t> frame(static_cast<size_t>(W) * static_cast<size_t>(H) * 3);
  enum class Phase { Lead, Speech, Tail };
  Phase phase = Phase::Lead;
  int lead = 0, tail = 0;
  size_t pushed = 0;
  bool ended = false, sawSpeech = false;
  int64_t late = 0, written = 0;
  int64_t lateBeforeSpeech = -1;  // the late ticks counted when the first speech frame came
  // The tail ends with its first idle frame at the least: that frame is how the end shows.
  const int tailFrames = std::max(idleFrames, 1);
  const auto t0 = Clock::now();
  Clock::time_point speechStart{}, endAt{}, lastFrame = t0, next = t0;
  for (;;) {
    if (paced) {
      std::this_thread::sleep_until(next);
      next += kTick;
      // Ticks that passed while the last one ran over are gone, as on a display; nothing catches up.
      const auto after = Clock::now();
      if (next <= after) {
        const int64_t missed = (after - next) / kTick + 1;
        late += missed;
        next += missed * kTick;
      }
    }
    const auto now = Clock::now();
    if (phase == Phase::Lead && lead >= idleFrames) {
      phase = Phase::Speech;
      speechStart = now;
    }
    if (phase != Phase::Lead && !ended) {
      // Live: chunk j arrives at tick j of the speech, the way a microphone or a TTS stream hands it over.
      const size_t due =
          paced ? std::min(n, static_cast<size_t>((now - speechStart) / kTick + 1) * kSamplesPerFrame) : n;
      while (pushed < due) {
        const size_t c = std::min(static_cast<size_t>(kSamplesPerFrame), due - pushed);
        if (vesk_utt_push_audio(s, pcm.data() + pushed, static_cast<int>(c)) != 1)
          throw std::runtime_error(vesk_utt_last_error());
        pushed += c;
      }
      if (pushed == n) {
        vesk_utt_end_utterance(s);
        ended = true;
        endAt = now;
      }
    }

    if (phase == Phase::Speech && ended && !sawSpeech && now - endAt > kNoSpeech) {
      vesk_utt_stats st{};
      vesk_utt_get_stats(s, &st);
      if (st.state == 0 && st.utterances == 0) {
        std::fprintf(stderr, "[vesk] the session made no speech frames from this audio\n");
        phase = Phase::Tail;
      }
    }

    vesk_utt_frame_info info{};
    if (vesk_utt_pull_frame(s, frame.data(), frame.size(), &info) != 1) {
      if (*vesk_utt_last_error() != '\0') throw std::runtime_error(vesk_utt_last_error());
      // A failed teeth pass delivers nothing more: say why now rather than after the stall limit.
      if (armed && vesk_utt_tessera_stats(s, nullptr, nullptr, nullptr, 0) < 0) checkTeeth(s, armed);
      if (now - lastFrame > kStall) throw std::runtime_error("the session delivered no frame for 60 s");
      // A live host shows the previous frame again for a tick with nothing new.
      if (paced)
        ++late;
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    lastFrame = now;
    if (info.kind == VESK_UTT_SPEECH) sawSpeech = true;
    if (sawSpeech && lateBeforeSpeech < 0) lateBeforeSpeech = late;
    if (phase == Phase::Lead) {
      ++lead;
    } else if (ended && info.kind == VESK_UTT_IDLE && (sawSpeech || phase == Phase::Tail)) {
      // The speech and its ramp are out; this idle frame belongs to the tail.
      phase = Phase::Tail;
      ++tail;
    }
    video.addFrame(frame.data());
    const int16_t* a = track.next(info.kind, info.index);
    video.addAudio(a, kSamplesPerFrame);
    ++written;
    progress.update(static_cast<int>(written));
    if (phase == Phase::Tail && tail >= tailFrames) break;
  }
  progress.done();
  checkTeeth(s, armed);

  vesk_utt_stats st{};
  vesk_utt_get_stats(s, &st);
  int64_t failures = 0;
  char last[512] = {0};
  if (vesk_utt_render_status(s, last, sizeof last, &failures) < 0 || failures > 0)
    std::fprintf(stderr, "[vesk] render failures: %lld, the last: %s\n", static_cast<long long>(failures), last);
  char buf[512];
  std::snprintf(buf, sizeof buf,
                "frames %lld, speech %lld, utterances %lld, first_frame_ms %.1f, render_ms %.1f, render failures %lld",
                static_cast<long long>(st.frames), static_cast<long long>(st.speech_frames),
                static_cast<long long>(st.utterances), st.first_frame_ms, st.render_ms,
                static_cast<long long>(failures));
  Outcome out;
  out.frames = written;
  out.detail = buf;
  if (paced) {
    // The ticks before the first speech frame include the audio model's look-ahead; the ones after
    // it are the frames a viewer sees stall.
    out.detail += ", late ticks " + std::to_string(late);
    if (lateBeforeSpeech >= 0)
      out.detail += " (" + std::to_string(late - lateBeforeSpeech) + " after the first speech frame)";
  }
  return out;
}

struct StreamSink {
  VideoWriter* video;
  SpeechTrack* track;
  Progress* progress;
  int64_t written = 0;
  std::string error;
};

void onStreamFrame(void* user, int index, const uint8_t* frame, int, int) {
  auto* sink = static_cast<StreamSink*>(user);
  if (!sink->error.empty()) return;
  try {
    sink->video->addFrame(frame);
    sink->video->addAudio(sink->track->next(VESK_UTT_SPEECH, index), kSamplesPerFrame);
    sink->progress->update(static_cast<int>(++sink->written));
  } catch (const std::exception& e) {
    // The callback returns into C; the failure is reported after the run.
    sink->error = e.what();
  }
}

std::unique_ptr<vesk_stream, StreamFree> openStream(const SpeakOptions& o) {
  // A bundle that ships the encoder its fca model was made against knows best; otherwise the
  // shared speech encoder serves.
  std::string encoder = o.encoder;
  if (encoder.empty()) encoder = bundleMember(o.bundle, "audio_encoder_8s.onnx");
  if (encoder.empty()) encoder = vesk::env::text("W2V_ONNX").value_or("");
  if (encoder.empty()) encoder = bundleMember(o.bundle, "w2v.onnx");
  if (encoder.empty())
    throw std::runtime_error(
        "--stream needs the 8 s speech encoder: pass --encoder PATH, set W2V_ONNX, or put audio_encoder_8s.onnx "
        "or w2v.onnx in the bundle");
  std::fprintf(stderr, "[vesk] whole-run stream: encoder %s\n", encoder.c_str());
  // No frames skipped, the audio's keypoint offsets at full scale.
  std::unique_ptr<vesk_stream, StreamFree> st(
      vesk_stream_create(o.bundle.c_str(), encoder.c_str(), o.threads, 0, 1.0f));
  if (!st) throw std::runtime_error(vesk_stream_last_error());
  return st;
}

Outcome runStream(vesk_stream* st, const std::vector<int16_t>& pcm, VideoWriter& video, SpeechTrack& track) {
  std::vector<float> audio(pcm.size());
  for (size_t i = 0; i < pcm.size(); ++i) audio[i] = static_cast<float>(pcm[i]) * (1.0f / 32768.0f);
  Progress progress(static_cast<int>((pcm.size() + kSamplesPerFrame - 1) / kSamplesPerFrame));
  StreamSink sink{&video, &track, &progress, 0, {}};
  const int r = vesk_stream_run(st, audio.data(), static_cast<int>(audio.size()), onStreamFrame, &sink);
  progress.done();
  if (r < 0) throw std::runtime_error(vesk_stream_last_error());
  if (!sink.error.empty()) throw std::runtime_error(sink.error);
  Outcome out;
  out.frames = sink.written;
  out.detail = "frames " + std::to_string(r) + " (whole run)";
  return out;
}

}  // namespace

void speak(const SpeakOptions& o) {
  const auto t0 = Clock::now();
  std::vector<int16_t> pcm = loadSpeech(o.audio);
  const double speechSeconds = static_cast<double>(pcm.size()) / kSampleRate;
  SpeechTrack track(pcm);
  Outcome r;
  int W = 0, H = 0;
  if (o.mode == SpeakOptions::Mode::Stream) {
    auto st = openStream(o);
    W = vesk_stream_width(st.get());
    H = vesk_stream_height(st.get());
    VideoWriter video(o.out, W, H, kFps, kSampleRate);
    r = runStream(st.get(), pcm, video, track);
    video.finish();
  } else {
    auto ctx = openContext(o);
    W = vesk_width(ctx.get());
    H = vesk_height(ctx.get());
    VideoWriter video(o.out, W, H, kFps, kSampleRate);
    r = runSession(o, ctx.get(), pcm, video, track);
    video.finish();
  }
  if (!track.placed()) std::fprintf(stderr, "[vesk] no speech frame came: the audio track is silent\n");
  if (track.misplaced() > 0)
    std::fprintf(stderr, "[vesk] %lld speech frames came out of order; the audio follows the first\n",
                 static_cast<long long>(track.misplaced()));
  std::fprintf(stderr, "[vesk] wrote %s: %lld frames %dx%d, %.2f s of speech from frame %lld; %s; in %.2f s\n",
               o.out.c_str(), static_cast<long long>(r.frames), W, H, speechSeconds,
               static_cast<long long>(track.offset()), r.detail.c_str(), secondsSince(t0));
}

}  // namespace vesk::cli
