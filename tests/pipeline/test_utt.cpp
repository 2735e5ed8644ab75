// The utterance session as a host sees it through the C calls: frame kinds and
// their order, ramps, interrupts, end detection, loading, refusals and the
// stage report.
#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <future>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "generated_bundles.h"
#include "pipeline/vesk_utt.h"
#include "test_util.h"
#include "utt_host.h"
#include "vesk/vesk.h"
#include "vesk/vesk_a2x.h"

// Allocations of at least a frame of audio made by the thread that counts them: what a push costs.
namespace {
thread_local bool tCounting = false;
thread_local long tBigAllocations = 0;
}  // namespace

// The replacement pairs malloc with free; GCC cannot see that the two operators replace each other.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t n) {
  if (tCounting && n >= 640 * sizeof(float)) ++tBigAllocations;
  if (void* p = std::malloc(n != 0 ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace vesk::test {
namespace {

std::string motionDir(const char* name = "nt8") { return std::string(VESK_MOTION_MODELS_DIR) + "/" + name; }

vesk_utt_opts motionOpts(double end_silence_s = -1) {
  vesk_utt_opts o{};
  o.motion_dir = nullptr;
  o.end_silence_s = end_silence_s;
  return o;
}

// The frame a host would get from the single-frame calls for driver frame si
// rendered from target keypoints `row`: what a ramp frame with no offset left
// must look like.
std::vector<uint8_t> referenceFrame(int si, const float* row) {
  vesk_ctx* ctx = vesk_create(bundleDir("small").c_str(), "b1", 2, "");
  EXPECT_NE(ctx, nullptr) << vesk_last_error();
  std::vector<uint8_t> out(static_cast<size_t>(vesk_width(ctx)) * vesk_height(ctx) * 3);
  const float* crop = vesk_render_kp_crop(ctx, si, row, row);
  EXPECT_NE(crop, nullptr) << vesk_last_error();
  EXPECT_EQ(vesk_paste_crop(ctx, si, crop, out.data(), out.size()), 1) << vesk_last_error();
  vesk_destroy(ctx);
  return out;
}

double meanAbsDiff(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  double s = 0;
  for (size_t i = 0; i < a.size(); ++i) s += std::abs(int(a[i]) - int(b[i]));
  return s / static_cast<double>(a.size());
}

int maxAbsDiff(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  int m = 0;
  for (size_t i = 0; i < a.size(); ++i) m = std::max(m, std::abs(int(a[i]) - int(b[i])));
  return m;
}

TEST(UttSession, SpeechThenRampThenConsecutiveIdle) {
  const std::string dir = motionDir();
  vesk_utt_opts o = motionOpts();
  o.motion_dir = dir.c_str();
  UttHost h(bundleDir("small"), o);
  ASSERT_EQ(h.waitReady(), 1) << vesk_utt_last_error();
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(h.pullUntil([](const Pulled&) { return true; }));
  h.push(speechPcm(6000));  // ceil(6000 / 640) = 10 frames
  vesk_utt_end_utterance(h.utt);
  int idle_after = 0;
  ASSERT_TRUE(h.pullUntil([&](const Pulled& p) {
    if (p.info.kind == VESK_UTT_RAMP) idle_after = 0;
    if (p.info.kind == VESK_UTT_IDLE && h.frames.size() > 16) ++idle_after;
    return idle_after == 3;
  }));

  // idle* speech(0..9) ramp x6 idle x3, numbered without gaps.
  size_t i = 0;
  while (h.frames[i].info.kind == VESK_UTT_IDLE) ++i;
  ASSERT_GE(i, 3u);
  for (size_t k = 1; k < i; ++k) EXPECT_EQ(h.frames[k].info.si, (h.frames[k - 1].info.si + 1) % h.nt);
  for (int n = 0; n < 10; ++n, ++i) {
    ASSERT_EQ(h.frames[i].info.kind, VESK_UTT_SPEECH) << "frame " << i;
    EXPECT_EQ(h.frames[i].info.index, n);
  }
  const size_t ramp0 = i;
  for (int n = 0; n < 6; ++n, ++i) {
    ASSERT_EQ(h.frames[i].info.kind, VESK_UTT_RAMP) << "frame " << i;
    EXPECT_EQ(h.frames[i].info.index, -1);
    EXPECT_EQ(h.frames[i].info.si, (h.frames[i - 1].info.si + 1) % h.nt);
  }
  for (; i < h.frames.size(); ++i) {
    EXPECT_EQ(h.frames[i].info.kind, VESK_UTT_IDLE);
    EXPECT_EQ(h.frames[i].info.si, (h.frames[i - 1].info.si + 1) % h.nt);
  }
  for (size_t k = 1; k < h.frames.size(); ++k) EXPECT_EQ(h.frames[k].info.seq, h.frames[k - 1].info.seq + 1);

  // The ramp keeps 5/6 of the last offset at first and none at the end: its
  // last frame is the target keypoints' own frame.
  const auto target = readArray<float>(dir + "/xs_target.bin");
  const Pulled& first = h.frames[ramp0];
  const Pulled& last = h.frames[ramp0 + 5];
  const auto ref_first = referenceFrame(first.info.si, target.data() + first.info.si * 63);
  const auto ref_last = referenceFrame(last.info.si, target.data() + last.info.si * 63);
  EXPECT_LE(maxAbsDiff(last.bytes, ref_last), 1);
  EXPECT_GT(meanAbsDiff(first.bytes, ref_first), meanAbsDiff(last.bytes, ref_last));

  vesk_utt_stats st{};
  vesk_utt_get_stats(h.utt, &st);
  EXPECT_EQ(st.frames, static_cast<int64_t>(h.frames.size()));
  EXPECT_EQ(st.speech_frames, 10);
  EXPECT_EQ(st.utterances, 1);
  EXPECT_GT(st.first_frame_ms, 0.0);
  EXPECT_GT(st.render_ms, 0.0);
  EXPECT_EQ(st.state, 0);
  int64_t failures = -1;
  char text[64] = "x";
  EXPECT_EQ(vesk_utt_render_status(h.utt, text, sizeof text, &failures), 0);
  EXPECT_EQ(failures, 0);
  EXPECT_STREQ(text, "");
}

TEST(UttSession, InterruptDropsWhatWasNotDeliveredAndRampsBack) {
  const std::string dir = motionDir();
  vesk_utt_opts o = motionOpts();
  o.motion_dir = dir.c_str();
  UttHost h(bundleDir("small"), o);
  ASSERT_EQ(h.waitReady(), 1) << vesk_utt_last_error();
  h.push(speechPcm(160000));  // enough for the model to serve frames before the end
  ASSERT_TRUE(h.pullUntil([](const Pulled& p) { return p.info.kind == VESK_UTT_SPEECH && p.info.index >= 3; }));
  // Let frames pile up so the interrupt has something to drop.
  for (int k = 0; k < 400 && vesk_utt_frames_available(h.utt) < 4; ++k)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const Pulled speech = h.frames.back();
  const int queued = vesk_utt_frames_available(h.utt);
  vesk_utt_interrupt(h.utt);
  EXPECT_EQ(vesk_utt_frames_available(h.utt), 0);
  h.frames.clear();
  ASSERT_TRUE(h.pullUntil([&](const Pulled&) { return h.frames.size() == 7; }));
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(h.frames[k].info.kind, VESK_UTT_RAMP) << k;
    EXPECT_EQ(h.frames[k].info.si, (k == 0 ? speech.info.si + 1 : h.frames[k - 1].info.si + 1) % h.nt);
  }
  for (int k = 4; k < 7; ++k) {
    EXPECT_EQ(h.frames[k].info.kind, VESK_UTT_IDLE) << k;
    EXPECT_EQ(h.frames[k].info.si, (h.frames[k - 1].info.si + 1) % h.nt);
  }
  // The dropped frames' numbers are skipped, never reused.
  EXPECT_GE(h.frames[0].info.seq, speech.info.seq + 1 + queued);
  for (int k = 1; k < 7; ++k) EXPECT_EQ(h.frames[k].info.seq, h.frames[k - 1].info.seq + 1);
}

TEST(UttSession, AudioBeforeTheModelIsReadyGivesIdleFramesOnly) {
  const std::string dir = motionDir();
  std::promise<void> open;
  std::shared_future<void> gate = open.get_future().share();
  vesk::utt::beforeWarmForTesting = [gate] { gate.wait(); };
  vesk_utt_opts o = motionOpts();
  o.motion_dir = dir.c_str();
  UttHost h(bundleDir("small"), o);
  vesk::utt::beforeWarmForTesting = nullptr;
  EXPECT_EQ(vesk_utt_ready(h.utt), 0);
  h.push(speechPcm(16000));
  vesk_utt_end_utterance(h.utt);
  ASSERT_TRUE(h.pullUntil([&](const Pulled&) { return h.frames.size() == 12; }));
  open.set_value();
  ASSERT_EQ(h.waitReady(), 1);
  ASSERT_TRUE(h.pullUntil([&](const Pulled&) { return h.frames.size() == 24; }));
  for (const Pulled& p : h.frames) EXPECT_EQ(p.info.kind, VESK_UTT_IDLE);

  // The same audio after loading is speech.
  h.push(speechPcm(16000));
  vesk_utt_end_utterance(h.utt);
  ASSERT_TRUE(h.pullUntil([](const Pulled& p) { return p.info.kind == VESK_UTT_SPEECH; }, 200));
}

TEST(UttSession, AnUtteranceEndsBySilenceOnlyWhenAsked) {
  const std::string dir = motionDir();
  {
    vesk_utt_opts o = motionOpts(0.0);  // the default: 0.6 s
    o.motion_dir = dir.c_str();
    UttHost h(bundleDir("small"), o);
    ASSERT_EQ(h.waitReady(), 1);
    const auto t0 = std::chrono::steady_clock::now();
    h.push(speechPcm(6400));
    ASSERT_TRUE(h.pullUntil([](const Pulled& p) { return p.info.kind == VESK_UTT_RAMP; }));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(600));
    int speech = 0;
    for (const Pulled& p : h.frames) speech += p.info.kind == VESK_UTT_SPEECH;
    EXPECT_EQ(speech, 10);
  }
  {
    vesk_utt_opts o = motionOpts(-1.0);
    o.motion_dir = dir.c_str();
    UttHost h(bundleDir("small"), o);
    ASSERT_EQ(h.waitReady(), 1);
    h.push(speechPcm(6400));
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    // Too little audio for the model to serve frames live, and no end: the
    // session waits.
    Pulled p;
    while (vesk_utt_frames_available(h.utt) > 0) {
      ASSERT_TRUE(h.pull(&p));
      EXPECT_EQ(p.info.kind, VESK_UTT_IDLE);
    }
    vesk_utt_stats st{};
    vesk_utt_get_stats(h.utt, &st);
    EXPECT_EQ(st.state, 1);
    vesk_utt_end_utterance(h.utt);
    ASSERT_TRUE(h.pullUntil([](const Pulled& f) { return f.info.kind == VESK_UTT_RAMP; }));
    int speech = 0;
    for (const Pulled& f : h.frames) speech += f.info.kind == VESK_UTT_SPEECH;
    EXPECT_EQ(speech, 10);
  }
}

TEST(UttSession, OnsetIndexStartsEveryUtterance) {
  const std::string dir = motionDir();
  ScopedEnv onset("VESK_UTT_ONSET_SI", "13");  // NT 8 + 5
  vesk_utt_opts o = motionOpts();
  o.motion_dir = dir.c_str();
  o.ramp_frames = 1;
  UttHost h(bundleDir("small"), o);
  ASSERT_EQ(h.waitReady(), 1);
  for (int u = 0; u < 2; ++u) {
    h.push(speechPcm(3000));
    vesk_utt_end_utterance(h.utt);
    h.frames.clear();
    ASSERT_TRUE(h.pullUntil([](const Pulled& p) { return p.info.kind == VESK_UTT_SPEECH; }));
    EXPECT_EQ(h.frames.back().info.si, 5) << "utterance " << u;
    ASSERT_TRUE(h.pullUntil([](const Pulled& p) { return p.info.kind == VESK_UTT_RAMP; }));
  }
}

TEST(UttSession, APullIntoAShortBufferKeepsTheFrame) {
  const std::string dir = motionDir();
  vesk_utt_opts o = motionOpts();
  o.motion_dir = dir.c_str();
  UttHost h(bundleDir("small"), o);
  for (int k = 0; k < 2000 && vesk_utt_frames_available(h.utt) < 1; ++k)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_GE(vesk_utt_frames_available(h.utt), 1);
  std::vector<uint8_t> buf(h.bytes);
  vesk_utt_frame_info info{};
  EXPECT_EQ(vesk_utt_pull_frame(h.utt, buf.data(), h.bytes - 1, &info), 0);
  EXPECT_STREQ(vesk_utt_last_error(), "vesk_utt_pull_frame: buffer too small");
  EXPECT_GE(vesk_utt_frames_available(h.utt), 1);
  EXPECT_EQ(vesk_utt_pull_frame(h.utt, buf.data(), h.bytes, &info), 1);
  EXPECT_EQ(info.seq, 0);
  EXPECT_STREQ(vesk_utt_last_error(), "");
}

TEST(UttSession, AModelThatFailsToLoadLeavesAnIdleSession) {
  TempDir empty;
  vesk_motion* direct = vesk_motion_create(empty.path().c_str(), 1, nullptr);
  ASSERT_EQ(direct, nullptr);
  const std::string expected = vesk_motion_last_error();
  vesk_utt_opts o = motionOpts();
  o.motion_dir = empty.path().c_str();
  UttHost h(bundleDir("small"), o);
  EXPECT_EQ(h.waitReady(), -1);
  EXPECT_EQ(vesk_utt_last_error(), expected);
  h.push(speechPcm(8000));
  vesk_utt_end_utterance(h.utt);
  ASSERT_TRUE(h.pullUntil([&](const Pulled&) { return h.frames.size() == 20; }));
  for (const Pulled& p : h.frames) EXPECT_EQ(p.info.kind, VESK_UTT_IDLE);

  // A model made for another identity's driver video is refused the same way.
  const std::string other = motionDir("nt1");
  o.motion_dir = other.c_str();
  UttHost h1(bundleDir("small"), o);
  EXPECT_EQ(h1.waitReady(), -1);
  EXPECT_NE(std::string(vesk_utt_last_error()).find("has 1 target frames and the bundle 8 (NT)"), std::string::npos)
      << vesk_utt_last_error();
}

TEST(UttSession, RefusalsAndNullHandles) {
  EXPECT_EQ(vesk_utt_create(nullptr, nullptr), nullptr);
  EXPECT_STREQ(vesk_utt_last_error(), "vesk_utt_create: NULL ctx/opts");
  vesk_ctx* ctx = vesk_create(bundleDir("small").c_str(), "b1", 2, "");
  ASSERT_NE(ctx, nullptr);
  vesk_utt_opts o{};
  EXPECT_EQ(vesk_utt_create(ctx, &o), nullptr);
  EXPECT_STREQ(vesk_utt_last_error(), "vesk_utt_create: opts.motion_dir required");
  EXPECT_EQ(vesk_utt_open(ctx, ""), nullptr);
  EXPECT_STREQ(vesk_utt_last_error(), "vesk_utt_create: opts.motion_dir required");
  vesk_destroy(ctx);

  int16_t pcm[4] = {};
  EXPECT_EQ(vesk_utt_push_audio(nullptr, pcm, 4), 0);
  EXPECT_STREQ(vesk_utt_last_error(), "vesk_utt_push_audio: bad args");
  uint8_t b[4];
  EXPECT_EQ(vesk_utt_pull_frame(nullptr, b, 4, nullptr), 0);
  EXPECT_STREQ(vesk_utt_last_error(), "vesk_utt_pull_frame: bad args");
  EXPECT_EQ(vesk_utt_ready(nullptr), -1);
  EXPECT_EQ(vesk_utt_frames_available(nullptr), 0);
  EXPECT_EQ(vesk_utt_render_status(nullptr, nullptr, 0, nullptr), 0);
  vesk_utt_end_utterance(nullptr);
  vesk_utt_interrupt(nullptr);
  vesk_utt_get_stats(nullptr, nullptr);
  vesk_utt_destroy(nullptr);

  const std::string dir = motionDir();
  vesk_utt_opts m = motionOpts();
  m.motion_dir = dir.c_str();
  UttHost h(bundleDir("small"), m);
  EXPECT_EQ(vesk_utt_push_audio(h.utt, nullptr, 4), 0);
  EXPECT_EQ(vesk_utt_push_audio(h.utt, pcm, -1), 0);
  EXPECT_STREQ(vesk_utt_last_error(), "vesk_utt_push_audio: bad args");
  EXPECT_EQ(vesk_utt_push_audio(h.utt, pcm, 0), 1);
  EXPECT_EQ(vesk_utt_pull_frame(h.utt, nullptr, h.bytes, nullptr), 0);
  EXPECT_STREQ(vesk_utt_last_error(), "vesk_utt_pull_frame: bad args");
}

TEST(UttSession, StageReportSaysWhenThePasteWasNotCounted) {
  const std::string dir = motionDir();
  ScopedEnv report("VESK_UTT_STAGE_REPORT", "1");
  {
    vesk_utt_opts o = motionOpts();
    o.motion_dir = dir.c_str();
    auto h = std::make_unique<UttHost>(bundleDir("small"), o);
    ASSERT_EQ(h->waitReady(), 1);
    testing::internal::CaptureStderr();
    h.reset();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("[vesk_utt-stage] MEASURED NOTHING \xE2\x80\x94 the "
                       "stage report was asked for and the "
                       "paste-job counter never advanced (pipe=0 jobsB=0 "
                       "jobsC=0, 0 speech frames delivered)."),
              std::string::npos)
        << err;
  }
  {
    ScopedEnv pipe("VESK_UTT_PIPELINE_PASTE", "1");
    vesk_utt_opts o = motionOpts();
    o.motion_dir = dir.c_str();
    auto h = std::make_unique<UttHost>(bundleDir("small"), o);
    ASSERT_EQ(h->waitReady(), 1);
    h->push(speechPcm(3200));
    vesk_utt_end_utterance(h->utt);
    ASSERT_TRUE(h->pullUntil([](const Pulled& p) { return p.info.kind == VESK_UTT_RAMP; }));
    int speech = 0;
    for (const Pulled& p : h->frames) speech += p.info.kind == VESK_UTT_SPEECH;
    EXPECT_EQ(speech, 5);
    testing::internal::CaptureStderr();
    h.reset();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("[vesk_utt-stage] pipe=0 jobsB=0 jobsC="), std::string::npos) << err;
    EXPECT_NE(err.find(" over 5 speech frames\n"), std::string::npos) << err;
  }
}

