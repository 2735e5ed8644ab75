#include "pipeline/vesk_utt.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "render/vesk_context.h"
#include "bundle/vesk_imx.h"
#include "render/vesk_renderer.h"
#include "core/vesk_file.h"

namespace {

constexpr auto kWait = std::chrono::milliseconds(2);

double nowMs() {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

const char* envOrNull(const char* name) {
  const char* v = std::getenv(name);
  return (v != nullptr && *v != '\0') ? v : nullptr;
}

// A whole decimal integer, or false.
bool parseDecimal(const char* s, long long* out) {
  if (s == nullptr || *s == '\0') return false;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(s, &end, 10);
  if (errno != 0 || end == s || *end != '\0') return false;
  *out = v;
  return true;
}

std::vector<float> readFloatsOrEmpty(const std::string& path) {
  struct Closer {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
  };
  std::unique_ptr<std::FILE, Closer> f(std::fopen(path.c_str(), "rb"));
  if (!f) return {};
  std::vector<float> out;
  float buf[1024];
  size_t got;
  while ((got = std::fread(buf, sizeof(float), 1024, f.get())) > 0) out.insert(out.end(), buf, buf + got);
  if (std::ferror(f.get())) return {};
  return out;
}

}  // namespace

namespace vesk::utt {
std::function<void()> beforeWarmForTesting;
AudioModel::FaultHook modelFaultForTesting;
std::function<void(const char*, int, uint8_t*)> pasteStepForTesting;
}  // namespace vesk::utt

vesk_utt::vesk_utt(vesk::RenderContext* ctx, const vesk_utt_opts& opts) : ctx_(ctx) {
  if (opts.motion_dir == nullptr || *opts.motion_dir == '\0') throw std::runtime_error("opts.motion_dir required");
  motion_dir_ = vesk::resolveBundlePath(opts.motion_dir);
  threads_ = opts.threads >= 1 ? opts.threads : ctx->threads;
  motion_ep_ = opts.motion_ep != nullptr ? opts.motion_ep : "";
  uses_a2x_ = vesk::canOpenForReading(vesk::resolveMember(motion_dir_, "a2x_enc_stream.onnx"));

  pipelined_ = uses_a2x_;
  long long v = 0;
  if (parseDecimal(envOrNull("VESK_UTT_PIPELINE_PASTE"), &v)) pipelined_ = v != 0;
  steady_key_ = (opts.steady_model != nullptr && *opts.steady_model != '\0') ? opts.steady_model : "b24_fp32";
  if (const char* k = envOrNull("VESK_STEADY_MODEL")) steady_key_ = k;

  nt_ = ctx->manifest.NT;
  W_ = ctx->manifest.W;
  H_ = ctx->manifest.H;
  crop_ = ctx->manifest.crop;
  frame_bytes_ = static_cast<size_t>(W_) * static_cast<size_t>(H_) * 3;
  if (parseDecimal(envOrNull("VESK_UTT_ONSET_SI"), &v) && v >= 0 && nt_ > 0) onset_ = static_cast<int>(v % nt_);

  if (opts.eager == -2) {
    hybrid_ = true;
  } else if (opts.eager >= 1) {
    eager_ = opts.eager;
  } else {
    const char* h = envOrNull("VESK_UTT_HYBRID");
    hybrid_ = h != nullptr && std::strcmp(h, "0") != 0;
  }
  last_eager_sent_ = hybrid_ ? 3 : eager_;
  if (opts.end_silence_s < 0) {
    end_silence_ms_ = -1;
  } else if (opts.end_silence_s > 0) {
    end_silence_ms_ = static_cast<int64_t>(opts.end_silence_s * 1000.0);
  }
  if (opts.ramp_frames >= 1) ramp_frames_ = opts.ramp_frames;
  if (opts.interrupt_ramp_frames >= 1) interrupt_ramp_frames_ = opts.interrupt_ramp_frames;

  // The target table only shapes ramps; a missing or mis-sized one just means
  // no ramps.
  target_ = readFloatsOrEmpty(vesk::resolveMember(motion_dir_, "xs_target.bin"));
  if (target_.size() != static_cast<size_t>(std::max(nt_, 0)) * kKp) target_.clear();

  q_si_.assign(kQueueCap, 0);
  q_xs_.assign(static_cast<size_t>(kQueueCap) * kKp, 0.0f);
  q_xd_.assign(static_cast<size_t>(kQueueCap) * kKp, 0.0f);
  res_si_.assign(kQueueCap, 0);
  res_xs_.assign(static_cast<size_t>(kQueueCap) * kKp, 0.0f);
  res_xd_.assign(static_cast<size_t>(kQueueCap) * kKp, 0.0f);
  for (Slot& s : ring_) s.bytes.assign(frame_bytes_, 0);
  warm_gate_ = vesk::utt::beforeWarmForTesting;
  model_fault_ = vesk::utt::modelFaultForTesting;
  paste_step_ = vesk::utt::pasteStepForTesting;
  start();
}

void vesk_utt::start() {
  try {
    run_ = std::thread([this] { runLoop(); });
    warm_ = std::thread([this] { warmMain(); });
    dispatch_ = std::thread([this] { dispatchLoop(); });
    if (pipelined_) paste_ = std::thread([this] { pasteLoop(); });
  } catch (...) {
    shutdown();
    throw;
  }
}

vesk_utt::~vesk_utt() {
  shutdown();
  if (std::getenv("VESK_UTT_STAGE_REPORT") != nullptr) printStageReport();
}

void vesk_utt::shutdown() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    stop_ = true;
    paste_stop_ = true;
  }
  cv_.notify_all();
  paste_cv_.notify_all();
  if (paste_.joinable()) paste_.join();
  if (run_.joinable()) run_.join();
  if (warm_.joinable()) warm_.join();
  {
    std::lock_guard<std::mutex> lk(dmu_);
    dispatch_stop_ = true;
  }
  dcv_.notify_all();
  if (dispatch_.joinable()) dispatch_.join();
  model_ = nullptr;
  model_owned_.reset();
  chunk_ = nullptr;
  chunk_owned_.reset();
}

