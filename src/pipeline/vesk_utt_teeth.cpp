#include "pipeline/vesk_utt_teeth.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <utility>

namespace vesk::utt {
namespace {

constexpr const char* kFlushEmpty =
    "flush: the pass held no pending frame while a crop was held \xE2\x80\x94 refusing to deliver it uncomposed";

void copyText(const std::string& text, char* buf, int size) {
  if (buf == nullptr || size <= 0) return;
  const size_t n = std::min(text.size(), static_cast<size_t>(size - 1));
  std::memcpy(buf, text.data(), n);
  buf[n] = '\0';
}

}  // namespace

TeethStage::TeethStage(MainLock& main, PasteStage& paste, int crop, bool pipelined_paste)
    : main_(main), paste_(paste), N_(crop), pipelined_paste_(pipelined_paste) {}

TeethStage::~TeethStage() { stop(); }

void TeethStage::stop() {
  {
    std::lock_guard<std::mutex> lk(main_.mu);
    stop_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void TeethStage::attach(std::unique_ptr<tessera::StreamBorrow> borrow, std::string geometry) {
  std::shared_ptr<tessera::StreamBorrow> old;
  {
    std::lock_guard<std::mutex> lk(main_.mu);
    old = std::move(borrow_);
    borrow_ = std::move(borrow);
    ++serial_;
    attach_generation_ = main_.generation;
    pipelined_ = pipelined_paste_;
    geometry_ = std::move(geometry);
    emitted_ = skipped_ = 0;
    last_text_.clear();
    failed_ = false;
    pass_stats_ = {};
    if (pipelined_ && !thread_.joinable() && !stop_) thread_ = std::thread([this] { tessLoop(); });
  }
  // The old pass dies here, or with the stage thread's last frame on it.
}

// ---- queries

int TeethStage::stats(int64_t* emitted, int64_t* skipped, char* buf, int size) {
  std::lock_guard<std::mutex> lk(main_.mu);
  if (borrow_ == nullptr) return 0;
  if (emitted != nullptr) *emitted = emitted_;
  if (skipped != nullptr) *skipped = skipped_;
  copyText(last_text_, buf, size);
  return failed_ ? -1 : 1;
}

int TeethStage::geometry(char* buf, int size) {
  if (buf == nullptr || size < 1) return 0;
  std::lock_guard<std::mutex> lk(main_.mu);
  copyText(borrow_ != nullptr ? geometry_ : std::string(), buf, size);
  return borrow_ != nullptr ? 1 : 0;
}

int TeethStage::synthW(double* mean, double* max, int64_t* count) {
  std::lock_guard<std::mutex> lk(main_.mu);
  if (borrow_ == nullptr || pass_stats_.masked_emissions < 1) return 0;
  const int64_t n = pass_stats_.masked_emissions;
  if (mean != nullptr) *mean = pass_stats_.share_sum / static_cast<double>(n);
  if (max != nullptr) *max = static_cast<double>(pass_stats_.share_max);
  if (count != nullptr) *count = n;
  return 1;
}

// ---- bookkeeping

void TeethStage::fail(uint64_t serial, const std::string& text) {
  std::lock_guard<std::mutex> lk(main_.mu);
  if (serial != serial_) return;
  failed_ = true;
  last_text_ = text;
}

void TeethStage::noteSkip(uint64_t serial, const std::string& reason) {
  std::lock_guard<std::mutex> lk(main_.mu);
  if (serial != serial_) return;
  ++skipped_;
  last_text_ = reason;
  failed_ = true;
}

void TeethStage::noteEmitted(uint64_t serial) {
  std::lock_guard<std::mutex> lk(main_.mu);
  if (serial == serial_) ++emitted_;
}

void TeethStage::notePass(const Armed& a, double ms) {
  std::lock_guard<std::mutex> lk(main_.mu);
  if (a.serial != serial_) return;
  pass_stats_ = a.borrow->pass().stats();
  teeth_ms_ += ms;
}

bool TeethStage::failed(uint64_t serial) {
  std::lock_guard<std::mutex> lk(main_.mu);
  return serial != serial_ || failed_;
}

void TeethStage::follow(uint64_t serial, int64_t attach_generation) {
  if (serial == serial_seen_) return;
  serial_seen_ = serial;
  holding_ = false;
  generation_seen_ = attach_generation;
}

void TeethStage::hold(const float* crop, int kind, int si, int index, const float* xd, int64_t generation,
                      double enqueue_ms) {
  if (crop != nullptr) {
    const size_t n = static_cast<size_t>(N_) * N_ * 3;
    held_.crop.resize(n);
    if (crop != held_.crop.data()) std::memcpy(held_.crop.data(), crop, n * sizeof(float));
  }
  held_.has_crop = true;
  held_.kind = kind;
  held_.si = si;
  held_.index = index;
  std::copy(xd, xd + kKpWidth, held_.xd.begin());
  held_.generation = generation;
  held_.enqueue_ms = enqueue_ms;
  holding_ = true;
}

bool TeethStage::emitHeld(const Armed& a, double* wait, bool* delivered) {
  *delivered = true;
  if (!holding_) return true;
  holding_ = false;
  if (result_.skipped) {
    noteSkip(a.serial, result_.reason);
    return false;
  }
  const double t0 = nowMs();
  try {
    tessera::StreamBorrow::writeWindowDelta(held_.crop.data(), N_, result_, a.borrow->pass().stamp());
  } catch (const std::exception& e) {
    fail(a.serial, e.what());
    return false;
  }
  if (pipelined_paste_) notePass(a, nowMs() - t0);
  noteEmitted(a.serial);
  *delivered = pipelined_paste_ ? pushPaste(held_)
                                : paste_.enqueueRaw(held_.crop.data(), held_.kind, held_.si, held_.index,
                                                    held_.xd.data(), held_.generation, wait);
  return true;
}

// ---- run thread

bool TeethStage::enqueue(const float* crop, int kind, int si, int index, const float* xd, int64_t generation,
                         double* wait) {
  Armed a;
  int64_t attach_generation;
  bool pipe, dead;
  {
    std::lock_guard<std::mutex> lk(main_.mu);
    a.borrow = borrow_;
    a.serial = serial_;
    attach_generation = attach_generation_;
    pipe = pipelined_;
    dead = failed_;
  }
  if (a.borrow == nullptr) return paste_.enqueueRaw(crop, kind, si, index, xd, generation, wait);
  if (dead) return false;
  if (pipe) return enqueueTess(crop, kind, si, index, xd, generation, wait);
  follow(a.serial, attach_generation);
  return inlineStage(a, crop, kind, si, index, xd, generation, wait);
}

bool TeethStage::inlineStage(const Armed& a, const float* crop, int kind, int si, int index, const float* xd,
                             int64_t generation, double* wait) {
  const float* kp = xd != nullptr ? xd : kZeroXd.data();
  if (crop == nullptr) {
    if (!tessDrain(a, true, wait)) return false;
    return paste_.enqueueRaw(nullptr, kind, si, index, xd, generation, wait);
  }
  bool answered;
  const double t0 = nowMs();
  try {
    answered = a.borrow->push(crop, kp, &result_);
  } catch (const std::exception& e) {
    holding_ = false;
    fail(a.serial, e.what());
    return false;
  }
  notePass(a, 0.0);
  if (wait != nullptr) *wait += nowMs() - t0;
  bool delivered = true;
  if (answered && !emitHeld(a, wait, &delivered)) return false;
  hold(crop, kind, si, index, kp, generation, nowMs());
  return delivered;
}

bool TeethStage::tessDrain(const Armed& a, bool onRunThread, double* wait) {
  if (!holding_) return true;
  bool answered;
  const double t0 = nowMs();
  try {
    answered = a.borrow->flush(&result_);
  } catch (const std::exception& e) {
    holding_ = false;
    fail(a.serial, e.what());
    return false;
  }
  // On the run thread the flush is time the frame waited; on the teeth thread it is the pass's own.
  const double dt = nowMs() - t0;
  notePass(a, onRunThread ? 0.0 : dt);
  if (wait != nullptr) *wait += dt;
  if (!answered) {
    holding_ = false;
    fail(a.serial, kFlushEmpty);
    return false;
  }
  bool delivered;
  return emitHeld(a, wait, &delivered);
}

void TeethStage::interruptInline() {
  Armed a;
  int64_t attach_generation;
  {
    std::lock_guard<std::mutex> lk(main_.mu);
    if (borrow_ == nullptr || pipelined_) return;
    a.borrow = borrow_;
    a.serial = serial_;
    attach_generation = attach_generation_;
  }
  follow(a.serial, attach_generation);
  holding_ = false;
  try {
    (void)a.borrow->flush(&result_);
  } catch (const std::exception&) {
    // The pending frame belonged to the abandoned utterance: nothing of it is delivered either way.
  }
  notePass(a, 0.0);
}

// ---- teeth thread

bool TeethStage::enqueueTess(const float* crop, int kind, int si, int index, const float* xd, int64_t generation,
                             double* wait) {
  const double t0 = nowMs();
  Frame* job = nullptr;
  {
    std::unique_lock<std::mutex> lk(main_.mu);
    for (;;) {
      if (main_.stop || main_.generation != generation) return false;
      if (job_count_ < kMaxJobs) break;
      main_.cv.wait_for(lk, kWait);
    }
    job = &jobs_[static_cast<size_t>((job_head_ + job_count_) % kMaxJobs)];
  }
  // The slot past the last waiting job is this thread's until the count publishes it.
  job->has_crop = crop != nullptr;
  if (crop != nullptr) {
    const size_t n = static_cast<size_t>(N_) * N_ * 3;
    job->crop.resize(n);
    std::memcpy(job->crop.data(), crop, n * sizeof(float));
  }
  job->kind = kind;
  job->si = si;
  job->index = index;
  const float* kp = xd != nullptr ? xd : kZeroXd.data();
  std::copy(kp, kp + kKpWidth, job->xd.begin());
  job->generation = generation;
  job->enqueue_ms = t0;
  {
    std::lock_guard<std::mutex> lk(main_.mu);
    if (main_.stop || main_.generation != generation) return false;
    ++job_count_;
    ++pending_;
  }
  cv_.notify_one();
  if (wait != nullptr) *wait += nowMs() - t0;
  return true;
}

void TeethStage::tessLoop() {
  Frame job;
  for (;;) {
    Armed a;
    int64_t attach_generation;
    {
      std::unique_lock<std::mutex> lk(main_.mu);
      while (job_count_ == 0 && !main_.stop && !stop_) cv_.wait(lk);
      if (main_.stop || stop_) return;
      Frame& front = jobs_[static_cast<size_t>(job_head_)];
      // Swapping hands the crop over without a copy; the slot keeps this thread's previous buffer.
      job.crop.swap(front.crop);
      job.has_crop = front.has_crop;
      job.kind = front.kind;
      job.si = front.si;
      job.index = front.index;
      job.xd = front.xd;
      job.generation = front.generation;
      job.enqueue_ms = front.enqueue_ms;
      job_head_ = (job_head_ + 1) % kMaxJobs;
      --job_count_;
      a.borrow = borrow_;
      a.serial = serial_;
      attach_generation = attach_generation_;
      if (job.generation != main_.generation) {
        --pending_;
        main_.cv.notify_all();
        continue;
      }
    }
    main_.cv.notify_all();
    follow(a.serial, attach_generation);
    tessStage(a, job);
    {
      std::lock_guard<std::mutex> lk(main_.mu);
      ++jobs_done_;
      --pending_;
    }
    main_.cv.notify_all();
  }
}

void TeethStage::tessStage(const Armed& a, Frame& job) {
  if (job.generation != generation_seen_) {
    // The frames held for an interrupted utterance are not delivered.
    try {
      (void)a.borrow->flush(&result_);
    } catch (const std::exception&) {
    }
    holding_ = false;
    generation_seen_ = job.generation;
  }
  if (failed(a.serial)) return;
  if (!job.has_crop) {
    if (tessDrain(a, false, nullptr)) (void)pushPaste(job);
    return;
  }
  bool answered;
  const double t0 = nowMs();
  try {
    answered = a.borrow->push(job.crop.data(), job.xd.data(), &result_);
  } catch (const std::exception& e) {
    holding_ = false;
    fail(a.serial, e.what());
    return;
  }
  notePass(a, nowMs() - t0);
  bool delivered;
  if (answered && !emitHeld(a, nullptr, &delivered)) return;
  // The job's buffer becomes the held crop; the old held buffer serves the next job.
  held_.crop.swap(job.crop);
  hold(held_.crop.data(), job.kind, job.si, job.index, job.xd.data(), job.generation, job.enqueue_ms);
}

bool TeethStage::pushPaste(const Frame& f) {
  return paste_.pushJob(f.has_crop ? f.crop.data() : nullptr, f.kind, f.si, f.index, f.xd.data(), f.generation,
                        f.enqueue_ms, kMaxJobs);
}

}  // namespace vesk::utt
