#include "core/vesk_ort.h"

#include "core/vesk_env.h"
#include "core/vesk_pool.h"

namespace vesk::ort {
namespace {

const char* coremlComputeUnits(const std::string& units) {
  if (units == "cpu") return "CPUOnly";
  if (units == "gpu") return "CPUAndGPU";
  if (units == "ane") return "CPUAndNeuralEngine";
  return "ALL";
}

}  // namespace

Ort::Env& env() {
  static Ort::Env* e = new Ort::Env(ORT_LOGGING_LEVEL_WARNING, "vesk");
  return *e;
}

bool spinningFromEnv() { return env::flag("VESK_ORT_SPIN"); }

Ort::SessionOptions sessionOptions(const SessionConfig& config) {
  Ort::SessionOptions o;
  o.SetIntraOpNumThreads(config.threads < 1 ? pool::threads() : config.threads);
  o.SetInterOpNumThreads(1);
  o.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
  if (!config.spinning) o.AddConfigEntry("session.intra_op.allow_spinning", "0");
  if (config.kleidiaiOff) o.AddConfigEntry("mlas.disable_kleidiai", "1");
  if (!config.profilePrefix.empty()) o.EnableProfiling(config.profilePrefix.c_str());
  if (!config.coremlUnits.empty()) {
    o.AppendExecutionProvider("CoreML", {{"ModelFormat", "MLProgram"},
                                         {"MLComputeUnits", coremlComputeUnits(config.coremlUnits)},
                                         {"ModelCacheDirectory", config.coremlCacheDir}});
  }
  return o;
}

}  // namespace vesk::ort
