// The pieces of vesk speak that need no model: laying the speech under the frames it drives, and
// the MP4 writer's audio track, checked with ffprobe and decoded back with ffmpeg.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "media_check.h"
#include "test_util.h"
#include "vesk/vesk.h"
#include "vesk_speak.h"
#include "vesk_video_writer.h"

using vesk::cli::kSamplesPerFrame;
using vesk::cli::SpeechTrack;
using vesk::cli::VideoWriter;
using vesk::test::decodeAudio;
using vesk::test::expectTracks;
using vesk::test::num;
using vesk::test::Probe;
using vesk::test::TempDir;

namespace {

constexpr double kPi = 3.14159265358979323846;

// Sample i holds i + 1, so a slot tells exactly which samples it carries.
std::vector<int16_t> ramp(int n) {
  std::vector<int16_t> v(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) v[static_cast<size_t>(i)] = static_cast<int16_t>(i % 30000 + 1);
  return v;
}

std::vector<int16_t> slot(SpeechTrack& t, int kind, int index) {
  const int16_t* p = t.next(kind, index);
  return std::vector<int16_t>(p, p + kSamplesPerFrame);
}

std::vector<int16_t> samples(const std::vector<int16_t>& v, int from, int count) {
  std::vector<int16_t> out(static_cast<size_t>(count), 0);
  for (int i = 0; i < count; ++i)
    if (from + i >= 0 && from + i < static_cast<int>(v.size()))
      out[static_cast<size_t>(i)] = v[static_cast<size_t>(from + i)];
  return out;
}

// A frame whose colour says its number, for the writer's tests.
std::vector<uint8_t> frameOf(int W, int H, int k) {
  return std::vector<uint8_t>(static_cast<size_t>(W) * static_cast<size_t>(H) * 3, static_cast<uint8_t>(k * 9));
}

double rms(const std::vector<int16_t>& v, size_t from, size_t to) {
  to = std::min(to, v.size());
  if (from >= to) return 0;
  double s = 0;
  for (size_t i = from; i < to; ++i) s += static_cast<double>(v[i]) * v[i];
  return std::sqrt(s / static_cast<double>(to - from));
}

}  // namespace

TEST(SpeechTrack, SpeechPlaysUnderItsOwnFrames) {
  const std::vector<int16_t> speech = ramp(3 * kSamplesPerFrame - 100);
  SpeechTrack t(speech);
  const std::vector<int16_t> silence(kSamplesPerFrame, 0);
  // Idle frames before the speech, however many the pipeline's latency gives, are silent.
  EXPECT_EQ(slot(t, VESK_UTT_IDLE, -1), silence);
  EXPECT_EQ(slot(t, VESK_UTT_IDLE, -1), silence);
  EXPECT_FALSE(t.placed());
  EXPECT_EQ(slot(t, VESK_UTT_SPEECH, 0), samples(speech, 0, kSamplesPerFrame));
  EXPECT_EQ(t.offset(), 2);
  EXPECT_EQ(slot(t, VESK_UTT_SPEECH, 1), samples(speech, kSamplesPerFrame, kSamplesPerFrame));
  // The last speech frame carries the tail of the audio and silence after it.
  EXPECT_EQ(slot(t, VESK_UTT_SPEECH, 2), samples(speech, 2 * kSamplesPerFrame, kSamplesPerFrame));
  EXPECT_EQ(slot(t, VESK_UTT_RAMP, -1), silence);
  EXPECT_EQ(slot(t, VESK_UTT_IDLE, -1), silence);
  EXPECT_EQ(t.misplaced(), 0);
}

