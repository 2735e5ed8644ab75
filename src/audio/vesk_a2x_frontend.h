// Process-wide speech frontends shared by every streaming audio session: the 8 s encoder, the
// short-window trunk and head, the owner thread that serialises their jobs on a CUDA plane, the
// CUDA set-up, and a session opener that survives one ONNX Runtime fusion failure.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vesk {

constexpr int kW2vLayers = 12;
constexpr int kW2vChannels = 768;
constexpr int kFeatSize = kW2vLayers * kW2vChannels;  // floats per feature frame
constexpr int kW2v8Samples = 128000;
constexpr int kW2v8Frames = 200;
constexpr int kWinSamples = 32000;
constexpr int kTrunkChannels = 640;
constexpr int kHeadFrames = 8;

// Runs job to completion: on the owner thread when VESK_A2X_CUDA is "1" (so every frontend job of
// the process runs on that one thread, one at a time), else inline; inline as well when called on
// the owner thread itself. The job's exception is rethrown here.
void vesk_a2x_on_owner_thread(const std::function<void()>& job);

// Opens a session; a float16 Gelu fusion the CPU provider cannot run makes it reopen once at the
// basic optimisation level.
Ort::Session vesk_a2x_open_session(const std::string& path, Ort::SessionOptions& options);

// Adds the CUDA provider to options when VESK_A2X_CUDA is "1" and tag is "w2v"; reports a fallback
// to the CPU on one line.
void vesk_a2x_maybe_cuda(Ort::SessionOptions& options, const char* tag);

// Session options of the frontends and of the streaming models: intra-op threads, one inter-op
// thread, no spinning, full graph optimisation.
Ort::SessionOptions a2xSessionOptions(int intraThreads);

// The shared 8 s encoder, loaded on the first call (later callers get the first session, whatever
// path they pass). Null when it does not load; why then holds the reason.
Ort::Session* get_shared_w2v(const std::string& path, int threads, std::string* why = nullptr);

// Loads the short-window pair once per process (explicit variables, else beside the 8 s encoder);
// true when it serves.
bool get_shared_w2v_win(int threads, const std::string& w2vPath);

// Trunk length of the short-window frontend: 0 until known.
int shortWindowTrunkLength();

// One trunk run on a normalised 2 s window: its first output, checked to be 640 channels x LT
// halves (channel-major); read it in place. Learns LT.
Ort::Value runShortWindowTrunk(const float* window, int& lt);

// One head run: x is 8 x 640, emb receives 8 x 12 x 768.
void runShortWindowHead(const float* x, float* emb);

// One run of the 8 s encoder on a normalised window: "audio_emb", checked to hold 12 x 200 x 768
// floats (layer, frame, channel); read it in place.
Ort::Value runW2v8(Ort::Session& session, const float* window);

// Processor time of the calling threads spent inside Session::Run by the streaming models and the
// frontends, process-wide, counted only while enabled (the benchmarks use it, with one intra-op
// thread, to show how much of a call is the library's own work; other processes do not skew it).
void setRunClock(bool on);
int64_t runClockNanos();

// Adds the duration of one Session::Run to the clock while it is enabled.
class RunTimer {
 public:
  RunTimer();
  ~RunTimer();
  RunTimer(const RunTimer&) = delete;
  RunTimer& operator=(const RunTimer&) = delete;

 private:
  int64_t start_;
};

// In place: (x - mean) / sqrt(var + 1e-7), with mean and variance summed in double.
void normaliseWindow(float* x, size_t n);

// Through half precision and back; magnitudes below the smallest normal half become signed zeros.
float roundFeature(float v);
// roundFeature over n values (src and dst may be the same), with the vector kernels.
void roundFeatures(const float* src, float* dst, size_t n);

}  // namespace vesk