// Audio of the next utterance that arrives while the current one is finishing waits for it: the
// model has been told the current audio is complete, so appending would lose the new words.
TEST(UttSession, TheNextUtteranceWaitsForTheOneFinishing) {
  const std::string dir = motionDir();
  vesk_utt_opts o = motionOpts();
  o.motion_dir = dir.c_str();
  UttHost h(bundleDir("small"), o);
  ASSERT_EQ(h.waitReady(), 1);
  h.push(speechPcm(6400, 1));  // 10 frames
  vesk_utt_end_utterance(h.utt);
  ASSERT_TRUE(h.pullUntil([](const Pulled& p) { return p.info.kind == VESK_UTT_SPEECH; }));
  h.push(speechPcm(4480, 2));  // 7 frames
  vesk_utt_end_utterance(h.utt);
  int second = 0;
  ASSERT_TRUE(h.pullUntil([&](const Pulled& p) {
    if (p.info.kind == VESK_UTT_SPEECH && (p.info.index == 0 || second > 0)) ++second;
    return second > 0 && p.info.kind == VESK_UTT_RAMP;
  }));
  std::vector<int> kinds, indices;
  for (const Pulled& p : h.frames) {
    if (p.info.kind == VESK_UTT_IDLE) continue;
    kinds.push_back(p.info.kind);
    indices.push_back(p.info.index);
  }
  // speech 0..9, six ramp frames, speech 0..6, then the second ramp begins.
  ASSERT_EQ(kinds.size(), 10u + 6u + 7u + 1u);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(indices[static_cast<size_t>(i)], i);
  for (int i = 10; i < 16; ++i) EXPECT_EQ(kinds[static_cast<size_t>(i)], VESK_UTT_RAMP);
  for (int i = 0; i < 7; ++i) EXPECT_EQ(indices[static_cast<size_t>(16 + i)], i);
}

