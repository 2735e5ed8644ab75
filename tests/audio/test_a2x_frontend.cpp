// The process-wide frontends: which one serves, the lines they print, the owner thread that runs
// every frontend job on a CUDA plane, and the short-window frontend reproducing the 8 s encoder.
// Every case runs in a process of its own (the frontends are chosen once per process).
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <stdexcept>
#include <thread>

#include "audio/a2x_test_util.h"
#include "audio/vesk_a2x.h"
#include "audio/vesk_a2x_frontend.h"

using namespace vesk::test;

namespace {

class Frontend : public ::testing::Test {
 protected:
  ScopedEnv win_{"VESK_A2X_W2V_WIN_ONNX", nullptr};
  ScopedEnv head_{"VESK_A2X_W2V_HEAD_ONNX", nullptr};
  ScopedEnv prime_{"VESK_A2X_SILENCE_PRIME", nullptr};
  ScopedEnv cuda_{"VESK_A2X_CUDA", nullptr};
  ScopedEnv right_{"VESK_A2X_W2V_RIGHT", nullptr};
};

std::string captureCreate(Session& out, const std::string& bundle) {
  ::testing::internal::CaptureStderr();
  out = makeSession(bundle);
  return ::testing::internal::GetCapturedStderr();
}

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

}  // namespace

TEST_F(Frontend, OwnerThreadRunsJobsOneAtATimeAndCarriesExceptions) {
  ScopedEnv cuda("VESK_A2X_CUDA", "1");
  std::atomic<int> inside{0}, most{0}, jobs{0};
  std::mutex idsMu;
  std::set<std::thread::id> ids, callers;
  auto caller = [&] {
    {
      std::lock_guard<std::mutex> lk(idsMu);
      callers.insert(std::this_thread::get_id());
    }
    for (int i = 0; i < 25; ++i) {
      vesk::vesk_a2x_on_owner_thread([&] {
        const int now = ++inside;
        int m = most.load();
        while (now > m && !most.compare_exchange_weak(m, now)) {
        }
        {
          std::lock_guard<std::mutex> lk(idsMu);
          ids.insert(std::this_thread::get_id());
        }
        std::this_thread::yield();
        ++jobs;
        --inside;
      });
    }
  };
  std::vector<std::thread> ts;
  for (int t = 0; t < 4; ++t) ts.emplace_back(caller);
  for (auto& t : ts) t.join();
  EXPECT_EQ(jobs.load(), 100);
  EXPECT_EQ(most.load(), 1);
  ASSERT_EQ(ids.size(), 1u);
  EXPECT_EQ(callers.count(*ids.begin()), 0u);

  // A job that submits a job runs it inline instead of waiting for itself.
  std::thread::id outer, inner;
  vesk::vesk_a2x_on_owner_thread([&] {
    outer = std::this_thread::get_id();
    vesk::vesk_a2x_on_owner_thread([&] { inner = std::this_thread::get_id(); });
  });
  EXPECT_EQ(outer, inner);
  EXPECT_EQ(outer, *ids.begin());

  try {
    vesk::vesk_a2x_on_owner_thread([] { throw std::runtime_error("job failed"); });
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "job failed");
  }
  // The owner thread serves on after a failed job.
  int ran = 0;
  vesk::vesk_a2x_on_owner_thread([&] { ran = 1; });
  EXPECT_EQ(ran, 1);
}

TEST_F(Frontend, WithoutCudaJobsRunInline) {
  std::thread::id where;
  vesk::vesk_a2x_on_owner_thread([&] { where = std::this_thread::get_id(); });
  EXPECT_EQ(where, std::this_thread::get_id());
  ScopedEnv cuda("VESK_A2X_CUDA", "yes");
  vesk::vesk_a2x_on_owner_thread([&] { where = std::this_thread::get_id(); });
  EXPECT_EQ(where, std::this_thread::get_id());
}

