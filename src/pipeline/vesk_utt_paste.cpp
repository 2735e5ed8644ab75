#include "pipeline/vesk_utt_paste.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace vesk::utt {
namespace {

// The frame's xd row, or zeros for a frame that has none.
void keepXd(std::array<float, kKpWidth>& out, const float* xd) {
  if (xd != nullptr) {
    std::copy(xd, xd + kKpWidth, out.begin());
  } else {
    out.fill(0.0f);
  }
}

}  // namespace

PasteStage::PasteStage(RenderContext& ctx, MainLock& main, std::mutex& prior_mu, bool pipelined, FailureNote note,
                       StepHook step)
    : ctx_(ctx),
      main_(main),
      prior_mu_(prior_mu),
      pipelined_(pipelined),
      note_(std::move(note)),
      step_(std::move(step)),
      W_(ctx.manifest.W),
      H_(ctx.manifest.H),
      frame_bytes_(static_cast<size_t>(W_) * static_cast<size_t>(H_) * 3),
      crop_floats_(static_cast<size_t>(ctx.manifest.crop) * static_cast<size_t>(ctx.manifest.crop) * 3) {
  for (Slot& s : ring_) s.bytes.assign(frame_bytes_, 0);
}

PasteStage::~PasteStage() { stop(); }

void PasteStage::start() {
  if (pipelined_) thread_ = std::thread([this] { pasteLoop(); });
}