// The identity's own streaming a2x model: the session pastes on its own thread by default.
TEST(UttSession, TheBundlesOwnA2xModelSpeaksThroughThePipelinedPaste) {
  const std::string bundle = bundleDir("small");
  ScopedEnv w2v("W2V_ONNX", (bundle + "/w2v.onnx").c_str());
  ScopedEnv report("VESK_UTT_STAGE_REPORT", "1");
  vesk_utt_opts o = motionOpts();
  o.motion_dir = bundle.c_str();
  auto h = std::make_unique<UttHost>(bundle, o);
  ASSERT_EQ(h->waitReady(), 1) << vesk_utt_last_error();
  h->push(speechPcm(12800));  // 20 frames
  vesk_utt_end_utterance(h->utt);
  ASSERT_TRUE(h->pullUntil([&](const Pulled& p) { return p.info.kind == VESK_UTT_IDLE && h->frames.size() > 26; }));
  std::vector<int> indices;
  int ramps = 0;
  for (const Pulled& p : h->frames) {
    if (p.info.kind == VESK_UTT_SPEECH) indices.push_back(p.info.index);
    ramps += p.info.kind == VESK_UTT_RAMP;
  }
  ASSERT_EQ(indices.size(), 20u);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(indices[static_cast<size_t>(i)], i);
  EXPECT_EQ(ramps, 6);
  testing::internal::CaptureStderr();
  h.reset();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("[vesk_utt-stage] pipe=0 jobsB=0 jobsC="), std::string::npos) << err;
  EXPECT_NE(err.find(" over 20 speech frames\n"), std::string::npos) << err;
}

