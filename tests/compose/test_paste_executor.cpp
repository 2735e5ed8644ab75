#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "compose/vesk_paste.h"
#include "core/vesk_pool.h"

namespace vesk {
namespace {

// The executor line belongs to the first composite of the process that draws something, so the
// whole sequence lives in one case (ctest runs every case in a process of its own).
TEST(PasteExecutor, PrintedOnceByTheFirstDrawingComposite) {
  const int side = 16, W = 64, H = 48;
  Paste paste(std::vector<uint8_t>(size_t(side) * side, 255), side, PasteUnsharp{1.3f, 2.0f, 9});
  std::vector<float> crop(size_t(3) * side * side, 0.5f);
  std::vector<uint8_t> frame(size_t(W) * H * 3, 10);

  const float left[6] = {1, 0, -100, 0, 1, 5};
  const float singular[6] = {0, 0, 5, 0, 1, 5};
  testing::internal::CaptureStderr();
  paste.composite(crop.data(), 255.0f, left, frame.data(), W, H);
  paste.composite(crop.data(), 255.0f, singular, frame.data(), W, H);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "nothing drawn, nothing printed";

  const float shift[6] = {1, 0, 5, 0, 1, 5};
  testing::internal::CaptureStderr();
  paste.composite(crop.data(), 255.0f, shift, frame.data(), W, H);
  paste.composite(crop.data(), 255.0f, shift, frame.data(), W, H);
  const std::string want = "[vesk-paste] executor=cpu (side=16, ksize=9, threads=" +
                           std::to_string(pool::threads()) + ") \xE2\x80\x94 1080p frame\n";
  EXPECT_EQ(testing::internal::GetCapturedStderr(), want);

  Paste other(std::vector<uint8_t>(size_t(side) * side, 255), side, PasteUnsharp{});
  testing::internal::CaptureStderr();
  other.composite(crop.data(), 255.0f, shift, frame.data(), W, H);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "once per process, not per stage";
}

}  // namespace
}  // namespace vesk