void vesk_utt::printStageReport() {
  std::lock_guard<std::mutex> lk(mu_);
  // The teeth stage is not part of this build: it never runs on a thread and
  // counts no jobs.
  const int pipe = 0;
  const long long jobs_b = 0;
  if (paste_jobs_done_ > 0) {
    const double n = static_cast<double>(render_count_);
    const double a = render_count_ > 0 ? render_total_ / n : 0.0;
    const double aw = render_count_ > 0 ? (render_total_ - wait_total_) / n : 0.0;
    const double awt = render_count_ > 0 ? wait_total_ / n : 0.0;
    const double c = paste_total_ / static_cast<double>(paste_jobs_done_);
    const double lat = latency_count_ > 0 ? latency_total_ / static_cast<double>(latency_count_) : 0.0;
    std::fprintf(stderr,
                 "[vesk_utt-stage] pipe=%d jobsB=%lld jobsC=%lld "
                 "stageA_ms=%.3f stageA_work_ms=%.3f "
                 "stageA_wait_ms=%.3f stageB_ms=%.3f stageC_ms=%.3f "
                 "deliver_lat_ms=%.3f over %lld speech frames\n",
                 pipe, jobs_b, static_cast<long long>(paste_jobs_done_), a, aw, awt, 0.0, c, lat,
                 static_cast<long long>(latency_count_));
  } else {
    std::fprintf(stderr,
                 "[vesk_utt-stage] MEASURED NOTHING \xE2\x80\x94 the stage report was "
                 "asked for and the paste-job "
                 "counter never advanced (pipe=%d jobsB=%lld jobsC=0, %lld speech "
                 "frames delivered). "
                 "stageA/stageB/stageC and the deliver latency are NOT reported rather "
                 "than reported as zero: on "
                 "this path the paste does not run through the counted queue.\n",
                 pipe, jobs_b, static_cast<long long>(latency_count_));
  }
}

// ---- host side
// ---------------------------------------------------------------------------------

int vesk_utt::ready(std::string* error) {
  std::lock_guard<std::mutex> lk(mu_);
  if (load_failed_) {
    *error = load_error_;
    return -1;
  }
  return model_ != nullptr ? 1 : 0;
}

void vesk_utt::pushAudio(const int16_t* pcm, int count) {
  {
    std::lock_guard<std::mutex> lk(mu_);
    const double now = nowMs();
    last_push_ms_ = now;
    if (count > 0) {
      if (pending_.empty()) first_push_ms_ = now;
      if (!end_marks_.empty() && end_marks_.back().at == pending_.size()) end_marks_.back().next_push_ms = now;
      // resize grows the capacity geometrically, so a host pushing small
      // chunks while the intake is held does not copy everything each time.
      const size_t old = pending_.size();
      pending_.resize(old + static_cast<size_t>(count));
      float* dst = pending_.data() + old;
      for (int i = 0; i < count; ++i) dst[i] = static_cast<float>(pcm[i]) * (1.0f / 32768.0f);
    }
  }
  cv_.notify_all();
  paste_cv_.notify_all();
}

void vesk_utt::endUtterance() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    // The end belongs to the audio pushed before it: a mark keeps its place
    // when more audio follows before the run thread takes it. Calls with no
    // audio between them are one end.
    const size_t at = pending_.size();
    if (end_marks_.empty() || end_marks_.back().at != at) end_marks_.push_back(EndMark{at, 0.0});
  }
  cv_.notify_all();
}