TEST_F(Frontend, CudaPlaneFallsBackToTheCpuAndSerialisesSessions) {
  // This runtime has no CUDA provider: the append fails with its line, only for the frontends, and
  // sessions on several threads still give the frames a lone session gives.
  ScopedEnv w2v("W2V_ONNX", w2vIn("w2v_pair").c_str());
  ScopedEnv cuda("VESK_A2X_CUDA", "1");
  ScopedEnv mem("VESK_A2X_CUDA_MEM_MIB", "512");
  Session ref;
  const std::string err = captureCreate(ref, bundleDir());
  EXPECT_NE(err.find("[vesk_a2x] CUDA EP append failed (w2v): "), std::string::npos) << err;
  EXPECT_NE(err.find(" -- falling back to CPU\n"), std::string::npos) << err;
  EXPECT_EQ(err.find("(enc/dec)"), std::string::npos) << err;
  EXPECT_EQ(err.find("CUDA EP appended"), std::string::npos) << err;
  ASSERT_TRUE(ref->short_window);

  const std::vector<float> audio = speechLike(16000 * 4 + 77);
  const Pulled want = wholeUtterance(ref.get(), audio);
  std::vector<Pulled> got(3);
  std::vector<std::thread> ts;
  for (size_t t = 0; t < got.size(); ++t) {
    ts.emplace_back([&, t] {
      Session s(vesk_a2x_create(bundleDir().c_str(), 1));
      if (!s) return;
      const size_t chunk = 700 + 1500 * t;
      for (size_t at = 0; at < audio.size(); at += chunk) {
        vesk_a2x_push(s.get(), audio.data() + at, static_cast<int>(std::min(chunk, audio.size() - at)));
        pullInto(s.get(), got[t], 5);
      }
      vesk_a2x_finish(s.get());
      drain(s.get(), got[t]);
    });
  }
  for (auto& t : ts) t.join();
  for (const Pulled& p : got) EXPECT_TRUE(bitIdentical(p, want));
}

TEST_F(Frontend, PairBesideTheEncoderIsLoadedWithItsLength) {
  ScopedEnv w2v("W2V_ONNX", w2vIn("w2v_pair").c_str());
  Session s;
  const std::string err = captureCreate(s, bundleDir());
  const std::string dir = modelsDir() + "/w2v_pair/";
  EXPECT_NE(err.find("[vesk_a2x] short-window w2v frontend loaded (LT=399) trunk=" + dir +
                     "audio_encoder_fp16_window_trunk.onnx ("),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("head=" + dir + "audio_encoder_fp16_window_head.onnx ("), std::string::npos) << err;
  EXPECT_TRUE(s->short_window);
  EXPECT_EQ(s->right_base, 12);
  EXPECT_EQ(s->right, 20);
  EXPECT_EQ(s->w2v8, nullptr);  // the 8 s encoder stays unloaded until something needs it
}

TEST_F(Frontend, LegacyPairNames) {
  ScopedEnv w2v("W2V_ONNX", w2vIn("w2v_legacy").c_str());
  Session s;
  const std::string err = captureCreate(s, bundleDir());
  EXPECT_NE(err.find("trunk=" + modelsDir() + "/w2v_legacy/w2v_trunk32.onnx"), std::string::npos) << err;
  EXPECT_TRUE(s->short_window);
}

TEST_F(Frontend, ExplicitPairVariables) {
  ScopedEnv w2v("W2V_ONNX", w2vIn("w2v_only").c_str());
  const std::string trunk = modelsDir() + "/w2v_legacy/w2v_trunk32.onnx";
  ScopedEnv t("VESK_A2X_W2V_WIN_ONNX", trunk.c_str());
  ScopedEnv h("VESK_A2X_W2V_HEAD_ONNX", (modelsDir() + "/w2v_legacy/w2v_head32.onnx").c_str());
  Session s;
  const std::string err = captureCreate(s, bundleDir());
  EXPECT_NE(err.find("trunk=" + trunk), std::string::npos) << err;
  EXPECT_TRUE(s->short_window);
}

TEST_F(Frontend, DynamicTrunkLengthIsLearnedOnTheFirstRun) {
  ScopedEnv w2v("W2V_ONNX", w2vIn("w2v_dyn").c_str());
  Session s;
  const std::string err = captureCreate(s, bundleDir());
  EXPECT_NE(err.find("(LT=from-first-run)"), std::string::npos) << err;
  EXPECT_EQ(vesk::shortWindowTrunkLength(), 0);
  const Pulled p = wholeUtterance(s.get(), speechLike(16000));
  EXPECT_EQ(p.frames.size(), 25u);
  EXPECT_EQ(vesk::shortWindowTrunkLength(), 399);
}

