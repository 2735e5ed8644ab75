#include "pipeline/vesk_utt_config.h"

#include <limits>
#include <stdexcept>

#include "bundle/vesk_imx.h"
#include "core/vesk_env.h"
#include "core/vesk_file.h"

namespace vesk::utt {

Environment Environment::read() {
  constexpr long long kAny = std::numeric_limits<long long>::max();
  Environment env;
  env.pipeline_paste = env::integer("VESK_UTT_PIPELINE_PASTE", -kAny - 1, kAny);
  env.steady_model = env::text("VESK_STEADY_MODEL");
  // A negative index is read as a number and then ignored, as an unset one.
  env.onset_si = env::integer("VESK_UTT_ONSET_SI", -kAny - 1, kAny);
  env.hybrid = env::text("VESK_UTT_HYBRID");
  env.stage_report = env::text("VESK_UTT_STAGE_REPORT").has_value();
  return env;
}

ModelDir findModelDir(const char* motion_dir) {
  if (motion_dir == nullptr || *motion_dir == '\0') throw std::runtime_error("opts.motion_dir required");
  ModelDir dir;
  dir.path = resolveBundlePath(motion_dir);
  dir.a2x = canOpenForReading(resolveMember(dir.path, "a2x_enc_stream.onnx"));
  return dir;
}

Config makeConfig(const vesk_utt_opts& opts, const ModelDir& dir, const Environment& env, int ctx_threads, int nt) {
  Config c;
  c.motion_dir = dir.path;
  c.uses_a2x = dir.a2x;
  c.threads = opts.threads >= 1 ? opts.threads : ctx_threads;
  c.motion_ep = opts.motion_ep != nullptr ? opts.motion_ep : "";

  c.pipelined = env.pipeline_paste ? *env.pipeline_paste != 0 : dir.a2x;
  c.steady_key = (opts.steady_model != nullptr && *opts.steady_model != '\0') ? opts.steady_model : "b24_fp32";
  if (env.steady_model) c.steady_key = *env.steady_model;
  if (env.onset_si && *env.onset_si >= 0 && nt > 0) c.onset = static_cast<int>(*env.onset_si % nt);

  if (opts.eager == -2) {
    c.hybrid = true;
  } else if (opts.eager >= 1) {
    c.eager = opts.eager;
  } else {
    // Any value but "0" turns it on, not only "1".
    c.hybrid = env.hybrid && *env.hybrid != "0";
  }
  if (opts.end_silence_s < 0) {
    c.end_silence_ms = -1;
  } else if (opts.end_silence_s > 0) {
    c.end_silence_ms = static_cast<int64_t>(opts.end_silence_s * 1000.0);
  }
  if (opts.ramp_frames >= 1) c.ramp_frames = opts.ramp_frames;
  if (opts.interrupt_ramp_frames >= 1) c.interrupt_ramp_frames = opts.interrupt_ramp_frames;
  c.stage_report = env.stage_report;
  return c;
}

}  // namespace vesk::utt