void vesk_utt::interrupt() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    pending_.clear();
    end_marks_.clear();
    read_ = write_;
    job_count_ = 0;
    ++generation_;
  }
  cv_.notify_all();
}

int vesk_utt::framesAvailable() {
  std::lock_guard<std::mutex> lk(mu_);
  return static_cast<int>(write_ - read_);
}

vesk_utt::Pull vesk_utt::pullFrame(void* dst, size_t dst_len, vesk_utt_frame_info* info) {
  {
    std::lock_guard<std::mutex> lk(mu_);
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
    have_delivered_ = true;
    delivered_kind_ = s.kind;
    delivered_si_ = s.si;
    delivered_xd_ = s.xd;
    ++read_;
    ++stats_.frames;
    if (s.kind == VESK_UTT_SPEECH) ++stats_.speech_frames;
  }
  cv_.notify_all();
  return Pull::Copied;
}

void vesk_utt::stats(vesk_utt_stats* out) {
  std::lock_guard<std::mutex> lk(mu_);
  *out = stats_;
  out->state = state_.load();
}

int vesk_utt::renderStatus(char* buf, int len, int64_t* failures) {
  std::lock_guard<std::mutex> lk(mu_);
  if (buf != nullptr && len > 0) {
    const size_t n = std::min(last_failure_.size(), static_cast<size_t>(len - 1));
    std::memcpy(buf, last_failure_.data(), n);
    buf[n] = '\0';
  }
  if (failures != nullptr) *failures = failures_;
  return degraded_ ? -1 : 0;
}

void vesk_utt::noteRenderFail(const char* stage, const char* text, bool fatal) {
  const char* ep = ctx_->renderer ? ctx_->renderer->ep() : nullptr;
  std::string line = "ep=";
  line += ep != nullptr ? ep : "unknown";
  line += " ";
  line += stage;
  line += ": ";
  line += (text != nullptr && *text != '\0') ? text : "unknown failure";
  std::lock_guard<std::mutex> lk(mu_);
  ++failures_;
  last_failure_ = std::move(line);
  if (fatal) degraded_ = true;
}

// ---- warm thread
// -------------------------------------------------------------------------------

void vesk_utt::warmMain() {
  if (warm_gate_) warm_gate_();
  std::unique_ptr<vesk::utt::AudioModel> model;
  try {
    model = vesk::utt::AudioModel::create(uses_a2x_, motion_dir_, threads_, motion_ep_);
    // Its frames index the driver video: a model made for another identity
    // would walk off it.
    if (model->nt() != nt_)
      throw std::runtime_error("vesk_utt: the audio model in " + motion_dir_ + " has " + std::to_string(model->nt()) +
                               " target frames and the bundle " + std::to_string(nt_) + " (NT)");
  } catch (const std::exception& e) {
    std::lock_guard<std::mutex> lk(mu_);
    load_failed_ = true;
    load_error_ = e.what();
    return;
  }
  model->setFaultHook(model_fault_);
  model->setEager(hybrid_ ? 3 : eager_);

  std::unique_ptr<vesk::Renderer> chunk;
  if (steady_key_ != "-") {
    try {
      chunk = std::make_unique<vesk::Renderer>(ctx_->manifest, ctx_->identity, steady_key_, ctx_->threads, ctx_->ep,
                                               &ctx_->prior);
    } catch (const std::exception&) {
      chunk.reset();
    }
  }
  if (chunk && ctx_->renderer) {
    const std::string frame_ep = ctx_->renderer->ep() != nullptr ? ctx_->renderer->ep() : "";
    const std::string chunk_ep = chunk->ep() != nullptr ? chunk->ep() : "";
    if (frame_ep.rfind("coreml-native", 0) == 0 && chunk_ep.rfind("coreml-native", 0) != 0) {
      std::fprintf(stderr,
                   "[vesk_utt] steady chunk renderer '%s' DROPPED (rendering "
                   "b1-only): this frame graph runs on "
                   "ep=%s while the chunk graph fell back to ep=%s. A chunk "
                   "that gives up the bundle's own CoreML "
                   "director costs MORE per frame than the per-frame path it "
                   "was meant to amortize, and letting "
                   "timing choose between two runtimes makes the delivered "
                   "pixels depend on scheduling.\n",
                   steady_key_.c_str(), frame_ep.c_str(), chunk_ep.c_str());
      chunk.reset();
    }
  }

  if (ctx_->drive.frames > 0) {
    const int si = ctx_->drive.si[0];
    const float* xs = ctx_->drive.xs.data();
    try {
      {
        std::lock_guard<std::mutex> pl(prior_mu_);
        (void)ctx_->renderer->render(&si, xs, xs, 1);
        if (chunk) (void)chunk->render(&si, xs, xs, 1);
      }
    } catch (const std::exception& e) {
      noteRenderFail("warm-up", e.what(), false);
    } catch (...) {
      noteRenderFail("warm-up", nullptr, false);
    }
  }

  {
    std::lock_guard<std::mutex> lk(mu_);
    chunk_owned_ = std::move(chunk);
    chunk_ = chunk_owned_.get();
    model_owned_ = std::move(model);
    model_ = model_owned_.get();
  }
  cv_.notify_all();
}