void PasteStage::stop() {
  {
    std::lock_guard<std::mutex> lk(main_.mu);
    stop_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

int PasteStage::framesAvailable() {
  std::lock_guard<std::mutex> lk(main_.mu);
  return readyLocked();
}

Pull PasteStage::pull(void* dst, size_t dst_len, vesk_utt_frame_info* info) {
  {
    std::lock_guard<std::mutex> lk(main_.mu);
    if (write_ == read_) return Pull::None;
    if (dst_len < frame_bytes_) return Pull::TooSmall;
    const Slot& s = ring_[static_cast<size_t>(read_ % kRing)];
    std::memcpy(dst, s.bytes.data(), frame_bytes_);
    if (info != nullptr) {
      info->seq = s.seq;
      info->kind = s.kind;
      info->si = s.si;
      info->index = s.index;
    }
    delivered_.any = true;
    delivered_.kind = s.kind;
    delivered_.si = s.si;
    delivered_.xd = s.xd;
    ++read_;
    ++frames_;
    if (s.kind == VESK_UTT_SPEECH) ++speech_frames_;
  }
  main_.cv.notify_all();
  return Pull::Copied;
}

void PasteStage::setUtteranceStart(double first_push_ms) {
  std::lock_guard<std::mutex> lk(main_.mu);
  utt_start_ms_ = first_push_ms;
}

void PasteStage::dropLocked() {
  read_ = write_;
  job_count_ = 0;
}

void PasteStage::statsLocked(vesk_utt_stats* out) const {
  out->frames = frames_;
  out->speech_frames = speech_frames_;
  out->utterances = utterances_;
  out->first_frame_ms = first_frame_ms_;
}

bool PasteStage::enqueueRaw(const float* crop, int kind, int si, int index, const float* xd, int64_t generation,
                            double* wait) {
  if (pipelined_) return enqueuePipe(crop, kind, si, index, xd, generation, wait);
  return pasteInto(crop, kind, si, index, xd, generation, 0.0, wait);
}

bool PasteStage::pasteInto(const float* crop, int kind, int si, int index, const float* xd, int64_t generation,
                           double enqueue_ms, double* wait) {
  Slot* slot = nullptr;
  {
    std::unique_lock<std::mutex> lk(main_.mu);
    for (;;) {
      if (main_.stop || main_.generation != generation) return false;
      if (write_ - read_ < kRing) break;
      main_.cv.wait_for(lk, kWait);
    }
    slot = &ring_[static_cast<size_t>(write_ % kRing)];
  }
  const double t0 = nowMs();
  const bool pasted = attempt(note_, "paste", true, [&] {
    (void)ctx_.cursor->pullAt(si, slot->bytes.data());
    if (step_) step_("driver", si, slot->bytes.data());
    if (crop != nullptr) {
      ctx_.paste->composite(crop, 255.0f, ctx_.identity.M(si), slot->bytes.data(), W_, H_);
      if (step_) step_("composite", si, slot->bytes.data());
    } else if (!ctx_.identity.hasMappedP()) {
      std::lock_guard<std::mutex> pl(prior_mu_);
      ctx_.prior.walk(si);
    }
  });
  if (!pasted) {
    // The slot holds an older frame or a half-pasted one, which the host would take for this one: it
    // gets the bare driver frame instead, so its timeline keeps its length. Without even that, the
    // frame is skipped.
    try {
      (void)ctx_.cursor->pullAt(si, slot->bytes.data());
    } catch (...) {
      return true;
    }
  }
  const double paste_ms = nowMs() - t0;
  if (wait != nullptr) *wait += paste_ms;
  slot->kind = kind;
  slot->si = si;
  slot->index = index;
  keepXd(slot->xd, xd);
  {
    std::lock_guard<std::mutex> lk(main_.mu);
    if (main_.stop || main_.generation != generation) return false;
    slot->seq = next_seq_++;
    ++write_;
    const double now = nowMs();
    if (index == 0 && kind == VESK_UTT_SPEECH) {
      ++utterances_;
      first_frame_ms_ = now - utt_start_ms_;
    }
    if (pipelined_) {
      timing_.paste_total += paste_ms;
      if (kind == VESK_UTT_SPEECH && enqueue_ms > 0) {
        ++timing_.latency_count;
        timing_.latency_total += now - enqueue_ms;
      }
    }
  }
  main_.cv.notify_all();
  return true;
}

bool PasteStage::enqueuePipe(const float* crop, int kind, int si, int index, const float* xd, int64_t generation,
                             double* wait) {
  return enqueueJob(crop, kind, si, index, xd, generation, -1.0, kMaxJobs, wait);
}

bool PasteStage::pushJob(const float* crop, int kind, int si, int index, const float* xd, int64_t generation,
                         double enqueue_ms, int limit) {
  return enqueueJob(crop, kind, si, index, xd, generation, enqueue_ms, std::min(limit, kMaxJobs), nullptr);
}

bool PasteStage::enqueueJob(const float* crop, int kind, int si, int index, const float* xd, int64_t generation,
                            double enqueue_ms, int limit, double* wait) {
  const double t0 = nowMs();
  Job* job = nullptr;
  {
    std::unique_lock<std::mutex> lk(main_.mu);
    for (;;) {
      if (main_.stop || main_.generation != generation) return false;
      if (job_count_ < limit) break;
      main_.cv.wait_for(lk, kWait);
    }
    job = &jobs_[static_cast<size_t>((job_head_ + job_count_) % kMaxJobs)];
  }
  job->has_crop = crop != nullptr;
  if (crop != nullptr) {
    job->crop.resize(crop_floats_);
    std::memcpy(job->crop.data(), crop, crop_floats_ * sizeof(float));
  }
  job->kind = kind;
  job->si = si;
  job->index = index;
  keepXd(job->xd, xd);
  job->generation = generation;
  job->enqueue_ms = enqueue_ms < 0 ? nowMs() : enqueue_ms;
  {
    std::lock_guard<std::mutex> lk(main_.mu);
    if (main_.stop || main_.generation != generation) return false;
    ++job_count_;
  }
  cv_.notify_one();
  if (wait != nullptr) *wait += nowMs() - t0;
  return true;
}

void PasteStage::pasteLoop() {
  for (;;) {
    bool has_crop;
    int32_t kind, si, index;
    std::array<float, kKpWidth> xd;
    int64_t generation;
    double enqueue_ms;
    {
      std::unique_lock<std::mutex> lk(main_.mu);
      while (job_count_ == 0 && !main_.stop && !stop_) cv_.wait(lk);
      if (main_.stop || stop_) return;
      Job& front = jobs_[static_cast<size_t>(job_head_)];
      // Swapping buffers hands the crop over without a copy or an allocation; the job slot keeps this
      // thread's previous buffer for its next job.
      work_.swap(front.crop);
      has_crop = front.has_crop;
      kind = front.kind;
      si = front.si;
      index = front.index;
      xd = front.xd;
      generation = front.generation;
      enqueue_ms = front.enqueue_ms;
      job_head_ = (job_head_ + 1) % kMaxJobs;
      --job_count_;
      if (generation != main_.generation) continue;
    }
    main_.cv.notify_all();
    if (pasteInto(has_crop ? work_.data() : nullptr, kind, si, index, xd.data(), generation, enqueue_ms, nullptr)) {
      std::lock_guard<std::mutex> lk(main_.mu);
      ++timing_.jobs;
    }
  }
}

}  // namespace vesk::utt
