#include "core/vesk_pool.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "core/vesk_env.h"

namespace vesk::pool {

namespace {

constexpr int kDefaultThreads = 4;

// True on a thread that is running a chunk: its own nested calls must stay serial. Workers keep it
// set for their whole life, the caller while its job is out.
thread_local bool g_inRegion = false;

void runChunk(const std::function<void(size_t, size_t)>& fn, size_t n, int parts, int i) {
  const Chunk c = chunkOf(n, parts, i);
  if (c.begin < c.end) fn(c.begin, c.end);
}

class Pool {
 public:
  explicit Pool(int size) : size_(size) {
    workers_.reserve(static_cast<size_t>(std::max(size_ - 1, 0)));
    for (int i = 1; i < size_; ++i) workers_.emplace_back([this, i] { workerLoop(i); });
  }

  ~Pool() {
    {
      std::lock_guard<std::mutex> lk(mutex_);
      stop_ = true;
      ++jobSeq_;
    }
    work_.notify_all();
    for (auto& t : workers_) t.join();
  }

  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  void run(size_t n, int parts, const std::function<void(size_t, size_t)>& fn) {
    {
      std::lock_guard<std::mutex> lk(mutex_);
      jobFn_ = &fn;
      jobN_ = n;
      jobParts_ = parts;
      pending_ = size_ - 1;
      error_ = nullptr;
      ++jobSeq_;
    }
    work_.notify_all();

    // The workers hold a pointer to fn: whatever chunk 0 does, wait for them before leaving.
    std::exception_ptr mine;
    try {
      runChunk(fn, n, parts, 0);
    } catch (...) {
      mine = std::current_exception();
    }

    std::exception_ptr theirs;
    {
      std::unique_lock<std::mutex> lk(mutex_);
      done_.wait(lk, [this] { return pending_ == 0; });
      jobFn_ = nullptr;
      theirs = error_;
      error_ = nullptr;
    }
    if (mine) std::rethrow_exception(mine);
    if (theirs) std::rethrow_exception(theirs);
  }

 private:
  void workerLoop(int index) {
    g_inRegion = true;
    uint64_t served = 0;
    std::unique_lock<std::mutex> lk(mutex_);
    for (;;) {
      work_.wait(lk, [&] { return stop_ || jobSeq_ != served; });
      if (stop_) return;
      served = jobSeq_;
      const auto* fn = jobFn_;
      const size_t n = jobN_;
      const int parts = jobParts_;
      lk.unlock();
      std::exception_ptr err;
      if (index < parts) {
        // An exception must not end the process from a worker; the caller rethrows it.
        try {
          runChunk(*fn, n, parts, index);
        } catch (...) {
          err = std::current_exception();
        }
      }
      lk.lock();
      if (err && !error_) error_ = err;
      if (--pending_ == 0) done_.notify_one();
    }
  }

  // Set at construction and only read after.
  const int size_;
  std::vector<std::thread> workers_;

  // mutex_ guards everything below. A job is published by bumping jobSeq_ (work_ wakes the
  // workers); each worker takes one chunk per sequence number and counts pending_ down (done_ wakes
  // the caller at zero). jobFn_ stays valid until the caller has seen pending_ reach zero.
  std::mutex mutex_;
  std::condition_variable work_;
  std::condition_variable done_;
  const std::function<void(size_t, size_t)>* jobFn_ = nullptr;
  uint64_t jobN_ = 0;
  int jobParts_ = 0;
  int pending_ = 0;
  uint64_t jobSeq_ = 0;
  bool stop_ = false;
  std::exception_ptr error_;
};

}  // namespace

int threadCountFor(const char* core, const char* paste, unsigned hw) {
  const char* request = (core && *core) ? core : paste;
  int requested = kDefaultThreads;
  if (request && *request) {
    // Leading decimal integer, as strtol reads it; anything not a positive count means one thread.
    char* end = nullptr;
    const long v = std::strtol(request, &end, 10);
    requested = v <= 0 ? 1 : static_cast<int>(std::min<long>(v, 1 << 16));
  }
  if (hw > 0 && hw < static_cast<unsigned>(requested)) return static_cast<int>(hw);
  return requested;
}

int partsFor(size_t n, size_t grain, int threadCount) {
  if (threadCount <= 1) return 1;
  const size_t q = n / std::max<size_t>(grain, 1);
  if (q <= 1) return 1;
  return static_cast<int>(std::min<size_t>(q, static_cast<size_t>(threadCount)));
}

Chunk chunkOf(size_t n, int parts, int i) {
  if (parts < 1 || i < 0 || i >= parts) return {n, n};
  const size_t p = static_cast<size_t>(parts);
  const size_t c = n / p + (n % p != 0 ? 1 : 0);
  const size_t b = static_cast<size_t>(i) * c;
  if (b >= n) return {n, n};
  return {b, std::min(n, b + c)};
}

int threads() {
  static const int count = [] {
    const auto core = env::text("VESK_CORE_THREADS");
    const auto paste = env::text("VESK_PASTE_THREADS");
    return threadCountFor(core ? core->c_str() : nullptr, paste ? paste->c_str() : nullptr,
                          std::thread::hardware_concurrency());
  }();
  return count;
}

bool available() { return true; }

int parts(size_t n, size_t grain) { return partsFor(n, grain, threads()); }

void parallelRange(size_t n, size_t grain, const std::function<void(size_t, size_t)>& fn) {
  const int p = g_inRegion ? 1 : parts(n, grain);
  if (p < 2) {
    fn(0, n);
    return;
  }
  thread_local Pool pool(threads());
  g_inRegion = true;
  struct Leave {
    ~Leave() { g_inRegion = false; }
  } leave;
  pool.run(n, p, fn);
}

}  // namespace vesk::pool