// ---- dispatch thread
// ---------------------------------------------------------------------------

void vesk_utt::dispatchLoop() {
  for (;;) {
    Request req;
    {
      std::unique_lock<std::mutex> lk(dmu_);
      dcv_.wait(lk, [&] { return posted_ || dispatch_stop_; });
      if (dispatch_stop_) return;
      req = std::move(request_);
      request_ = Request{};
      posted_ = false;
    }
    vesk::utt::AudioModel* m = req.model;
    // A failing model call is a failure of the session, reported like a
    // render failure; the run thread ends the utterance on what it has.
    auto attempt = [this](const char* stage, auto&& call) {
      try {
        call();
        return true;
      } catch (const std::exception& e) {
        noteRenderFail(stage, e.what(), true);
      } catch (...) {
        noteRenderFail(stage, nullptr, true);
      }
      return false;
    };
    int b = 0, c = 0;
    bool ok = attempt("audio reset", [&] {
      if (req.reset) m->reset(req.start, req.dir);
      if (req.eager != 0) m->setEager(req.eager);
    });
    ok = ok && attempt("audio push", [&] {
           if (!req.audio.empty()) m->push(req.audio.data(), static_cast<int>(req.audio.size()));
         });
    const bool finish_failed = ok && req.finish && !attempt("audio finish", [&] { m->finish(); });
    ok = ok && attempt("audio avail", [&] { b = m->avail(); });
    ok = ok && attempt("audio pull", [&] {
           if (req.max > 0 && b > 0) c = m->pull(res_si_.data(), res_xs_.data(), res_xd_.data(), std::min(b, req.max));
         });
    const int e = m->total();
    req.audio.clear();
    {
      std::lock_guard<std::mutex> lk(dmu_);
      // The request's buffer goes back to the run thread for its next audio.
      if (req.audio.capacity() > spent_audio_.capacity()) spent_audio_.swap(req.audio);
      result_ready_ = true;
      result_got_ = c;
      result_remaining_ = std::max(b - c, 0);
      result_total_ = e;
      result_finished_ = req.finish;
      result_failed_ = !ok;
      result_finish_failed_ = finish_failed;
    }
    {
      // Taking the main lock orders the wake-up after a run thread that is
      // about to wait on it.
      std::lock_guard<std::mutex> lk(mu_);
    }
    cv_.notify_all();
    dcv_.notify_all();
  }
}

// ---- run thread
// --------------------------------------------------------------------------------

bool vesk_utt::collectResult() {
  if (!outstanding_) return false;
  int got, remaining, total;
  bool finished, failed, finish_failed;
  {
    std::lock_guard<std::mutex> lk(dmu_);
    if (!result_ready_) return false;
    result_ready_ = false;
    if (utt_audio_.empty() && spent_audio_.capacity() > utt_audio_.capacity()) utt_audio_.swap(spent_audio_);
    got = result_got_;
    remaining = result_remaining_;
    total = result_total_;
    finished = result_finished_;
    failed = result_failed_;
    finish_failed = result_finish_failed_;
  }
  outstanding_ = false;
  if (outstanding_gen_ != gen_seen_) return true;
  if (q_end_ + got > kQueueCap) {
    const int n = queued();
    std::memmove(q_si_.data(), q_si_.data() + q_start_, sizeof(int32_t) * static_cast<size_t>(n));
    std::memmove(q_xs_.data(), q_xs_.data() + static_cast<size_t>(q_start_) * kKp, sizeof(float) * n * kKp);
    std::memmove(q_xd_.data(), q_xd_.data() + static_cast<size_t>(q_start_) * kKp, sizeof(float) * n * kKp);
    q_start_ = 0;
    q_end_ = n;
  }
  std::memcpy(q_si_.data() + q_end_, res_si_.data(), sizeof(int32_t) * static_cast<size_t>(got));
  std::memcpy(q_xs_.data() + static_cast<size_t>(q_end_) * kKp, res_xs_.data(), sizeof(float) * got * kKp);
  std::memcpy(q_xd_.data() + static_cast<size_t>(q_end_) * kKp, res_xd_.data(), sizeof(float) * got * kKp);
  q_end_ += got;
  received_ += got;
  remaining_ = remaining;
  if (failed) model_failed_ = true;
  // The total is set once. A model that failed to finish never reports one:
  // the utterance ends on the frames the model said it had rather than
  // waiting for frames that will not come.
  if (total_ < 0)
    total_ = (finish_failed || (finished && total < 0)) ? static_cast<int>(received_) + remaining_ : total;
  return true;
}