// A director that fails for loud frames: every failure is counted with its stage, the session
// says it is degraded, and frames keep coming, the utterance keeping its length.
TEST(UttSession, ADirectorFailingAtRunTimeDegradesButNeverStopsDelivery) {
  const std::string bundle = bundleDir("faulty");
  ScopedEnv w2v("W2V_ONNX", (bundle + "/w2v.onnx").c_str());
  vesk_utt_opts o = motionOpts();
  o.motion_dir = bundle.c_str();
  UttHost h(bundle, o);
  ASSERT_EQ(h.waitReady(), 1) << vesk_utt_last_error();
  int64_t failures = -1;
  EXPECT_EQ(vesk_utt_render_status(h.utt, nullptr, 0, &failures), 0);  // warm-up rendered
  EXPECT_EQ(failures, 0);
  for (int u = 0; u < 2; ++u) {
    h.frames.clear();
    h.push(speechPcm(16000, u));  // 25 frames
    vesk_utt_end_utterance(h.utt);
    ASSERT_TRUE(h.pullUntil([&](const Pulled& p) { return p.info.kind == VESK_UTT_IDLE && h.frames.size() > 30; }));
    std::vector<int> indices;
    for (const Pulled& p : h.frames)
      if (p.info.kind == VESK_UTT_SPEECH) indices.push_back(p.info.index);
    ASSERT_EQ(indices.size(), 25u) << "utterance " << u;
    for (int i = 0; i < 25; ++i) EXPECT_EQ(indices[static_cast<size_t>(i)], i);
  }
  char text[512];
  EXPECT_EQ(vesk_utt_render_status(h.utt, text, sizeof text, &failures), -1);
  EXPECT_GT(failures, 0);
  const std::string t = text;
  EXPECT_EQ(t.rfind("ep=", 0), 0u) << t;
  EXPECT_TRUE(t.find(" render: ") != std::string::npos || t.find(" ramp: ") != std::string::npos) << t;
  char tiny[8];
  EXPECT_EQ(vesk_utt_render_status(h.utt, tiny, sizeof tiny, nullptr), -1);
  EXPECT_EQ(std::string(tiny), t.substr(0, 7));
}

double processCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

double msSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

// Waits until the output ring holds `frames` frames; false after `seconds`.
bool waitAvailable(vesk_utt* utt, int frames, double seconds = 30) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (vesk_utt_frames_available(utt) < frames) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// The speech indices pulled since frame `from`, in order, with -2 marking each ramp frame.
std::vector<int> speechAndRamps(const std::vector<Pulled>& frames, size_t from = 0) {
  std::vector<int> out;
  for (size_t i = from; i < frames.size(); ++i) {
    if (frames[i].info.kind == VESK_UTT_SPEECH) out.push_back(frames[i].info.index);
    if (frames[i].info.kind == VESK_UTT_RAMP && (out.empty() || out.back() != -2)) out.push_back(-2);
  }
  return out;
}

// The host speaks on while the utterance before finishes and nobody pulls: the output ring is
// full, the new audio and its end call are held, and nothing can advance. The session must sit
// still rather than burn a core, and the held audio must come out whole afterwards. Frames are
// rendered one at a time, so the run thread comes back to its decision with the ring full.
TEST(UttFinishing, HeldAudioLeavesTheRunThreadWaiting) {
  const std::string dir = motionDir();
  vesk_utt_opts o = motionOpts();
  o.motion_dir = dir.c_str();
  o.steady_model = "-";
  UttHost h(bundleDir("small"), o);
  ASSERT_EQ(h.waitReady(), 1);
  h.push(speechPcm(32000));  // 50 frames
  vesk_utt_end_utterance(h.utt);
  ASSERT_TRUE(waitAvailable(h.utt, 8));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  const double cpu0 = processCpuSeconds();
  const auto t0 = std::chrono::steady_clock::now();
  auto tick = t0;
  for (int k = 0; k < 50; ++k) {
    tick += std::chrono::milliseconds(40);
    std::this_thread::sleep_until(tick);
    h.push(speechPcm(640, k));
    if (k == 25) vesk_utt_end_utterance(h.utt);  // an end call for the new audio is held as well
  }
  const double cpu = processCpuSeconds() - cpu0;
  const double wall = msSince(t0) / 1000.0;
  vesk_utt_stats st{};
  vesk_utt_get_stats(h.utt, &st);
  EXPECT_EQ(st.state, 2);  // still finishing: the measurement saw the held case
  EXPECT_LT(cpu / wall, 0.35) << cpu << " CPU seconds in " << wall << " s";

  // 50 frames, its ramp, then the held audio's first 26 frames as the next utterance.
  ASSERT_TRUE(h.pullUntil([&](const Pulled&) {
    const auto seq = speechAndRamps(h.frames);
    return seq.size() > 52 && seq.back() == -2;
  }));
  const auto seq = speechAndRamps(h.frames);
  ASSERT_EQ(seq.size(), 50u + 1u + 26u + 1u);
  for (int i = 0; i < 26; ++i) EXPECT_EQ(seq[51u + static_cast<size_t>(i)], i);
}

