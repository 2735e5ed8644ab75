// Motion and fca sessions on several threads at once: each thread's sessions compute the same
// frames as a lone thread would, and each thread reads only its own last-error texts.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "motion_test_util.h"
#include "vesk/vesk_a2x.h"

namespace {

std::vector<float> runMotion(const std::vector<float>& a) {
  vesk_motion* m = vesk_motion_create((vesk::test::motionModels() + "/nt8").c_str(), 1, "");
  if (m == nullptr) return {};
  vesk_motion_push(m, a.data(), static_cast<int>(a.size()));
  vesk_motion_finish(m);
  std::vector<float> out;
  int si[16];
  float xs[16 * 63], xd[16 * 63];
  while (int k = vesk_motion_pull(m, si, xs, xd, 16)) out.insert(out.end(), xd, xd + 63 * k);
  vesk_motion_destroy(m);
  return out;
}

std::vector<float> runFca(const std::vector<float>& a) {
  const std::string d = vesk::test::motionModels() + "/fca";
  vesk_fca* f = vesk_fca_create((d + "/audio_encoder_8s.onnx").c_str(), (d + "/fca_stream.onnx").c_str(), 1);
  if (f == nullptr) return {};
  std::vector<float> out(63 * ((a.size() + 639) / 640));
  const int n = vesk_fca_deltas(f, a.data(), static_cast<int>(a.size()), out.data(), static_cast<int>(out.size() / 63));
  vesk_fca_destroy(f);
  if (n < 0) out.clear();
  return out;
}

TEST(MotionThreads, SessionsOnSeveralThreadsComputeWhatOneThreadDoes) {
  const std::vector<float> a = vesk::test::voice(640 * 90, 6);
  const std::vector<float> motionRef = runMotion(a);
  const std::vector<float> fcaRef = runFca(a);
  ASSERT_EQ(motionRef.size(), 90u * 63);
  ASSERT_EQ(fcaRef.size(), 90u * 63);
  std::vector<std::vector<float>> motion(3), fca(3);
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i)
    threads.emplace_back([&, i] {
      motion[static_cast<size_t>(i)] = runMotion(a);
      fca[static_cast<size_t>(i)] = runFca(a);
    });
  for (auto& t : threads) t.join();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(motion[static_cast<size_t>(i)], motionRef) << i;
    EXPECT_EQ(fca[static_cast<size_t>(i)], fcaRef) << i;
  }
}

TEST(MotionThreads, EachThreadReadsItsOwnLastErrors) {
  std::atomic<int> failedPushes{0};
  std::string other, otherFca;
  std::atomic<bool> failed{false};
  std::thread a([&] {
    float x = 0;
    if (vesk_motion_push(nullptr, &x, 1) == 0) ++failedPushes;
    if (vesk_fca_create(nullptr, nullptr, 1) == nullptr) ++failedPushes;
    failed = true;
    EXPECT_STREQ(vesk_motion_last_error(), "vesk_motion_push: bad args / already finished");
    EXPECT_STREQ(vesk_fca_last_error(), "vesk_fca_create: NULL encoder_path/fca_path");
  });
  a.join();
  std::thread b([&] {
    other = vesk_motion_last_error();
    otherFca = vesk_fca_last_error();
  });
  b.join();
  EXPECT_TRUE(failed);
  EXPECT_EQ(failedPushes, 2);
  EXPECT_EQ(other, "");
  EXPECT_EQ(otherFca, "");
  EXPECT_STREQ(vesk_motion_last_error(), "");
}

}  // namespace
