// The utterance session's configuration: its options, its model directory and the pipeline's
// environment variables, reduced to one record before any thread starts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "vesk/vesk.h"

namespace vesk::utt {

// The pipeline's environment variables, as the shared reader gives them.
struct Environment {
  std::optional<long long> pipeline_paste;  // VESK_UTT_PIPELINE_PASTE
  std::optional<std::string> steady_model;  // VESK_STEADY_MODEL
  std::optional<long long> onset_si;        // VESK_UTT_ONSET_SI
  std::optional<std::string> hybrid;        // VESK_UTT_HYBRID
  bool stage_report = false;                // VESK_UTT_STAGE_REPORT

  static Environment read();
};

// The audio model's directory, resolved, and which model it holds.
struct ModelDir {
  std::string path;
  bool a2x = false;  // it holds the streaming a2x model, else the motion model
};

// Throws "opts.motion_dir required" when the option is null or empty.
ModelDir findModelDir(const char* motion_dir);

struct Config {
  std::string motion_dir;
  int threads = 0;
  std::string motion_ep;
  std::string steady_key;  // "-": no steady chunk renderer
  int eager = -1;
  bool hybrid = false;
  int64_t end_silence_ms = 600;  // -1: an utterance ends only by the end call
  int ramp_frames = 6;
  int interrupt_ramp_frames = 4;
  int onset = -1;  // the driver index every utterance starts on; -1: where the cursor is
  bool pipelined = false;
  bool uses_a2x = false;
  bool stage_report = false;

  // The eager value the model is first given: hybrid mode starts at 3.
  int modelEager() const { return hybrid ? 3 : eager; }
};

// ctx_threads: the render context's thread count; nt: the driver frames of its manifest.
Config makeConfig(const vesk_utt_opts& opts, const ModelDir& dir, const Environment& env, int ctx_threads, int nt);

}  // namespace vesk::utt
