// The motion model's log-mel block against a double-precision DFT, next to the plain float FFT it
// replaces; the same bits on every SIMD target; odd mel matrices (empty bands, negative sums).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "audio/motion_mel_reference.h"
#include "audio/vesk_motion.h"
#include "audio/vesk_motion_mel.h"
#include "audio/vesk_motion_net.h"
#include "hwy/targets.h"
#include "motion_test_util.h"

namespace {

using vesk::MotionMel;
using vesk::ref::MelReference;

constexpr int kWin = MelReference::kWindow;
constexpr int kOut = MotionMel::kBands * MotionMel::kFrames;

std::string nt8() { return vesk::test::motionModels() + "/nt8"; }
std::vector<float> modelWindow() { return vesk::readFloatFile(nt8() + "/hubert_stft_window.bin", 512); }
std::vector<float> modelBinmat() { return vesk::readFloatFile(nt8() + "/hubert_stft_binmat.bin", 257 * 80); }

struct Case {
  const char* name;
  std::vector<float> audio;
};

// Windows of the kinds a stream produces: voice, its quiet stretches, silence, a window that starts
// part-way (the zeros before the audio), and loud and faint broadband noise.
std::vector<Case> cases() {
  std::vector<Case> out;
  const std::vector<float> v = vesk::test::voice(16000 * 4, 9);
  for (int at : {0, 3200, 20000, 41000}) out.push_back({"voice", std::vector<float>(v.begin() + at, v.begin() + at + kWin)});
  out.push_back({"silence", std::vector<float>(kWin, 0.0f)});
  std::vector<float> late(kWin, 0.0f);
  std::copy(v.begin(), v.begin() + 4480, late.begin() + 2000);
  out.push_back({"zeros then voice", late});
  std::mt19937 rng(5);
  std::normal_distribution<float> g(0.0f, 1.0f);
  std::vector<float> loud(kWin), faint(kWin);
  for (int i = 0; i < kWin; ++i) {
    loud[static_cast<size_t>(i)] = 0.9f * g(rng);
    faint[static_cast<size_t>(i)] = 3e-6f * g(rng);
  }
  out.push_back({"loud noise", loud});
  out.push_back({"faint noise", faint});
  return out;
}

std::vector<float> padded(const std::vector<float>& w) {
  std::vector<float> p(kWin + 512);
  std::memcpy(p.data() + 256, w.data(), sizeof(float) * kWin);
  for (int i = 0; i < 256; ++i) {
    p[static_cast<size_t>(i)] = w[static_cast<size_t>(256 - i)];
    p[static_cast<size_t>(256 + kWin + i)] = w[static_cast<size_t>(kWin - 2 - i)];
  }
  return p;
}

// The session's block (its own padding included) is as close to the exact log-mel as the plain float
// FFT is: the packed transform loses nothing that matters against the rounding both have.
TEST(MotionMel, MatchesTheExactTransformAsCloselyAsThePlainFloatFft) {
  vesk::Motion m(nt8(), 1, "");
  MelReference ref(modelWindow(), modelBinmat());
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    std::vector<float> ours(kOut), plain(kOut);
    std::vector<double> exact(kOut);
    m.melBlock(c.audio.data(), ours.data());
    ref.floatBlock(c.audio.data(), plain.data());
    ref.doubleBlock(c.audio.data(), exact.data());
    double worstOurs = 0, worstPlain = 0;
    for (int i = 0; i < kOut; ++i) {
      worstOurs = std::max(worstOurs, std::fabs(ours[static_cast<size_t>(i)] - exact[static_cast<size_t>(i)]));
      worstPlain = std::max(worstPlain, std::fabs(plain[static_cast<size_t>(i)] - exact[static_cast<size_t>(i)]));
    }
    std::printf("[ %-16s ] max |log-mel error|: ours %.3g, plain float FFT %.3g\n", c.name, worstOurs, worstPlain);
    EXPECT_LE(worstOurs, 1.25 * worstPlain + 5e-6);
    EXPECT_LT(worstOurs, 1e-3);
  }
}

