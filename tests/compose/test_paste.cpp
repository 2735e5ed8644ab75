#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <cstdlib>
#include <numbers>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "compose/test_paste_reference.h"
#include "hwy/targets.h"
#include "compose/vesk_paste.h"

namespace vesk {
namespace {

using test::makeCrop;
using test::makeFrame;
using test::makeMask;
using test::RefPaste;

// Sets an environment variable for the life of the object and restores the old value after.
class EnvGuard {
 public:
  EnvGuard(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  ~EnvGuard() {
    if (old_)
      setenv(name_, old_->c_str(), 1);
    else
      unsetenv(name_);
  }
  EnvGuard(const EnvGuard&) = delete;
  EnvGuard& operator=(const EnvGuard&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

std::string throwsWhat(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "<no exception>";
}

// First differing byte, for a readable failure.
::testing::AssertionResult sameFrame(const std::vector<uint8_t>& got, const std::vector<uint8_t>& want, int W) {
  if (got.size() != want.size()) return ::testing::AssertionFailure() << "size " << got.size();
  size_t diffs = 0, first = 0;
  for (size_t i = 0; i < got.size(); ++i)
    if (got[i] != want[i] && diffs++ == 0) first = i;
  if (diffs == 0) return ::testing::AssertionSuccess();
  const size_t px = first / 3;
  return ::testing::AssertionFailure() << diffs << " bytes differ; first at x=" << px % size_t(W)
                                       << " y=" << px / size_t(W) << " ch=" << first % 3 << ": got "
                                       << int(got[first]) << " want " << int(want[first]);
}

struct Case {
  const char* name;
  float M[6];
};

std::vector<Case> matrices(int side) {
  const float th = 0.5f;  // about 29 degrees
  const float cs = std::cos(th), sn = std::sin(th);
  const float s = float(side);
  return {
      {"identity", {1, 0, 0, 0, 1, 0}},
      {"shift", {1, 0, 13.25f, 0, 1, 7.75f}},
      {"shrink", {0.6f, 0, 20.3f, 0, 0.6f, 11.9f}},
      {"enlarge", {1.7f, 0, 3.1f, 0, 1.7f, -2.6f}},
      {"rotate", {1.1f * cs, -1.1f * sn, 0.4f * s, 1.1f * sn, 1.1f * cs, 0.1f * s}},
      {"shear_flip", {-0.9f, 0.2f, 1.4f * s, 0.1f, 0.95f, 5.5f}},
      {"off_left_top", {1.2f, 0.05f, -0.5f * s, -0.05f, 1.2f, -0.4f * s}},
      {"off_right_bottom", {0.9f, 0, 3.0f * s - 4, 0, 0.9f, 1.5f * s}},
  };
}

class PasteModes : public ::testing::TestWithParam<int> {};

// Every mode against the reference on several geometries, including boxes cut by the frame edges.
TEST_P(PasteModes, MatchesReferenceBitExact) {
  const int mode = GetParam();
  EnvGuard fast("VESK_PASTE_FAST", std::to_string(mode).c_str());
  EnvGuard ks("VESK_PASTE_KSIZE", nullptr);
  const int side = 48, W = 160, H = 100;
  const PasteUnsharp us{1.3f, 2.0f, 13};
  const auto crop = makeCrop(side, 7);
  Paste paste(makeMask(side), side, us);
  ASSERT_EQ(paste.mode(), mode);
  const RefPaste ref{side, 13, us.amount, us.sigma, mode, makeMask(side)};
  for (const Case& c : matrices(side)) {
    SCOPED_TRACE(c.name);
    auto got = makeFrame(W, H, 3);
    auto want = got;
    const auto before = got;
    paste.composite(crop.data(), 255.0f, c.M, got.data(), W, H);
    ref.composite(crop.data(), 255.0f, c.M, want.data(), W, H);
    EXPECT_TRUE(sameFrame(got, want, W));
    EXPECT_NE(got, before);
  }
}

INSTANTIATE_TEST_SUITE_P(AllModes, PasteModes, ::testing::Values(0, 1, 2),
                         [](const ::testing::TestParamInfo<int>& p) {
                           return std::string(p.param == 0 ? "lanczos" : p.param == 1 ? "bicubic" : "bilinear");
                         });

// The served size: a 512 crop rotated and scaled into a 1080p frame, split over the workers.
TEST(Paste, FullSizeCropMatchesReference) {
  EnvGuard fast("VESK_PASTE_FAST", nullptr);
  EnvGuard ks("VESK_PASTE_KSIZE", nullptr);
  const int side = 512, W = 1920, H = 1080;
  const PasteUnsharp us{1.3f, 2.0f, 13};
  const auto crop = makeCrop(side, 11);
  Paste paste(makeMask(side), side, us);
  const RefPaste ref{side, 13, us.amount, us.sigma, 0, makeMask(side)};
  const float th = -0.12f;
  const float M[6] = {0.93f * std::cos(th), -0.93f * std::sin(th), 700.4f,
                      0.93f * std::sin(th), 0.93f * std::cos(th), 240.7f};
  auto got = makeFrame(W, H, 5);
  auto want = got;
  paste.composite(crop.data(), 255.0f, M, got.data(), W, H);
  ref.composite(crop.data(), 255.0f, M, want.data(), W, H);
  EXPECT_TRUE(sameFrame(got, want, W));
  // A second call on the same stage reuses every buffer and must not depend on the first.
  auto again = makeFrame(W, H, 5);
  paste.composite(crop.data(), 255.0f, M, again.data(), W, H);
  EXPECT_TRUE(sameFrame(again, want, W));
}

// Every SIMD target the processor offers gives the reference's bits, for every mode.
TEST(Paste, EveryTargetMatchesReference) {
  EnvGuard ks("VESK_PASTE_KSIZE", nullptr);
  const int side = 40, W = 120, H = 90;
  const PasteUnsharp us{1.3f, 2.0f, 13};
  const auto crop = makeCrop(side, 17);
  const float M[6] = {0.9f, -0.35f, 30.5f, 0.35f, 0.9f, 12.25f};
  for (int mode : {0, 1, 2}) {
    EnvGuard fast("VESK_PASTE_FAST", std::to_string(mode).c_str());
    const RefPaste ref{side, 13, us.amount, us.sigma, mode, makeMask(side)};
    auto want = makeFrame(W, H, 6);
    const auto start = want;
    ref.composite(crop.data(), 255.0f, M, want.data(), W, H);
    for (int64_t target : hwy::SupportedAndGeneratedTargets()) {
      SCOPED_TRACE(std::string(hwy::TargetName(target)) + " mode " + std::to_string(mode));
      hwy::SetSupportedTargetsForTest(target);
      Paste paste(makeMask(side), side, us);
      auto got = start;
      paste.composite(crop.data(), 255.0f, M, got.data(), W, H);
      EXPECT_TRUE(sameFrame(got, want, W));
    }
    hwy::SetSupportedTargetsForTest(0);
  }
}

// Stages on different threads share nothing but the executor line's once flag; each thread splits
// its rows over its own workers.
TEST(Paste, StagesOnTwoThreadsAgree) {
  EnvGuard fast("VESK_PASTE_FAST", nullptr);
  EnvGuard ks("VESK_PASTE_KSIZE", nullptr);
  const int side = 64, W = 200, H = 150;
  const PasteUnsharp us{1.3f, 2.0f, 13};
  const auto crop = makeCrop(side, 23);
  const float M[6] = {1.4f, 0.2f, 30.5f, -0.2f, 1.4f, 20.5f};
  auto want = makeFrame(W, H, 12);
  const auto start = want;
  RefPaste{side, 13, us.amount, us.sigma, 0, makeMask(side)}.composite(crop.data(), 255.0f, M, want.data(), W, H);
  std::vector<uint8_t> got[2] = {start, start};
  auto run = [&](int i) {
    Paste paste(makeMask(side), side, us);
    for (int k = 0; k < 5; ++k) {
      got[i] = start;
      paste.composite(crop.data(), 255.0f, M, got[i].data(), W, H);
    }
  };
  std::thread t0(run, 0), t1(run, 1);
  t0.join();
  t1.join();
  EXPECT_TRUE(sameFrame(got[0], want, W));
  EXPECT_TRUE(sameFrame(got[1], want, W));
}

// Outside the transformed crop's bounding box the frame is never touched, whatever the mask.
TEST(Paste, TouchesOnlyTheBoundingBox) {
  EnvGuard fast("VESK_PASTE_FAST", nullptr);
  const int side = 32, W = 120, H = 90;
  Paste paste(std::vector<uint8_t>(size_t(side) * side, 255), side, PasteUnsharp{});
  const auto crop = makeCrop(side, 2);
  const float M[6] = {0.8f, 0.3f, 40.0f, -0.3f, 0.8f, 30.0f};
  auto f = makeFrame(W, H, 9);
  const auto before = f;
  paste.composite(crop.data(), 255.0f, M, f.data(), W, H);
  float xs[4], ys[4];
  const float lo = -4, hi = side + 3.0f;
  const float cx[4] = {lo, hi, lo, hi}, cy[4] = {lo, lo, hi, hi};
  for (int i = 0; i < 4; ++i) {
    xs[i] = M[1] * cy[i] + M[0] * cx[i] + M[2];
    ys[i] = M[4] * cy[i] + M[3] * cx[i] + M[5];
  }
  const int x0 = int(*std::min_element(xs, xs + 4)), x1 = int(*std::max_element(xs, xs + 4));
  const int y0 = int(*std::min_element(ys, ys + 4)), y1 = int(*std::max_element(ys, ys + 4));
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x)
      if (x < x0 || x > x1 || y < y0 || y > y1) {
        for (int c = 0; c < 3; ++c) ASSERT_EQ(f[(size_t(y) * W + x) * 3 + c], before[(size_t(y) * W + x) * 3 + c]);
      }
}

TEST(Paste, IdentityWithFullMaskReproducesTheSharpenedCrop) {
  EnvGuard fast("VESK_PASTE_FAST", nullptr);
  const int side = 40, W = 64, H = 50;
  const PasteUnsharp us{1.3f, 2.0f, 13};
  Paste paste(std::vector<uint8_t>(size_t(side) * side, 255), side, us);
  const auto crop = makeCrop(side, 4);
  const float M[6] = {1, 0, 0, 0, 1, 0};
  auto f = makeFrame(W, H, 1);
  const auto before = f;
  paste.composite(crop.data(), 255.0f, M, f.data(), W, H);
  const RefPaste ref{side, 13, us.amount, us.sigma, 0, {}};
  const auto sharp = ref.sharpened(crop.data(), 255.0f);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x)
      for (int c = 0; c < 3; ++c) {
        const size_t i = (size_t(y) * W + x) * 3 + c;
        if (x < side && y < side)
          ASSERT_EQ(f[i], uint8_t(sharp[c][size_t(y) * side + x])) << x << "," << y;
        else
          ASSERT_EQ(f[i], before[i]) << x << "," << y;
      }
  for (int c = 0; c < 3; ++c) EXPECT_EQ(paste.plane(c), sharp[c]);
}

TEST(Paste, DrawsNothingWhenNothingShows) {
  const int side = 32, W = 100, H = 80;
  const auto crop = makeCrop(side, 1);
  for (int mode : {0, 1, 2}) {
    EnvGuard fast("VESK_PASTE_FAST", std::to_string(mode).c_str());
    SCOPED_TRACE(mode);
    Paste zero(std::vector<uint8_t>(size_t(side) * side, 0), side, PasteUnsharp{});
    Paste full(std::vector<uint8_t>(size_t(side) * side, 255), side, PasteUnsharp{});
    const auto before = makeFrame(W, H, 8);
    auto f = before;
    const float shift[6] = {1.1f, 0.1f, 20, -0.1f, 1.1f, 10};
    zero.composite(crop.data(), 255.0f, shift, f.data(), W, H);
    EXPECT_EQ(f, before) << "zero mask";
    const float singular[6] = {0, 0, 20, 0.5f, 0.7f, 10};
    full.composite(crop.data(), 255.0f, singular, f.data(), W, H);
    EXPECT_EQ(f, before) << "a = b = 0";
    const float rank1[6] = {1, 2, 5, 2, 4, 5};
    full.composite(crop.data(), 255.0f, rank1, f.data(), W, H);
    EXPECT_EQ(f, before) << "rank one";
    const float left[6] = {1, 0, -200, 0, 1, 10};
    full.composite(crop.data(), 255.0f, left, f.data(), W, H);
    EXPECT_EQ(f, before) << "left of the frame";
    const float below[6] = {1, 0, 10, 0, 1, 500};
    full.composite(crop.data(), 255.0f, below, f.data(), W, H);
    EXPECT_EQ(f, before) << "below the frame";
  }
}

// Degenerate but finite matrices: nothing may overflow or crash, and the frame stays as it was
// where the crop covers (almost) nothing.
TEST(Paste, DegenerateMatricesAreHarmless) {
  EnvGuard fast("VESK_PASTE_FAST", nullptr);
  const int side = 32, W = 100, H = 80;
  const auto crop = makeCrop(side, 1);
  Paste full(std::vector<uint8_t>(size_t(side) * side, 255), side, PasteUnsharp{});
  const auto before = makeFrame(W, H, 8);
  const float inf = INFINITY, nan = NAN;
  const float cases[][6] = {
      {1e-30f, 0, 50, 0, 1e-30f, 40},   // inverse far beyond the fixed-point range
      {1e-4f, 0, 50, 0, 1e-4f, 40},     // crop shrunk to a speck
      {3e38f, 0, 0, 0, 3e38f, 0},       // box beyond float range
      {-3e38f, 3e38f, 0, 3e38f, 3e38f, 0},
      {1, 0, inf, 0, 1, 0},
      {1, 0, 0, 0, nan, 0},
      {nan, 0, 0, 0, 1, 0},
      {1, 0, 2e9f, 0, 1, -2e9f},
  };
  for (const auto& M : cases) {
    auto f = before;
    full.composite(crop.data(), 255.0f, M, f.data(), W, H);
  }
  auto f = before;
  full.composite(crop.data(), 255.0f, cases[0], f.data(), W, H);
  EXPECT_EQ(f, before);
}

TEST(Paste, AmountZeroOnlyClamps) {
  EnvGuard fast("VESK_PASTE_FAST", nullptr);
  const int side = 24;
  Paste paste(std::vector<uint8_t>(size_t(side) * side, 255), side, PasteUnsharp{0.0f, 2.0f, 13});
  std::vector<float> crop(size_t(3) * side * side);
  for (size_t i = 0; i < crop.size(); ++i) crop[i] = float(int(i % 400) - 70) * 0.75f;
  crop[5] = NAN;
  crop[6] = INFINITY;
  paste.fillPlanes(crop.data(), 1.0f);
  for (int c = 0; c < 3; ++c) {
    std::vector<float> p = paste.plane(c);
    paste.unsharpPlane(p);
    for (size_t i = 0; i < p.size(); ++i) {
      const float v = crop[size_t(c) * p.size() + i];
      if (c == 0 && (i == 5 || i == 6)) {
        // A NaN or infinite sample never reaches the byte conversion as NaN.
        EXPECT_TRUE(p[i] >= 0.0f && p[i] <= 255.0f) << i;
        continue;
      }
      if (c == 0 && i < 5 + 13 * (side + 1)) continue;  // blurred neighbours of the NaN
      EXPECT_EQ(p[i], std::min(255.0f, std::max(0.0f, v))) << c << " " << i;
    }
  }
}

TEST(Paste, FillPlanesScales) {
  const int side = 4;
  Paste paste(std::vector<uint8_t>(16, 1), side, PasteUnsharp{1.0f, 1.0f, 3});
  std::vector<float> crop(48);
  for (size_t i = 0; i < crop.size(); ++i) crop[i] = float(i) * 0.5f;
  paste.fillPlanes(crop.data(), 3.0f);
  for (int c = 0; c < 3; ++c)
    for (int i = 0; i < 16; ++i) EXPECT_EQ(paste.plane(c)[size_t(i)], crop[size_t(c) * 16 + size_t(i)] * 3.0f);
}

TEST(Paste, RefusesBadConstruction) {
  EnvGuard ks("VESK_PASTE_KSIZE", nullptr);
  EXPECT_EQ(throwsWhat([] { Paste(std::vector<uint8_t>(15), 4, PasteUnsharp{}); }), "paste: mask size");
  EXPECT_EQ(throwsWhat([] { Paste(std::vector<uint8_t>(17), 4, PasteUnsharp{}); }), "paste: mask size");
  EXPECT_EQ(throwsWhat([] { Paste(std::vector<uint8_t>(64 * 64), 64, PasteUnsharp{1.3f, 2.0f, 12}); }),
            "paste: ksize must be odd");
  EXPECT_EQ(throwsWhat([] { Paste(std::vector<uint8_t>(64 * 64), 64, PasteUnsharp{1.3f, 2.0f, 0}); }),
            "paste: ksize must be odd");
  EXPECT_EQ(throwsWhat([] { Paste(std::vector<uint8_t>(64 * 64), 64, PasteUnsharp{1.3f, 2.0f, -3}); }),
            "paste: ksize must be positive");
  EXPECT_EQ(throwsWhat([] { Paste(std::vector<uint8_t>(1), -1, PasteUnsharp{}); }), "paste: side must be positive");
  EXPECT_EQ(throwsWhat([] { Paste(std::vector<uint8_t>(), 0, PasteUnsharp{}); }), "paste: side must be positive");
  // A border wider than the crop cannot be reflected from inside it.
  EXPECT_EQ(throwsWhat([] { Paste(std::vector<uint8_t>(36), 6, PasteUnsharp{1.3f, 2.0f, 13}); }),
            "paste: ksize too large for the crop");
  EXPECT_EQ(throwsWhat([] { Paste(std::vector<uint8_t>(49), 7, PasteUnsharp{1.3f, 2.0f, 13}); }), "<no exception>");
  EXPECT_EQ(throwsWhat([] { Paste(std::vector<uint8_t>(1), 1, PasteUnsharp{1.3f, 2.0f, 1}); }), "<no exception>");
}

TEST(Paste, SmallestCropsMatchReference) {
  EnvGuard fast("VESK_PASTE_FAST", nullptr);
  EnvGuard ks("VESK_PASTE_KSIZE", nullptr);
  for (int side : {1, 2, 7}) {
    SCOPED_TRACE(side);
    const int k = side == 1 ? 1 : (side == 2 ? 3 : 13);
    const PasteUnsharp us{1.3f, 2.0f, k};
    Paste paste(std::vector<uint8_t>(size_t(side) * side, 200), side, us);
    const RefPaste ref{side, k, us.amount, us.sigma, 0, std::vector<uint8_t>(size_t(side) * side, 200)};
    const auto crop = makeCrop(side, 3);
    const float M[6] = {2.3f, 0.2f, 5.5f, -0.1f, 2.1f, 4.25f};
    auto got = makeFrame(30, 20, 2);
    auto want = got;
    paste.composite(crop.data(), 255.0f, M, got.data(), 30, 20);
    ref.composite(crop.data(), 255.0f, M, want.data(), 30, 20);
    EXPECT_TRUE(sameFrame(got, want, 30));
  }
}

TEST(Paste, SideOver1024FailsAtFirstComposite) {
  const int side = 1025;
  Paste paste(std::vector<uint8_t>(size_t(side) * side, 255), side, PasteUnsharp{});
  std::vector<float> crop(size_t(3) * side * side, 0.5f);
  std::vector<uint8_t> frame(size_t(64) * 64 * 3, 7);
  const float M[6] = {0.05f, 0, 2, 0, 0.05f, 2};
  EXPECT_EQ(throwsWhat([&] { paste.composite(crop.data(), 255.0f, M, frame.data(), 64, 64); }),
            "paste: side > 1024");
  std::vector<float> plane(size_t(side) * side);
  EXPECT_EQ(throwsWhat([&] { paste.unsharpPlane(plane); }), "paste: side > 1024");
}

TEST(Paste, RefusesBadArguments) {
  const int side = 8;
  Paste paste(std::vector<uint8_t>(64, 255), side, PasteUnsharp{1.0f, 1.0f, 5});
  std::vector<float> crop(3 * 64, 0.5f);
  std::vector<uint8_t> frame(32 * 32 * 3);
  const float M[6] = {1, 0, 2, 0, 1, 2};
  EXPECT_EQ(throwsWhat([&] { paste.composite(nullptr, 1, M, frame.data(), 32, 32); }), "paste: null buffer");
  EXPECT_EQ(throwsWhat([&] { paste.composite(crop.data(), 1, nullptr, frame.data(), 32, 32); }),
            "paste: null buffer");
  EXPECT_EQ(throwsWhat([&] { paste.composite(crop.data(), 1, M, nullptr, 32, 32); }), "paste: null buffer");
  std::vector<float> wrong(10);
  EXPECT_EQ(throwsWhat([&] { paste.unsharpPlane(wrong); }), "paste: plane size");
  // Column tables are empty before the first composite.
  EXPECT_EQ(throwsWhat([&] { paste.compositeTail(frame.data(), 32, 0, 5, 0, 5, 0, 1, 0, 0); }),
            "paste: column tables shorter than the box");
  EXPECT_EQ(throwsWhat([&] { paste.compositeTail(frame.data(), 32, 0, 32, 0, 5, 0, 1, 0, 0); }),
            "paste: box outside the frame");
  // Zero-sized frames draw nothing.
  EXPECT_NO_THROW(paste.composite(crop.data(), 1, M, frame.data(), 0, 32));
}

TEST(PasteEnv, FastMode) {
  const std::vector<uint8_t> m(64, 1);
  struct {
    const char* value;
    int mode;
  } cases[] = {{nullptr, 0}, {"0", 0}, {"1", 1}, {"2", 2}, {"3", 0}, {"-1", 0}, {"abc", 0}, {"", 0}};
  for (const auto& c : cases) {
    EnvGuard g("VESK_PASTE_FAST", c.value);
    EXPECT_EQ(Paste(m, 8, PasteUnsharp{}).mode(), c.mode) << (c.value ? c.value : "unset");
  }
}

TEST(PasteEnv, KsizeOnlyShrinks) {
  std::vector<uint8_t> m(64 * 64, 1);
  struct {
    const char* value;
    int ksize;
  } cases[] = {{nullptr, 13}, {"9", 9}, {"3", 3}, {"13", 13}, {"15", 13}, {"8", 13},
               {"1", 13},     {"-5", 13}, {"x", 13}, {"", 13}};
  for (const auto& c : cases) {
    EnvGuard g("VESK_PASTE_KSIZE", c.value);
    EXPECT_EQ(Paste(m, 64, PasteUnsharp{1.3f, 2.0f, 13}).kernelSize(), c.ksize) << (c.value ? c.value : "unset");
  }
}

// The shrunk kernel is the one the sharpening uses.
TEST(PasteEnv, KsizeOverrideSharpensWithTheSmallerKernel) {
  EnvGuard fast("VESK_PASTE_FAST", nullptr);
  EnvGuard ks("VESK_PASTE_KSIZE", "5");
  const int side = 40, W = 90, H = 70;
  const PasteUnsharp us{1.3f, 2.0f, 13};
  Paste paste(makeMask(side), side, us);
  const RefPaste ref{side, 5, us.amount, us.sigma, 0, makeMask(side)};
  const auto crop = makeCrop(side, 21);
  const float M[6] = {1.2f, 0.1f, 10.5f, -0.1f, 1.2f, 6.5f};
  auto got = makeFrame(W, H, 4);
  auto want = got;
  paste.composite(crop.data(), 255.0f, M, got.data(), W, H);
  ref.composite(crop.data(), 255.0f, M, want.data(), W, H);
  EXPECT_TRUE(sameFrame(got, want, W));
}

}  // namespace
}  // namespace vesk
