// The one environment reader: what each form of value reads as, and the single line a bad value gets.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "core/vesk_env.h"
#include "test_util.h"

namespace vesk {
namespace {

using test::ScopedEnv;

std::string stderrOf(const std::function<void()>& fn) {
  ::testing::internal::CaptureStderr();
  fn();
  return ::testing::internal::GetCapturedStderr();
}

TEST(Env, UnsetAndEmptyAreBothNotGiven) {
  {
    ScopedEnv v("VESK_TEST_ENV_A", nullptr);
    EXPECT_FALSE(env::text("VESK_TEST_ENV_A"));
    EXPECT_TRUE(env::flag("VESK_TEST_ENV_A", true));
    EXPECT_FALSE(env::integer("VESK_TEST_ENV_A", 0, 9));
    EXPECT_FALSE(env::leadingInteger("VESK_TEST_ENV_A"));
  }
  ScopedEnv v("VESK_TEST_ENV_A", "");
  EXPECT_EQ(stderrOf([] {
              EXPECT_FALSE(env::text("VESK_TEST_ENV_A"));
              EXPECT_FALSE(env::flag("VESK_TEST_ENV_A"));
              EXPECT_FALSE(env::integer("VESK_TEST_ENV_A", 0, 9));
            }),
            "");
}

TEST(Env, SwitchesAreZeroOrOne) {
  ScopedEnv a("VESK_TEST_ENV_ON", "1");
  ScopedEnv b("VESK_TEST_ENV_OFF", "0");
  ScopedEnv c("VESK_TEST_ENV_YES", "yes");
  EXPECT_TRUE(env::flag("VESK_TEST_ENV_ON"));
  EXPECT_FALSE(env::flag("VESK_TEST_ENV_OFF", true));
  bool got = true;
  const std::string err = stderrOf([&] { got = env::flag("VESK_TEST_ENV_YES", false); });
  EXPECT_FALSE(got);  // not a switch: the default stands
  EXPECT_EQ(err, "[vesk] VESK_TEST_ENV_YES='yes' is not 0 or 1; it is ignored\n");
  // Said once, however often it is read.
  EXPECT_EQ(stderrOf([] { env::flag("VESK_TEST_ENV_YES"); }), "");
}

TEST(Env, NumbersAreWholeAndInRange) {
  ScopedEnv a("VESK_TEST_ENV_N", "12");
  EXPECT_EQ(env::integer("VESK_TEST_ENV_N", 0, 12), 12);
  EXPECT_EQ(env::leadingInteger("VESK_TEST_ENV_N"), 12);
  {
    ScopedEnv b("VESK_TEST_ENV_BIG", "13");
    EXPECT_EQ(stderrOf([] { EXPECT_FALSE(env::integer("VESK_TEST_ENV_BIG", 0, 12)); }),
              "[vesk] VESK_TEST_ENV_BIG='13' is not a whole number from 0 to 12; it is ignored\n");
  }
  ScopedEnv c("VESK_TEST_ENV_WORDS", "3 threads");
  EXPECT_NE(stderrOf([] { EXPECT_FALSE(env::integer("VESK_TEST_ENV_WORDS", 0, 9)); }), "");
  // The variables documented to read their leading number still do.
  EXPECT_EQ(env::leadingInteger("VESK_TEST_ENV_WORDS"), 3);
  ScopedEnv d("VESK_TEST_ENV_NAN", "many");
  EXPECT_EQ(stderrOf([] { EXPECT_FALSE(env::leadingInteger("VESK_TEST_ENV_NAN")); }),
            "[vesk] VESK_TEST_ENV_NAN='many' is not a number; it is ignored\n");
}

}  // namespace
}  // namespace vesk
