// The utterance session's configuration: how the options, the model directory and the pipeline's
// environment variables combine, without a session or a bundle.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "pipeline/vesk_utt_config.h"
#include "test_util.h"

namespace vesk::test {
namespace {

using utt::Config;
using utt::Environment;
using utt::makeConfig;
using utt::ModelDir;

const ModelDir kMotion{"/models/motion", false};
const ModelDir kA2x{"/models/a2x", true};

Config fromOpts(const vesk_utt_opts& o, const Environment& env = {}, const ModelDir& dir = kMotion) {
  return makeConfig(o, dir, env, 6, 8);
}

TEST(UttConfig, ZeroOptionsGiveTheDefaults) {
  const Config c = fromOpts(vesk_utt_opts{});
  EXPECT_EQ(c.motion_dir, "/models/motion");
  EXPECT_EQ(c.threads, 6);
  EXPECT_EQ(c.motion_ep, "");
  EXPECT_EQ(c.steady_key, "b24_fp32");
  EXPECT_EQ(c.eager, -1);
  EXPECT_FALSE(c.hybrid);
  EXPECT_EQ(c.modelEager(), -1);
  EXPECT_EQ(c.end_silence_ms, 600);
  EXPECT_EQ(c.ramp_frames, 6);
  EXPECT_EQ(c.interrupt_ramp_frames, 4);
  EXPECT_EQ(c.onset, -1);
  EXPECT_FALSE(c.pipelined);
  EXPECT_FALSE(c.uses_a2x);
  EXPECT_FALSE(c.stage_report);
}

TEST(UttConfig, OptionsOverrideTheDefaults) {
  vesk_utt_opts o{};
  o.threads = 3;
  o.motion_ep = "cuda";
  o.steady_model = "b8_fp32";
  o.eager = 5;
  o.end_silence_s = 1.25;
  o.ramp_frames = 9;
  o.interrupt_ramp_frames = 2;
  Environment env;
  env.hybrid = "1";  // ignored: the option chose an eager value
  const Config c = fromOpts(o, env);
  EXPECT_EQ(c.threads, 3);
  EXPECT_EQ(c.motion_ep, "cuda");
  EXPECT_EQ(c.steady_key, "b8_fp32");
  EXPECT_EQ(c.eager, 5);
  EXPECT_FALSE(c.hybrid);
  EXPECT_EQ(c.end_silence_ms, 1250);
  EXPECT_EQ(c.ramp_frames, 9);
  EXPECT_EQ(c.interrupt_ramp_frames, 2);

  o.end_silence_s = -0.5;
  EXPECT_EQ(fromOpts(o).end_silence_ms, -1);
  o.steady_model = "";
  EXPECT_EQ(fromOpts(o).steady_key, "b24_fp32");
}

TEST(UttConfig, HybridModeComesFromTheOptionOrAnyValueOtherThanZero) {
  vesk_utt_opts o{};
  o.eager = -2;
  EXPECT_TRUE(fromOpts(o).hybrid);
  EXPECT_EQ(fromOpts(o).modelEager(), 3);

  o.eager = 0;
  Environment env;
  EXPECT_FALSE(fromOpts(o, env).hybrid);
  env.hybrid = "0";
  EXPECT_FALSE(fromOpts(o, env).hybrid);
  env.hybrid = "1";
  EXPECT_TRUE(fromOpts(o, env).hybrid);
  env.hybrid = "yes";
  EXPECT_TRUE(fromOpts(o, env).hybrid);
}

TEST(UttConfig, PipelinedPasteFollowsTheModelUnlessTheVariableSays) {
  const vesk_utt_opts o{};
  Environment env;
  EXPECT_TRUE(fromOpts(o, env, kA2x).pipelined);
  EXPECT_TRUE(fromOpts(o, env, kA2x).uses_a2x);
  EXPECT_FALSE(fromOpts(o, env, kMotion).pipelined);
  env.pipeline_paste = 0;
  EXPECT_FALSE(fromOpts(o, env, kA2x).pipelined);
  env.pipeline_paste = 2;
  EXPECT_TRUE(fromOpts(o, env, kMotion).pipelined);
  env.pipeline_paste = -1;
  EXPECT_TRUE(fromOpts(o, env, kMotion).pipelined);
}

TEST(UttConfig, TheSteadyModelVariableOverridesTheOption) {
  vesk_utt_opts o{};
  o.steady_model = "b8_fp32";
  Environment env;
  env.steady_model = "-";
  EXPECT_EQ(fromOpts(o, env).steady_key, "-");
}

TEST(UttConfig, TheOnsetWrapsOnTheDriverFramesAndIgnoresWhatCannotBeAnIndex) {
  const vesk_utt_opts o{};
  Environment env;
  env.onset_si = 13;
  EXPECT_EQ(makeConfig(o, kMotion, env, 2, 8).onset, 5);
  EXPECT_EQ(makeConfig(o, kMotion, env, 2, 0).onset, -1);
  env.onset_si = 0;
  EXPECT_EQ(makeConfig(o, kMotion, env, 2, 8).onset, 0);
  env.onset_si = -3;
  EXPECT_EQ(makeConfig(o, kMotion, env, 2, 8).onset, -1);
}

TEST(UttConfig, TheEnvironmentIsReadWithTheSharedGrammar) {
  ScopedEnv paste("VESK_UTT_PIPELINE_PASTE", "0");
  ScopedEnv steady("VESK_STEADY_MODEL", "");
  ScopedEnv onset("VESK_UTT_ONSET_SI", "13");
  ScopedEnv hybrid("VESK_UTT_HYBRID", "on");
  ScopedEnv report("VESK_UTT_STAGE_REPORT", "yes");
  Environment env = Environment::read();
  EXPECT_EQ(env.pipeline_paste, 0);
  EXPECT_FALSE(env.steady_model.has_value());
  EXPECT_EQ(env.onset_si, 13);
  EXPECT_EQ(env.hybrid, "on");
  EXPECT_TRUE(env.stage_report);

  ScopedEnv bad("VESK_UTT_PIPELINE_PASTE", "2x");
  ScopedEnv none("VESK_UTT_STAGE_REPORT", nullptr);
  env = Environment::read();
  EXPECT_FALSE(env.pipeline_paste.has_value());
  EXPECT_FALSE(env.stage_report);
}

TEST(UttConfig, AModelDirectoryIsRequired) {
  for (const char* dir : {static_cast<const char*>(nullptr), ""}) {
    try {
      (void)utt::findModelDir(dir);
      ADD_FAILURE() << "no refusal";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "opts.motion_dir required");
    }
  }
}

}  // namespace
}  // namespace vesk::test