// Pending audio grows geometrically: a push does not reallocate (and copy) everything held so far.
TEST(UttFinishing, HeldAudioGrowsWithoutACopyPerPush) {
  const std::string dir = motionDir();
  vesk_utt_opts o = motionOpts();
  o.motion_dir = dir.c_str();
  UttHost h(bundleDir("small"), o);
  ASSERT_EQ(h.waitReady(), 1);
  h.push(speechPcm(6400));
  vesk_utt_end_utterance(h.utt);
  ASSERT_TRUE(h.pullUntil([](const Pulled& p) { return p.info.kind == VESK_UTT_SPEECH; }));
  // The utterance now finishes with frames left for the full ring: new audio is held.
  const auto chunk = speechPcm(640);
  tBigAllocations = 0;
  tCounting = true;
  for (int k = 0; k < 400; ++k) vesk_utt_push_audio(h.utt, chunk.data(), 640);
  tCounting = false;
  EXPECT_LE(tBigAllocations, 16) << "reallocations of the pending audio over 400 pushes";
}

// An end call that comes after the utterance's end was already seen belongs to no utterance: it
// must not end the next one after its first fragment.
TEST(UttSession, ALateEndCallIsDropped) {
  const std::string dir = motionDir();
  vesk_utt_opts o = motionOpts();
  o.motion_dir = dir.c_str();
  UttHost h(bundleDir("small"), o);
  ASSERT_EQ(h.waitReady(), 1);
  h.push(speechPcm(6400, 1));  // 10 frames
  vesk_utt_end_utterance(h.utt);
  // Too little audio for live frames: the first speech frame means the end was seen, and with at
  // most 9 of its 10 frames made the utterance is still finishing.
  ASSERT_TRUE(h.pullUntil([](const Pulled& p) { return p.info.kind == VESK_UTT_SPEECH; }));
  vesk_utt_end_utterance(h.utt);  // late
  h.push(speechPcm(3200, 2));     // the next utterance's first fragment, held
  int ramp = 0;
  ASSERT_TRUE(h.pullUntil([&](const Pulled& p) { return (ramp += p.info.kind == VESK_UTT_RAMP) == 6; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  h.push(speechPcm(3200, 3));  // the second fragment
  vesk_utt_end_utterance(h.utt);
  const size_t from = h.frames.size();
  ASSERT_TRUE(h.pullUntil([&](const Pulled& p) { return p.info.kind == VESK_UTT_RAMP; }));
  const auto seq = speechAndRamps(h.frames, from);
  ASSERT_EQ(seq.size(), 11u) << "the next utterance was cut after its first fragment";
  for (int i = 0; i < 10; ++i) EXPECT_EQ(seq[static_cast<size_t>(i)], i);
}

// first_frame_ms of an utterance whose audio came while the one before was finishing counts from
// its own first push.
TEST(UttSession, FirstFrameTimeCountsFromTheUtterancesOwnAudio) {
  const std::string dir = motionDir();
  vesk_utt_opts o = motionOpts();
  o.motion_dir = dir.c_str();
  UttHost h(bundleDir("small"), o);
  ASSERT_EQ(h.waitReady(), 1);
  h.push(speechPcm(6400, 1));
  vesk_utt_end_utterance(h.utt);
  ASSERT_TRUE(h.pullUntil([](const Pulled& p) { return p.info.kind == VESK_UTT_SPEECH; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));  // nobody pulls: still finishing
  const auto pushed = std::chrono::steady_clock::now();
  h.push(speechPcm(6400, 2));
  vesk_utt_end_utterance(h.utt);
  int starts = 1;
  ASSERT_TRUE(h.pullUntil([&](const Pulled& p) {
    starts += p.info.kind == VESK_UTT_SPEECH && p.info.index == 0;
    return starts == 2;
  }));
  const double bound = msSince(pushed);
  vesk_utt_stats st{};
  vesk_utt_get_stats(h.utt, &st);
  EXPECT_EQ(st.utterances, 2);
  EXPECT_GT(st.first_frame_ms, 0.0);
  EXPECT_LE(st.first_frame_ms, bound);
}

// With nothing ready a pull returns 0 and says nothing, whatever the buffer; "buffer too small" is
// for a frame that is there and does not fit.
TEST(UttSession, APullWithNothingReadyIsNoError) {
  const std::string dir = motionDir();
  vesk_utt_opts o = motionOpts();
  o.motion_dir = dir.c_str();
  UttHost h(bundleDir("small"), o);
  ASSERT_EQ(h.waitReady(), 1);
  h.push(speechPcm(6400));  // too little for live frames and no end: the session starts and waits
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  Pulled p;
  while (vesk_utt_frames_available(h.utt) > 0) ASSERT_TRUE(h.pull(&p));
  vesk_utt_stats st{};
  vesk_utt_get_stats(h.utt, &st);
  ASSERT_EQ(st.state, 1);
  uint8_t small[16];
  EXPECT_EQ(vesk_utt_pull_frame(h.utt, small, sizeof small, nullptr), 0);
  EXPECT_STREQ(vesk_utt_last_error(), "");
  std::vector<uint8_t> big(h.bytes);
  EXPECT_EQ(vesk_utt_pull_frame(h.utt, big.data(), big.size(), nullptr), 0);
  EXPECT_STREQ(vesk_utt_last_error(), "");
}

// The stage report with pipelined paste, over an utterance whose rendering was held up for three
// seconds by a host that did not pull (a chunk of 24 crops finds 8 ring slots and 9 places in the
// paste stage): the render stage is the render time alone, and the wait for a paste slot is counted
// once.
TEST(UttSession, StageReportCountsTheRenderAndTheWaitOnce) {
  const std::string dir = motionDir();
  ScopedEnv report("VESK_UTT_STAGE_REPORT", "1");
  ScopedEnv pipe("VESK_UTT_PIPELINE_PASTE", "1");
  vesk_utt_opts o = motionOpts();
  o.motion_dir = dir.c_str();
  auto h = std::make_unique<UttHost>(bundleDir("small"), o);
  ASSERT_EQ(h->waitReady(), 1);
  ASSERT_TRUE(h->pullUntil([&](const Pulled&) { return h->frames.size() == 8; }));
  const auto t0 = std::chrono::steady_clock::now();
  h->push(speechPcm(25600));  // 40 frames
  vesk_utt_end_utterance(h->utt);
  ASSERT_TRUE(h->pullUntil([](const Pulled& p) { return p.info.kind == VESK_UTT_SPEECH; }));
  ASSERT_TRUE(waitAvailable(h->utt, 8));
  std::this_thread::sleep_for(std::chrono::milliseconds(3000));
  ASSERT_TRUE(h->pullUntil([](const Pulled& p) { return p.info.kind == VESK_UTT_RAMP; }));
  const double wall = msSince(t0);
  testing::internal::CaptureStderr();
  h.reset();
  const std::string err = testing::internal::GetCapturedStderr();
  double a = -1, aw = -1, awt = -1, b = -1, c = -1, lat = -1;
  int pipe_flag = -1;
  long long jobs_b = -1, jobs_c = -1, n = -1;
  const size_t at = err.find("[vesk_utt-stage] pipe=");
  ASSERT_NE(at, std::string::npos) << err;
  ASSERT_EQ(std::sscanf(err.c_str() + at,
                        "[vesk_utt-stage] pipe=%d jobsB=%lld jobsC=%lld stageA_ms=%lf stageA_work_ms=%lf "
                        "stageA_wait_ms=%lf stageB_ms=%lf stageC_ms=%lf deliver_lat_ms=%lf over %lld",
                        &pipe_flag, &jobs_b, &jobs_c, &a, &aw, &awt, &b, &c, &lat, &n),
            10)
      << err;
  ASSERT_EQ(n, 40);
  // Rendering 40 small crops takes far less than the time the host held the session up.
  EXPECT_LT(a * 40, wall - 2000) << err;
  // The wait happened once, inside the wall time.
  EXPECT_GT(awt * 40, 2000) << err;
  EXPECT_LT(awt * 40, wall) << err;
}

// A paste step that fails must not hand the host the slot as it was left (stale, or half pasted):
// the frame goes out as its bare driver frame, and the failure is counted with its stage.
TEST(UttFaults, AFailedPasteDeliversTheBareDriverFrame) {
  const std::string dir = motionDir();
  std::atomic<int> fail_driver{0}, fail_composite{0};
  vesk::utt::pasteStepForTesting = [&](const char* step, int, uint8_t* frame) {
    std::atomic<int>& armed = std::strcmp(step, "driver") == 0 ? fail_driver : fail_composite;
    int one = 1;
    if (!armed.compare_exchange_strong(one, 2)) return;
    std::memset(frame, 0x55, 64 * 3);  // as far as it got
    throw std::runtime_error(std::string("test ") + step + " fault");
  };
  vesk_utt_opts o = motionOpts();
  o.motion_dir = dir.c_str();
  UttHost h(bundleDir("small"), o);
  vesk::utt::pasteStepForTesting = nullptr;
  ASSERT_EQ(h.waitReady(), 1);
  std::map<int, std::vector<uint8_t>> bare;
  ASSERT_TRUE(h.pullUntil([&](const Pulled& p) {
    bare[p.info.si] = p.bytes;
    return static_cast<int>(bare.size()) == h.nt;
  }));

  fail_driver = 1;
  h.frames.clear();
  ASSERT_TRUE(h.pullUntil([&](const Pulled&) { return h.frames.size() == 12; }));
  EXPECT_EQ(fail_driver.load(), 2);
  for (const Pulled& p : h.frames) {
    EXPECT_EQ(p.info.kind, VESK_UTT_IDLE);
    EXPECT_TRUE(p.bytes == bare[p.info.si]) << "idle frame seq " << p.info.seq;
  }

  fail_composite = 1;
  h.frames.clear();
  h.push(speechPcm(6400));
  vesk_utt_end_utterance(h.utt);
  ASSERT_TRUE(h.pullUntil([](const Pulled& p) { return p.info.kind == VESK_UTT_SPEECH; }));
  EXPECT_EQ(fail_composite.load(), 2);
  const Pulled& first = h.frames.back();
  EXPECT_EQ(first.info.index, 0);
  EXPECT_TRUE(first.bytes == bare[first.info.si]) << "the failed speech frame is not its driver frame";
  ASSERT_TRUE(h.pullUntil([](const Pulled& p) { return p.info.kind == VESK_UTT_RAMP; }));
  EXPECT_EQ(speechAndRamps(h.frames).size(), 11u);

  char text[256];
  int64_t failures = 0;
  EXPECT_EQ(vesk_utt_render_status(h.utt, text, sizeof text, &failures), -1);
  EXPECT_EQ(failures, 2);
  EXPECT_NE(std::string(text).find(" paste: test composite fault"), std::string::npos) << text;
}

// An audio model whose call fails is reported like a failing director: counted, described, the
// session degraded. The utterance ends on what the model gave, frames keep coming, and the next
// utterance speaks.
TEST(UttFaults, AFailingAudioModelCallIsReportedAndTheSessionGoesOn) {
  const std::string dir = motionDir();
  for (const char* call : {"push", "avail", "pull"}) {
    SCOPED_TRACE(call);
    std::atomic<bool> armed{true};
    const std::string name = call;
    vesk::utt::modelFaultForTesting = [&armed, name](const char* c) {
      return armed && name == c ? "vesk_motion_" + name + ": test fault" : std::string();
    };
    vesk_utt_opts o = motionOpts();
    o.motion_dir = dir.c_str();
    UttHost h(bundleDir("small"), o);
    vesk::utt::modelFaultForTesting = nullptr;
    ASSERT_EQ(h.waitReady(), 1);
    h.push(speechPcm(6400));
    vesk_utt_end_utterance(h.utt);
    for (int k = 0; k < 20; ++k) {
      Pulled p;
      ASSERT_TRUE(h.pull(&p, 5)) << "no frame " << k << " after the failure";
    }
    char text[256];
    int64_t failures = 0;
    EXPECT_EQ(vesk_utt_render_status(h.utt, text, sizeof text, &failures), -1);
    EXPECT_GE(failures, 1);
    EXPECT_NE(std::string(text).find(" audio " + name + ": vesk_motion_" + name + ": test fault"), std::string::npos)
        << text;

    armed = false;
    h.frames.clear();
    h.push(speechPcm(6400));
    vesk_utt_end_utterance(h.utt);
    ASSERT_TRUE(h.pullUntil([](const Pulled& p) { return p.info.kind == VESK_UTT_RAMP; }));
    const auto seq = speechAndRamps(h.frames);
    ASSERT_EQ(seq.size(), 11u);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(seq[static_cast<size_t>(i)], i);
  }
}

// A model that fails to finish reports no total; the utterance ends on the frames the model said
// it had, rather than waiting for a total that never comes.
TEST(UttFaults, AModelThatFailsToFinishEndsTheUtteranceOnWhatItHad) {
  const std::string dir = motionDir();
  vesk::utt::modelFaultForTesting = [](const char* c) {
    return std::strcmp(c, "finish") == 0 ? std::string("vesk_motion_finish: test fault") : std::string();
  };
  vesk_utt_opts o = motionOpts();
  o.motion_dir = dir.c_str();
  UttHost h(bundleDir("small"), o);
  vesk::utt::modelFaultForTesting = nullptr;
  ASSERT_EQ(h.waitReady(), 1);
  h.push(speechPcm(64000));  // 100 frames: far more than one request takes
  vesk_utt_end_utterance(h.utt);
  for (int k = 0; k < 400; ++k) {
    Pulled p;
    ASSERT_TRUE(h.pull(&p, 5)) << "no frame " << k << ": the utterance never ended";
    h.frames.push_back(std::move(p));
    if (h.frames.back().info.kind == VESK_UTT_IDLE && speechAndRamps(h.frames).size() > 1) break;
  }
  const auto seq = speechAndRamps(h.frames);
  ASSERT_GT(seq.size(), 33u) << "the frames the model reported beyond the first request were lost";
  EXPECT_EQ(seq.back(), -2);
  for (size_t i = 0; i + 1 < seq.size(); ++i) EXPECT_EQ(seq[i], static_cast<int>(i));
  char text[256];
  EXPECT_EQ(vesk_utt_render_status(h.utt, text, sizeof text, nullptr), -1);
  EXPECT_NE(std::string(text).find(" audio finish: vesk_motion_finish: test fault"), std::string::npos) << text;
}

}  // namespace
}  // namespace vesk::test