void vesk_utt::postRequest(vesk::utt::AudioModel* model, int w) {
  Request req;
  req.model = model;
  req.audio.swap(utt_audio_);
  req.reset = reset_pending_;
  if (req.reset && onset_ >= 0) cursor_ = onset_;
  req.start = cursor_;
  req.dir = dir_;
  req.finish = ended_seen_ && !finish_sent_;
  req.eager = w != last_eager_sent_ ? w : 0;
  req.max = kQueueCap - queued();
  if (req.finish) finish_sent_ = true;
  outstanding_ = true;
  reset_pending_ = false;
  outstanding_gen_ = gen_seen_;
  last_eager_sent_ = w;
  {
    std::lock_guard<std::mutex> lk(dmu_);
    request_ = std::move(req);
    posted_ = true;
    result_ready_ = false;
  }
  dcv_.notify_all();
  if (!hybrid_) {
    {
      std::unique_lock<std::mutex> lk(dmu_);
      dcv_.wait(lk, [&] { return result_ready_ || dispatch_stop_; });
    }
    (void)collectResult();
  }
}

void vesk_utt::resetUtterance(bool running) {
  in_utt_ = running;
  reset_pending_ = running;
  ended_seen_ = finish_sent_ = rendered_speech_ = false;
  frame_counter_ = 0;
  head_attempts_ = 0;
  q_start_ = q_end_ = 0;
  received_ = 0;
  remaining_ = 0;
  total_ = -1;
  hybrid_level_ = 0;
  model_failed_ = false;
}

void vesk_utt::startUtterance(double first_push) {
  resetUtterance(true);
  {
    std::lock_guard<std::mutex> lk(mu_);
    utt_start_ms_ = first_push;
  }
  if (state_.load() == 0) state_.store(1);
}

void vesk_utt::endCurrentUtterance() {
  in_utt_ = false;
  utt_audio_.clear();  // what a failed model was not given
  if (rendered_speech_ && !target_.empty()) {
    cursor_ = nt_ > 0 ? (last_si_ + 1) % nt_ : 0;
    const float* t = targetRow(last_si_);
    for (int k = 0; k < kKp; ++k) ramp_offset_[k] = last_xd_[k] - t[k];
    ramp_len_ = ramp_left_ = ramp_frames_;
    state_.store(3);
  } else {
    state_.store(0);
  }
}

void vesk_utt::handleInterrupt() {
  bool had = false;
  int32_t kind = 0, si = 0;
  std::array<float, kKp> xd{};
  {
    std::lock_guard<std::mutex> lk(mu_);
    gen_seen_ = generation_;
    had = have_delivered_;
    kind = delivered_kind_;
    si = delivered_si_;
    xd = delivered_xd_;
  }
  // A teeth stage would discard the frames it holds here.
  resetUtterance(false);
  utt_audio_.clear();
  ramp_left_ = 0;
  const bool in_range = si >= 0 && si < nt_;
  if (had && in_range && (kind == VESK_UTT_SPEECH || kind == VESK_UTT_RAMP) && !target_.empty()) {
    cursor_ = (si + 1) % nt_;
    const float* t = targetRow(si);
    for (int k = 0; k < kKp; ++k) ramp_offset_[k] = xd[k] - t[k];
    ramp_len_ = ramp_left_ = interrupt_ramp_frames_;
    state_.store(3);
  } else if (had && in_range && kind == VESK_UTT_IDLE) {
    cursor_ = (si + 1) % nt_;
    state_.store(0);
  } else {
    state_.store(0);
  }
}

void vesk_utt::runLoop() {
  std::vector<float> taken;
  for (;;) {
    try {
      if (!runPass(taken)) return;
    } catch (const std::exception& e) {
      // Nothing here may end the thread early: the host would stop getting
      // frames.
      noteRenderFail("run", e.what(), true);
      std::this_thread::sleep_for(kWait);
    }
  }
}

bool vesk_utt::takeIntake(std::vector<float>& taken, double* first_push) {
  *first_push = first_push_ms_;
  if (end_marks_.empty()) {
    taken.swap(pending_);
    return false;
  }
  // Audio after the end call is the next utterance's: it stays, and waits
  // while this one finishes.
  const EndMark m = end_marks_.front();
  end_marks_.erase(end_marks_.begin());
  const auto cut = pending_.begin() + static_cast<std::ptrdiff_t>(m.at);
  taken.assign(pending_.begin(), cut);
  pending_.erase(pending_.begin(), cut);
  for (EndMark& k : end_marks_) k.at -= m.at;
  if (!pending_.empty()) first_push_ms_ = m.next_push_ms;
  return true;
}

