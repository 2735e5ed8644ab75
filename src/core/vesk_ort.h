// ONNX Runtime for the whole library: one process-wide environment, and session options made from a
// small description, so every session (director, audio models, speech encoders) is set up alike.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <string>

namespace vesk::ort {

// Made on first use and never destroyed: sessions may outlive any static of ours.
Ort::Env& env();

struct SessionConfig {
  int threads = 0;             // intra-op threads; below 1: the worker pool's size
  bool spinning = false;       // leave intra-op spinning on (idle spinners compete with the pool)
  bool kleidiaiOff = false;    // "mlas.disable_kleidiai"
  std::string profilePrefix;   // non-empty: profiling on, files named from it
  std::string coremlUnits;     // non-empty: the CoreML provider on "cpu", "gpu", "ane" or "all"
  std::string coremlCacheDir;  // where CoreML keeps its compiled models
};

// VESK_ORT_SPIN=1 keeps spinning on for the sessions that honour it.
bool spinningFromEnv();

// Inter-op threads 1 and every graph optimisation, plus what `config` asks for. Appending the CoreML
// provider throws where the runtime has none.
Ort::SessionOptions sessionOptions(const SessionConfig& config);

}  // namespace vesk::ort
