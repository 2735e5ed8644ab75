#include "pipeline/vesk_stream.h"

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>


namespace vesk::stream {

std::vector<int> sourceIndices(int frames, int nt, int skip) {
  std::vector<int> out;
  if (frames > skip) out.reserve(static_cast<size_t>(frames - skip));
  int u = 0;
  for (int t = 0; t < frames; ++t) {
    if (t >= skip) out.push_back(u);
    u = nt >= 2 ? (u + 1) % nt : 0;
  }
  return out;
}

namespace {

// The ring's counters and the two stages' shared flags. Every change that a waiting side must see
// is made under the mutex, so no wake-up is lost between a side's check and its wait.
struct Ring {
  std::mutex m;
  std::condition_variable cropReady;
  std::condition_variable slotFree;
  int rendered = 0;
  int pasted = 0;
  bool done = false;
  std::atomic<bool> failed{false};

  void fail() {
    {
      std::lock_guard<std::mutex> lk(m);
      failed.store(true);
    }
    cropReady.notify_all();
    slotFree.notify_all();
  }
};

}  // namespace

bool runPipeline(int count, size_t cropFloats, const RenderStage& render, const PasteStage& paste,
                 const DeliverStage& deliver) {
  if (count < 1) return true;
  std::vector<float> slots(static_cast<size_t>(kRingSlots) * cropFloats);
  Ring ring;
  std::exception_ptr renderError;

  std::thread renderer([&] {
    try {
      for (int r = 0; r < count && !ring.failed.load(); ++r) {
        const float* crop = render(r);
        if (crop == nullptr) {
          ring.fail();
          break;
        }
        {
          std::unique_lock<std::mutex> lk(ring.m);
          ring.slotFree.wait(lk, [&] { return ring.rendered - ring.pasted < kRingSlots || ring.failed.load(); });
          if (ring.failed.load()) break;
        }
        // The slot is free until `rendered` counts it: the paste side reads only counted slots.
        std::memcpy(&slots[static_cast<size_t>(r % kRingSlots) * cropFloats], crop, cropFloats * sizeof(float));
        {
          std::lock_guard<std::mutex> lk(ring.m);
          ++ring.rendered;
        }
        ring.cropReady.notify_one();
      }
    } catch (...) {
      renderError = std::current_exception();
      ring.fail();
    }
    {
      std::lock_guard<std::mutex> lk(ring.m);
      ring.done = true;
    }
    ring.cropReady.notify_one();
  });
  // However the paste loop ends (a failure, or an exception from a stage), the render thread is told
  // to stop before it is joined, so it never waits for a slot that nobody will free.
  int completed = 0;
  try {
    for (int r = 0; r < count; ++r) {
      {
        std::unique_lock<std::mutex> lk(ring.m);
        ring.cropReady.wait(lk, [&] { return ring.rendered > r || ring.done || ring.failed.load(); });
        if (ring.failed.load() || ring.rendered <= r) break;
      }
      if (!paste(r, &slots[static_cast<size_t>(r % kRingSlots) * cropFloats])) {
        ring.fail();
        break;
      }
      {
        std::lock_guard<std::mutex> lk(ring.m);
        ++ring.pasted;
      }
      ring.slotFree.notify_one();
      deliver(r);
      ++completed;
    }
  } catch (...) {
    ring.fail();
    renderer.join();
    throw;
  }
  renderer.join();
  if (renderError) std::rethrow_exception(renderError);
  return completed == count && !ring.failed.load();
}

}  // namespace vesk::stream