bool vesk_utt::runPass(std::vector<float>& taken) {
  {
    bool stop, ended = false;
    int64_t gen;
    double last_push, first_push = 0;
    vesk::utt::AudioModel* model;
    int ready, jobs;
    taken.clear();
    {
      std::lock_guard<std::mutex> lk(mu_);
      stop = stop_;
      // Audio for the next utterance waits while a ramp runs, and while the
      // current utterance is finishing: its model has been told the audio is
      // complete and would drop more.
      if (!intakeHeld()) {
        ended = takeIntake(taken, &first_push);
      } else if (!end_marks_.empty() && end_marks_.front().at == 0) {
        // An end call with no audio before it while this utterance's end is
        // already seen (or its ramp runs) came late: it ends nothing.
        end_marks_.erase(end_marks_.begin());
      }
      gen = generation_;
      last_push = last_push_ms_;
      model = model_;
      chunk_seen_ = chunk_;
      ready = static_cast<int>(write_ - read_);
      jobs = job_count_;
    }
    if (stop) return false;
    if (gen != gen_seen_) {
      handleInterrupt();
      return true;
    }
    const bool collected = collectResult();

    if (!taken.empty()) {
      if (model != nullptr) {
        if (!in_utt_) startUtterance(first_push);
        utt_audio_.insert(utt_audio_.end(), taken.begin(), taken.end());
      }
    }

    if (in_utt_ && !ended_seen_) {
      if (ended || (end_silence_ms_ != -1 && nowMs() - last_push >= static_cast<double>(end_silence_ms_)))
        ended_seen_ = true;
    }

    int w = eager_;
    if (hybrid_) {
      const int backlog = queued() + remaining_ + ready;
      if (hybrid_level_ == 0 && backlog >= 24) hybrid_level_ = 1;
      if (hybrid_level_ == 1 && backlog < 12) hybrid_level_ = 0;
      w = hybrid_level_ == 1 ? 24 : 3;
    }
    const int B = rendered_speech_ && chunk_seen_ != nullptr ? chunk_seen_->batch() : 0;
    auto chunkComing = [&] { return queued() < B && B <= queued() + remaining_; };

    if (model != nullptr && in_utt_ && !outstanding_ && !model_failed_ &&
        (!utt_audio_.empty() || (ended_seen_ && !finish_sent_) || chunkComing() || (queued() < 8 && !modelDone())))
      postRequest(model, w);

    if (state_.load() == 3) {
      if (ramp_left_ > 0 && ready <= 7) produceRamp();
      if (state_.load() == 0) {
        bool empty;
        {
          std::lock_guard<std::mutex> lk(mu_);
          empty = job_count_ == 0 && write_ == read_;
        }
        if (empty) produceIdle();
      }
    } else if (in_utt_ && queued() > 0 && ready < kRing) {
      state_.store(2);
      const int n = (queued() >= B && B >= 1) ? B : 1;
      if (!(queued() < B && chunkComing() && outstanding_)) renderSpeech(n);
    } else if (in_utt_ && queued() == 0 && modelDone()) {
      endCurrentUtterance();
    } else if (state_.load() == 0 && jobs == 0 && ready == 0) {
      produceIdle();
    }

    if (!collected) {
      std::unique_lock<std::mutex> lk(mu_);
      // Held audio and held end calls are no work: with the ring full and
      // nobody pulling, nothing here can advance until a pull or an interrupt.
      const bool intake = !intakeHeld() && (!pending_.empty() || !end_marks_.empty());
      if (!stop_ && generation_ == gen_seen_ && !intake) cv_.wait_for(lk, kWait);
    }
  }
  return true;
}

const float* vesk_utt::renderOne(vesk::Renderer& r, int si, const float* xs, const float* xd) {
  std::lock_guard<std::mutex> pl(prior_mu_);
  return r.render(&si, xs, xd, 1);
}

void vesk_utt::renderSpeech(int n) {
  const int count = std::min(n, queued());
  if (count <= 0) return;
  const size_t crop_floats = static_cast<size_t>(crop_) * static_cast<size_t>(crop_) * 3;
  if (count > 1 && chunk_seen_ != nullptr && chunk_seen_->batch() >= count) {
    const float* crops = nullptr;
    const double t0 = nowMs();
    try {
      std::lock_guard<std::mutex> pl(prior_mu_);
      crops = chunk_seen_->render(q_si_.data() + q_start_, q_xs_.data() + static_cast<size_t>(q_start_) * kKp,
                                  q_xd_.data() + static_cast<size_t>(q_start_) * kKp, count);
    } catch (const std::exception& e) {
      noteRenderFail("b24 chunk", e.what(), false);
    } catch (...) {
      noteRenderFail("b24 chunk", nullptr, false);
    }
    if (crops != nullptr) {
      const double per = (nowMs() - t0) / count;
      for (int i = 0; i < count; ++i) {
        emitSpeech(crops + static_cast<size_t>(i) * crop_floats, per);
        if (gen_seen_ != generationSnapshot()) return;
      }
      return;
    }
  }
  for (int i = 0; i < count; ++i) {
    const int h = q_start_;
    const double t0 = nowMs();
    const float* crop = nullptr;
    try {
      crop = renderOne(*ctx_->renderer, q_si_[h], q_xs_.data() + static_cast<size_t>(h) * kKp,
                       q_xd_.data() + static_cast<size_t>(h) * kKp);
    } catch (const std::exception& e) {
      noteRenderFail("render", e.what(), true);
    } catch (...) {
      noteRenderFail("render", nullptr, true);
    }
    if (crop == nullptr) {
      // The frame stays at the head for another try on the next pass. A frame
      // the director keeps refusing goes out as its bare driver frame, so the
      // utterance keeps its length and the host keeps getting frames in step
      // with the audio.
      if (++head_attempts_ < kRenderAttempts) return;
    }
    head_attempts_ = 0;
    emitSpeech(crop, nowMs() - t0);
    if (gen_seen_ != generationSnapshot()) return;
  }
}