TEST(SpeechTrack, ALateFirstFrameStillLinesUpAndStrayFramesAreCounted) {
  const std::vector<int16_t> speech = ramp(10 * kSamplesPerFrame);
  SpeechTrack t(speech);
  slot(t, VESK_UTT_IDLE, -1);
  // The first speech frame seen is the utterance's third: the audio starts two frames in.
  EXPECT_EQ(slot(t, VESK_UTT_SPEECH, 2), samples(speech, 2 * kSamplesPerFrame, kSamplesPerFrame));
  // Speech frame 0 would have been one frame before the video began.
  EXPECT_TRUE(t.placed());
  EXPECT_EQ(t.offset(), -1);
  EXPECT_EQ(slot(t, VESK_UTT_SPEECH, 3), samples(speech, 3 * kSamplesPerFrame, kSamplesPerFrame));
  // An idle frame inside the speech shifts the frames after it; the audio keeps its own clock.
  EXPECT_EQ(slot(t, VESK_UTT_IDLE, -1), samples(speech, 4 * kSamplesPerFrame, kSamplesPerFrame));
  slot(t, VESK_UTT_SPEECH, 4);
  slot(t, VESK_UTT_SPEECH, 5);
  EXPECT_EQ(t.misplaced(), 2);
}

TEST(VideoWriterAudio, TracksEndTogetherWhateverTheAudioLength) {
  TempDir tmp;
  const int W = 64, H = 48;
  // Less audio than video, far more, and none at all: the audio track is padded or cut to the video.
  for (const int audioFrames : {5, 31, 0}) {
    const std::string out = tmp / ("a" + std::to_string(audioFrames) + ".mp4");
    {
      VideoWriter w(out, W, H, 25, 16000);
      const std::vector<int16_t> a(static_cast<size_t>(audioFrames) * kSamplesPerFrame + 123, 1000);
      if (!a.empty()) w.addAudio(a.data(), a.size());
      for (int k = 0; k < 17; ++k) w.addFrame(frameOf(W, H, k).data());
      w.finish();
      EXPECT_EQ(w.audioSamples(), 17 * kSamplesPerFrame);
      EXPECT_EQ(w.audioCodec(), "aac");
    }
    Probe p;
    expectTracks(out, 17, W, H, &p);
    const auto* a = p.first("audio");
    ASSERT_NE(a, nullptr) << "audio frames " << audioFrames;
    EXPECT_EQ(a->at("sample_rate"), "16000");
    EXPECT_EQ(a->at("channels"), "1");
    EXPECT_NEAR(num(&p.format, "duration"), 17 / 25.0, 0.040);
  }
  VideoWriter silent(tmp / "v.mp4", W, H, 25);
  const int16_t x = 0;
  EXPECT_EQ(vesk::test::errorOf([&] { silent.addAudio(&x, 1); }), "this video has no audio track");
}

// A tone that starts with frame 20 must be heard from 0.8 s: the encoder's priming samples are cut
// by the container, not left in front of the speech.
TEST(VideoWriterAudio, AudioStartsWithItsFrame) {
  TempDir tmp;
  const std::string out = tmp / "sync.mp4";
  const int W = 64, H = 48, frames = 50, onset = 20;
  {
    VideoWriter w(out, W, H, 25, 16000);
    for (int k = 0; k < frames; ++k) {
      std::vector<int16_t> a(kSamplesPerFrame, 0);
      if (k >= onset)
        for (int i = 0; i < kSamplesPerFrame; ++i)
          a[static_cast<size_t>(i)] =
              static_cast<int16_t>(12000 * std::sin(2 * kPi * 500 * (k * kSamplesPerFrame + i) / 16000.0));
      w.addFrame(frameOf(W, H, k).data());
      w.addAudio(a.data(), a.size());
    }
    w.finish();
  }
  const std::vector<int16_t> pcm = decodeAudio(out);
  ASSERT_GE(pcm.size(), static_cast<size_t>(frames * kSamplesPerFrame));
  const size_t at = onset * kSamplesPerFrame;
  // 5 ms on either side of the onset: AAC smears an edge by a few milliseconds, a frame is 40.
  EXPECT_LT(rms(pcm, 0, at - 80), 200.0);
  EXPECT_GT(rms(pcm, at + 80, at + 640), 6000.0);
  EXPECT_GT(rms(pcm, at + 80, (frames - 1) * kSamplesPerFrame), 7000.0);
}
