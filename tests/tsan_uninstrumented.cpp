// FFmpeg's frame threads and ONNX Runtime's thread pool synchronise inside libraries that are not
// built with ThreadSanitizer, so their own hand-offs look like races. Only reports with a frame in
// those libraries are suppressed; our own synchronisation is checked without them (fake sources,
// and the pool, cursor and pipeline's own locks).
extern "C" const char* __tsan_default_suppressions();
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_suppressions() {
  return "race:libavcodec.so*\n"
         "race:libavutil.so*\n"
         "race:libavformat.so*\n"
         "race:libonnxruntime.so*\n";
}