int64_t vesk_utt::generationSnapshot() {
  std::lock_guard<std::mutex> lk(mu_);
  return generation_;
}

void vesk_utt::emitSpeech(const float* crop, double render_ms) {
  const int h = q_start_;
  const int si = q_si_[h];
  const float* xd = q_xd_.data() + static_cast<size_t>(h) * kKp;
  cursor_ = si;
  last_si_ = si;
  std::copy(xd, xd + kKp, last_xd_.begin());
  double wait = 0;
  (void)enqueue(crop, VESK_UTT_SPEECH, si, frame_counter_, xd, &wait);
  ++frame_counter_;
  ++q_start_;
  rendered_speech_ = true;
  {
    std::lock_guard<std::mutex> lk(mu_);
    ++render_count_;
    render_total_ += render_ms;
    wait_total_ += wait;
    stats_.render_ms = render_count_ == 1 ? render_ms : 0.9 * stats_.render_ms + 0.1 * render_ms;
  }
  if (nt_ > 0) cursor_ = (cursor_ + 1) % nt_;
}

void vesk_utt::produceRamp() {
  const int N = ramp_len_;
  const int r = ramp_left_;
  const int si = cursor_;
  const float weight = 1.0f - static_cast<float>(N - r + 1) / static_cast<float>(N);
  const float* t = targetRow(si);
  std::array<float, kKp> xd;
  for (int k = 0; k < kKp; ++k) xd[k] = t[k] + weight * ramp_offset_[k];
  const float* crop = nullptr;
  try {
    crop = renderOne(*ctx_->renderer, si, t, xd.data());
  } catch (const std::exception& e) {
    noteRenderFail("ramp", e.what(), true);
  } catch (...) {
    noteRenderFail("ramp", nullptr, true);
  }
  last_xd_ = xd;
  last_si_ = si;
  // A failed ramp frame is skipped rather than retried: the ramp always reaches
  // the idle loop.
  const bool accepted = crop != nullptr ? enqueue(crop, VESK_UTT_RAMP, si, -1, xd.data(), nullptr) : true;
  if (accepted) {
    cursor_ = nt_ > 0 ? (cursor_ + 1) % nt_ : 0;
    if (--ramp_left_ <= 0) {
      ramp_left_ = 0;
      state_.store(0);
    }
  }
}

void vesk_utt::produceIdle() {
  if (enqueue(nullptr, VESK_UTT_IDLE, cursor_, -1, nullptr, nullptr) && nt_ > 0) cursor_ = (cursor_ + 1) % nt_;
}

bool vesk_utt::enqueue(const float* crop, int kind, int si, int index, const float* xd, double* wait) {
  // A teeth stage, when attached, takes the frame here and hands it to the raw
  // enqueue later.
  return enqueueRaw(crop, kind, si, index, xd, wait);
}

bool vesk_utt::enqueueRaw(const float* crop, int kind, int si, int index, const float* xd, double* wait) {
  if (pipelined_) return enqueuePipe(crop, kind, si, index, xd, wait);
  return pasteInto(crop, kind, si, index, xd, gen_seen_, 0.0, wait);
}

