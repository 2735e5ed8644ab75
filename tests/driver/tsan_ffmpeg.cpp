// FFmpeg's frame threads synchronise through atomics inside libavcodec and libavutil, which are not
// built with ThreadSanitizer, so their hand-offs look like races. Only reports with a frame in those
// libraries are suppressed; the cursor's own synchronisation is checked against a fake source.
extern "C" const char* __tsan_default_suppressions();
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_suppressions() {
  return "race:libavcodec.so*\n"
         "race:libavutil.so*\n"
         "race:libavformat.so*\n";
}