TEST_F(Frontend, NotDeployedIsSaidOnceAndTheFirstEncoderServesEveryone) {
  ScopedEnv w2v("W2V_ONNX", w2vIn("w2v_only").c_str());
  Session a, b;
  std::string err = captureCreate(a, bundleDir());
  ScopedEnv other("W2V_ONNX", w2vIn("w2v_legacy").c_str());  // a pair is there now, but it is too late
  err += captureCreate(b, bundleDir());
  EXPECT_EQ(count(err, "[vesk_a2x] short-window audio frontend NOT DEPLOYED on this plane: neither "
                       "VESK_A2X_W2V_WIN_ONNX/VESK_A2X_W2V_HEAD_ONNX are set nor is the pair beside $W2V_ONNX (" +
                           w2vIn("w2v_only") + ")"),
            1u)
      << err;
  EXPECT_FALSE(a->short_window);
  EXPECT_FALSE(b->short_window);
  ASSERT_NE(a->w2v8, nullptr);
  EXPECT_EQ(a->w2v8, b->w2v8);
  EXPECT_EQ(vesk::get_shared_w2v(w2vIn("w2v_pair"), 1), a->w2v8);
  EXPECT_EQ(vesk_a2x_preload_w2v(nullptr), 1);
}

TEST_F(Frontend, ShortWindowReproducesTheEightSecondFeatures) {
  // On a voice whose loudness swings with a period that divides both windows, the two frontends
  // normalise their windows alike, so their features
  // agree at every frame whose short window lies inside the audio; what is left is the two
  // windows' normalisation and half-precision rounding.
  ScopedEnv w2v("W2V_ONNX", w2vIn("w2v_pair").c_str());
  Session shortWin = makeSession(bundleDir());
  Session eight = makeSession(bundleDir());
  ASSERT_TRUE(shortWin->short_window);
  eight->short_window = false;
  eight->right = eight->right_base;
  std::mt19937 rng(2);
  std::normal_distribution<float> noise(0.0f, 0.01f);
  std::vector<float> audio(16000 * 12);
  for (size_t i = 0; i < audio.size(); ++i) {
    const double t = static_cast<double>(i) / 16000.0;
    const double tone = std::sin(2.0 * M_PI * 140.0 * t) + 0.5 * std::sin(2.0 * M_PI * 280.0 * t);
    audio[i] = static_cast<float>(tone * 0.1 * (1.0 + 0.8 * std::sin(2.0 * M_PI * t / 0.5))) + noise(rng);
  }
  for (vesk_a2x* s : {shortWin.get(), eight.get()}) {
    vesk_a2x_push(s, audio.data(), static_cast<int>(audio.size()));
    vesk_a2x_finish(s);
    s->extend(300);
    ASSERT_EQ(s->feat_done >= 300, true) << vesk_a2x_last_error();
  }
  ASSERT_NE(eight->w2v8, nullptr);
  double num = 0.0, den = 0.0, loudDiff = 0.0;
  for (int j = 40; j < 260; ++j) {
    for (int k = 0; k < 9216; ++k) {
      const double a = shortWin->feat[static_cast<size_t>(j) * 9216 + k];
      const double b = eight->feat[static_cast<size_t>(j) * 9216 + k];
      num += (a - b) * (a - b);
      den += b * b;
    }
    loudDiff = std::max(loudDiff, std::fabs(static_cast<double>(shortWin->feat[static_cast<size_t>(j) * 9216]) -
                                            eight->feat[static_cast<size_t>(j) * 9216]));
  }
  const double rel = std::sqrt(num / den);
  std::printf("short-window vs 8 s features: relative RMS difference %g, loudness channel max %g\n", rel, loudDiff);
  EXPECT_LT(rel, 0.02);
  EXPECT_LT(loudDiff, 0.02);

  // Misplaced frames would not agree: one frame off is far worse.
  double off = 0.0;
  for (int j = 40; j < 260; ++j) {
    const double a = shortWin->feat[static_cast<size_t>(j) * 9216];
    const double b = eight->feat[static_cast<size_t>(j + 1) * 9216];
    off = std::max(off, std::fabs(a - b));
  }
  EXPECT_GT(off, 2 * loudDiff);
}