bool vesk_utt::pasteInto(const float* crop, int kind, int si, int index, const float* xd, int64_t generation,
                         double enqueue_ms, double* wait) {
  Slot* slot = nullptr;
  {
    std::unique_lock<std::mutex> lk(mu_);
    for (;;) {
      if (stop_ || generation_ != generation) return false;
      if (write_ - read_ < kRing) break;
      cv_.wait_for(lk, kWait);
    }
    slot = &ring_[static_cast<size_t>(write_ % kRing)];
  }
  const double t0 = nowMs();
  bool failed = false;
  try {
    (void)ctx_->cursor->pullAt(si, slot->bytes.data());
    if (paste_step_) paste_step_("driver", si, slot->bytes.data());
    if (crop != nullptr) {
      ctx_->paste->composite(crop, 255.0f, ctx_->identity.M(si), slot->bytes.data(), W_, H_);
      if (paste_step_) paste_step_("composite", si, slot->bytes.data());
    } else if (!ctx_->identity.hasMappedP()) {
      std::lock_guard<std::mutex> pl(prior_mu_);
      ctx_->prior.walk(si);
    }
  } catch (const std::exception& e) {
    noteRenderFail("paste", e.what(), true);
    failed = true;
  } catch (...) {
    noteRenderFail("paste", nullptr, true);
    failed = true;
  }
  if (failed) {
    // The slot holds an older frame or a half-pasted one, which the host would
    // take for this one: it gets the bare driver frame instead, so its timeline
    // keeps its length. Without even that, the frame is skipped.
    try {
      (void)ctx_->cursor->pullAt(si, slot->bytes.data());
    } catch (...) {
      return true;
    }
  }
  const double paste_ms = nowMs() - t0;
  if (wait != nullptr) *wait += paste_ms;
  slot->kind = kind;
  slot->si = si;
  slot->index = index;
  if (xd != nullptr) {
    std::copy(xd, xd + kKp, slot->xd.begin());
  } else {
    slot->xd.fill(0.0f);
  }
  {
    std::lock_guard<std::mutex> lk(mu_);
    if (stop_ || generation_ != generation) return false;
    slot->seq = next_seq_++;
    ++write_;
    const double now = nowMs();
    if (index == 0 && kind == VESK_UTT_SPEECH) {
      ++stats_.utterances;
      stats_.first_frame_ms = now - utt_start_ms_;
    }
    if (pipelined_) {
      paste_total_ += paste_ms;
      if (kind == VESK_UTT_SPEECH && enqueue_ms > 0) {
        ++latency_count_;
        latency_total_ += now - enqueue_ms;
      }
    }
  }
  cv_.notify_all();
  return true;
}

bool vesk_utt::enqueuePipe(const float* crop, int kind, int si, int index, const float* xd, double* wait) {
  const double t0 = nowMs();
  const size_t crop_floats = static_cast<size_t>(crop_) * static_cast<size_t>(crop_) * 3;
  PasteJob* job = nullptr;
  {
    std::unique_lock<std::mutex> lk(mu_);
    for (;;) {
      if (stop_ || generation_ != gen_seen_) return false;
      if (job_count_ < kMaxPasteJobs) break;
      cv_.wait_for(lk, kWait);
    }
    job = &jobs_[static_cast<size_t>((job_head_ + job_count_) % kMaxPasteJobs)];
  }
  // The slot past the queue's end belongs to this producer until the count is
  // advanced.
  job->has_crop = crop != nullptr;
  if (crop != nullptr) {
    job->crop.resize(crop_floats);
    std::memcpy(job->crop.data(), crop, crop_floats * sizeof(float));
  }
  job->kind = kind;
  job->si = si;
  job->index = index;
  if (xd != nullptr) {
    std::copy(xd, xd + kKp, job->xd.begin());
  } else {
    job->xd.fill(0.0f);
  }
  job->generation = gen_seen_;
  job->enqueue_ms = nowMs();
  {
    std::lock_guard<std::mutex> lk(mu_);
    if (stop_ || generation_ != gen_seen_) return false;
    ++job_count_;
  }
  paste_cv_.notify_one();
  if (wait != nullptr) *wait += nowMs() - t0;
  return true;
}

void vesk_utt::pasteLoop() {
  for (;;) {
    bool has_crop;
    int32_t kind, si, index;
    std::array<float, kKp> xd;
    int64_t generation;
    double enqueue_ms;
    {
      std::unique_lock<std::mutex> lk(mu_);
      while (job_count_ == 0 && !stop_ && !paste_stop_) paste_cv_.wait(lk);
      if (stop_ || paste_stop_) return;
      PasteJob& front = jobs_[static_cast<size_t>(job_head_)];
      // Swapping buffers hands the crop over without a copy or an allocation;
      // the slot keeps this thread's previous buffer for its next job.
      paste_work_.swap(front.crop);
      has_crop = front.has_crop;
      kind = front.kind;
      si = front.si;
      index = front.index;
      xd = front.xd;
      generation = front.generation;
      enqueue_ms = front.enqueue_ms;
      job_head_ = (job_head_ + 1) % kMaxPasteJobs;
      --job_count_;
      if (generation != generation_) continue;
    }
    cv_.notify_all();
    if (pasteInto(has_crop ? paste_work_.data() : nullptr, kind, si, index, xd.data(), generation, enqueue_ms,
                  nullptr)) {
      std::lock_guard<std::mutex> lk(mu_);
      ++paste_jobs_done_;
    }
  }
}
