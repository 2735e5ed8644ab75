// ONNX Runtime is not built with ThreadSanitizer; its own thread pool hands work over through
// atomics the tool cannot see. Only reports with a frame inside the runtime are suppressed; the
// owner thread and the sessions' own synchronisation are ours and stay checked.
extern "C" const char* __tsan_default_suppressions();
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_suppressions() {
  return "race:libonnxruntime.so*\n";
}