// Every target runs the frames in lanes of its own width, so a frame lands in another lane and group
// on each; the bits must not change.
TEST(MotionMel, EveryTargetGivesTheSameBits) {
  const auto w = modelWindow();
  const auto b = modelBinmat();
  std::vector<std::vector<float>> inputs;
  for (const Case& c : cases()) inputs.push_back(padded(c.audio));
  std::vector<std::vector<float>> want;
  int tested = 0;
  for (int64_t target : hwy::SupportedAndGeneratedTargets()) {
    if ((target & MotionMel::compiledTargets()) == 0) continue;
    SCOPED_TRACE(hwy::TargetName(target));
    hwy::SetSupportedTargetsForTest(target);
    MotionMel mel;
    mel.setTables(w.data(), b.data());
    for (size_t i = 0; i < inputs.size(); ++i) {
      std::vector<float> got(kOut);
      mel.block(inputs[i].data(), got.data());
      if (want.size() <= i) {
        want.push_back(got);
      } else {
        EXPECT_EQ(std::memcmp(got.data(), want[i].data(), sizeof(float) * kOut), 0) << "window " << i;
      }
    }
    ++tested;
  }
  hwy::SetSupportedTargetsForTest(0);
  // A processor with one compiled target (NEON without SVE) has nothing to compare it with; x86 and
  // SVE machines check two or more.
  EXPECT_GE(tested, 1);
}

// Listed frames come out as in the whole block, whatever lane or group they land in on each target,
// and the other columns are left alone; a frame outside the block is refused.
TEST(MotionMel, ListedFramesOnly) {
  const auto w = modelWindow();
  const auto b = modelBinmat();
  const auto p = padded(vesk::test::voice(kWin, 4));
  const std::vector<std::vector<int>> lists = {{0, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20}, {20}, {3, 1, 2}, {7, 7, 19}};
  for (int64_t target : hwy::SupportedAndGeneratedTargets()) {
    if ((target & MotionMel::compiledTargets()) == 0) continue;
    SCOPED_TRACE(hwy::TargetName(target));
    hwy::SetSupportedTargetsForTest(target);
    MotionMel mel;
    mel.setTables(w.data(), b.data());
    std::vector<float> whole(kOut);
    mel.block(p.data(), whole.data());
    for (const auto& list : lists) {
      std::vector<float> got(kOut, -123.0f);
      mel.frames(p.data(), list.data(), static_cast<int>(list.size()), got.data());
      for (int t = 0; t < 21; ++t) {
        const bool listed = std::find(list.begin(), list.end(), t) != list.end();
        for (int m = 0; m < 80; ++m) {
          const size_t i = static_cast<size_t>(m * 21 + t);
          ASSERT_EQ(got[i], listed ? whole[i] : -123.0f) << "frame " << t << " band " << m << " of a list of " << list.size();
        }
      }
    }
    const int bad[] = {2, 21};
    std::vector<float> out(kOut);
    EXPECT_THROW(mel.frames(p.data(), bad, 2, out.data()), std::runtime_error);
  }
  hwy::SetSupportedTargetsForTest(0);
}

// A band without weights sums to nothing and gives log(1e-8); a band whose weights make the sum
// negative gives NaN, as the library log does; neither disturbs the other bands.
TEST(MotionMel, EmptyBandsAndNegativeSums) {
  const auto w = modelWindow();
  auto b = modelBinmat();
  for (int k = 0; k < 257; ++k) {
    b[static_cast<size_t>(k * 80 + 3)] = 0.0f;
    b[static_cast<size_t>(k * 80 + 40)] = -b[static_cast<size_t>(k * 80 + 40)] - 1.0f;
  }
  const std::vector<float> v = vesk::test::voice(kWin, 2);
  const auto p = padded(v);
  MotionMel mel, plain;
  mel.setTables(w.data(), b.data());
  plain.setTables(w.data(), modelBinmat().data());
  std::vector<float> got(kOut), ref(kOut);
  mel.block(p.data(), got.data());
  plain.block(p.data(), ref.data());
  for (int t = 0; t < 21; ++t) {
    EXPECT_FLOAT_EQ(got[static_cast<size_t>(3 * 21 + t)], std::log(1e-8f)) << "frame " << t;
    EXPECT_TRUE(std::isnan(got[static_cast<size_t>(40 * 21 + t)])) << "frame " << t;
    for (int m : {0, 2, 4, 39, 41, 79}) EXPECT_EQ(got[static_cast<size_t>(m * 21 + t)], ref[static_cast<size_t>(m * 21 + t)]);
  }
}

}  // namespace
