#include "pipeline/vesk_utt.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "bundle/vesk_imx.h"
#include "core/vesk_file.h"
#include "render/vesk_renderer.h"
#include "tessera/vesk_tessera_head.h"
#include "tessera/vesk_tessera_pi.h"
#include "tessera/vesk_tessera_types.h"

using vesk::kKpWidth;
using vesk::utt::attempt;
using vesk::utt::kWait;
using vesk::utt::nowMs;
using vesk::utt::State;

namespace {

// The target table, or nothing when it cannot be read: it only shapes ramps.
std::vector<float> readFloatsOrEmpty(const std::string& path) {
  std::string bytes;
  try {
    bytes = vesk::readWholeFile(path);
  } catch (const std::exception&) {
    return {};
  }
  std::vector<float> out(bytes.size() / sizeof(float));
  std::memcpy(out.data(), bytes.data(), out.size() * sizeof(float));
  return out;
}

}  // namespace

namespace vesk::utt {
std::function<void()> beforeWarmForTesting;
AudioModel::FaultHook modelFaultForTesting;
PasteStage::StepHook pasteStepForTesting;
}  // namespace vesk::utt

vesk_utt::vesk_utt(vesk::RenderContext* ctx, const vesk_utt_opts& opts)
    : ctx_(ctx),
      cfg_(vesk::utt::makeConfig(opts, vesk::utt::findModelDir(opts.motion_dir), vesk::utt::Environment::read(),
                                 ctx->threads, ctx->manifest.NT)),
      nt_(ctx->manifest.NT),
      crop_floats_(static_cast<size_t>(ctx->manifest.crop) * static_cast<size_t>(ctx->manifest.crop) * 3),
      warm_gate_(vesk::utt::beforeWarmForTesting),
      model_fault_(vesk::utt::modelFaultForTesting),
      note_([this](const char* stage, const char* text, bool fatal) { noteRenderFail(stage, text, fatal); }),
      paste_(*ctx, main_, prior_mu_, cfg_.pipelined, note_, vesk::utt::pasteStepForTesting),
      teeth_(main_, paste_, ctx->manifest.crop, cfg_.pipelined),
      mailbox_(kQueueCap, note_,
               [this] {
                 {
                   // Taking the main lock orders the wake-up after a run thread that is about to wait on it.
                   std::lock_guard<std::mutex> lk(main_.mu);
                 }
                 main_.cv.notify_all();
               }),
      queue_(kQueueCap) {
  last_eager_sent_ = cfg_.modelEager();
  // The target table only shapes ramps; a missing or mis-sized one just means no ramps.
  target_ = readFloatsOrEmpty(vesk::resolveMember(cfg_.motion_dir, "xs_target.bin"));
  if (target_.size() != static_cast<size_t>(std::max(nt_, 0)) * kKpWidth) target_.clear();
  start();
}

void vesk_utt::start() {
  try {
    run_ = std::thread([this] { runLoop(); });
    warm_ = std::thread([this] { warmMain(); });
    mailbox_.start();
    paste_.start();
  } catch (...) {
    shutdown();
    throw;
  }
}

vesk_utt::~vesk_utt() {
  shutdown();
  if (cfg_.stage_report) printStageReport();
}

void vesk_utt::shutdown() {
  {
    std::lock_guard<std::mutex> lk(main_.mu);
    main_.stop = true;
  }
  main_.cv.notify_all();
  teeth_.stop();
  paste_.stop();
  if (run_.joinable()) run_.join();
  if (warm_.joinable()) warm_.join();
  mailbox_.stop();
  model_ = nullptr;
  model_owned_.reset();
  chunk_ = nullptr;
  chunk_owned_.reset();
}

void vesk_utt::printStageReport() {
  std::lock_guard<std::mutex> lk(main_.mu);
  const vesk::utt::PasteTiming& paste = paste_.timingLocked();
  const int pipe = teeth_.pipeLocked() ? 1 : 0;
  const long long jobs_b = teeth_.jobsDoneLocked();
  const double b = jobs_b > 0 ? teeth_.teethMsLocked() / static_cast<double>(jobs_b) : 0.0;
  if (paste.jobs > 0) {
    const double n = static_cast<double>(render_count_);
    const double a = render_count_ > 0 ? render_total_ / n : 0.0;
    const double aw = render_count_ > 0 ? (render_total_ - wait_total_) / n : 0.0;
    const double awt = render_count_ > 0 ? wait_total_ / n : 0.0;
    const double c = paste.paste_total / static_cast<double>(paste.jobs);
    const double lat = paste.latency_count > 0 ? paste.latency_total / static_cast<double>(paste.latency_count) : 0.0;
    std::fprintf(stderr,
                 "[vesk_utt-stage] pipe=%d jobsB=%lld jobsC=%lld "
                 "stageA_ms=%.3f stageA_work_ms=%.3f "
                 "stageA_wait_ms=%.3f stageB_ms=%.3f stageC_ms=%.3f "
                 "deliver_lat_ms=%.3f over %lld speech frames\n",
                 pipe, jobs_b, static_cast<long long>(paste.jobs), a, aw, awt, b, c, lat,
                 static_cast<long long>(paste.latency_count));
  } else {
    std::fprintf(stderr,
                 "[vesk_utt-stage] MEASURED NOTHING \xE2\x80\x94 the stage report was "
                 "asked for and the paste-job "
                 "counter never advanced (pipe=%d jobsB=%lld jobsC=0, %lld speech "
                 "frames delivered). "
                 "stageA/stageB/stageC and the deliver latency are NOT reported rather "
                 "than reported as zero: on "
                 "this path the paste does not run through the counted queue.\n",
                 pipe, jobs_b, static_cast<long long>(paste.latency_count));
  }
}

// ---- host side
// ---------------------------------------------------------------------------------

int vesk_utt::ready(std::string* error) {
  std::lock_guard<std::mutex> lk(main_.mu);
  if (load_failed_) {
    *error = load_error_;
    return -1;
  }
  return model_ != nullptr ? 1 : 0;
}

void vesk_utt::pushAudio(const int16_t* pcm, int count) {
  {
    std::lock_guard<std::mutex> lk(main_.mu);
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
  main_.cv.notify_all();
  paste_.wake();
}

void vesk_utt::endUtterance() {
  {
    std::lock_guard<std::mutex> lk(main_.mu);
    // The end belongs to the audio pushed before it: a mark keeps its place
    // when more audio follows before the run thread takes it. Calls with no
    // audio between them are one end.
    const size_t at = pending_.size();
    if (end_marks_.empty() || end_marks_.back().at != at) end_marks_.push_back(EndMark{at, 0.0});
  }
  main_.cv.notify_all();
}

void vesk_utt::interrupt() {
  {
    std::lock_guard<std::mutex> lk(main_.mu);
    pending_.clear();
    end_marks_.clear();
    paste_.dropLocked();
    ++main_.generation;
  }
  main_.cv.notify_all();
}

void vesk_utt::stats(vesk_utt_stats* out) {
  std::lock_guard<std::mutex> lk(main_.mu);
  paste_.statsLocked(out);
  out->render_ms = render_ms_;
}

int vesk_utt::renderStatus(char* buf, int len, int64_t* failures) {
  std::lock_guard<std::mutex> lk(main_.mu);
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
  std::lock_guard<std::mutex> lk(main_.mu);
  ++failures_;
  last_failure_ = std::move(line);
  if (fatal) degraded_ = true;
}

void vesk_utt::tesseraAttach(const uint8_t* bank, int n, const double* cent, const double* c_canon,
                             const double* aperture, const int32_t* stamp, const uint8_t* head, int head_len,
                             const char* head_json, const char* manifest) {
  vesk::GeometryStamp s;
  for (int i = 0; i < vesk::GeometryStamp::kCount; ++i)
    s.*vesk::GeometryStamp::kFields[static_cast<size_t>(i)] = stamp[i];
  s.validate();
  const int crop = ctx_->manifest.crop;
  if (s.canvas_w != crop)
    throw std::runtime_error("bank canvas " + std::to_string(s.canvas_w) + " != this bundle's render crop " +
                             std::to_string(crop));
  if (target_.empty())
    throw std::runtime_error(
        "xs_target.bin is absent or the wrong length, so this bundle's corpus pi frame cannot be identified "
        "\xE2\x80\x94 "
        "refusing to arm the borrow against the manifest's compose-field geometry");
  vesk::tessera::BankData data;
  const size_t donors = static_cast<size_t>(n);
  data.pixels.assign(bank, bank + donors * static_cast<size_t>(s.bandH()) * static_cast<size_t>(s.bandW()) * 3);
  data.cent.assign(cent, cent + 2 * donors);
  data.aperture.assign(aperture, aperture + donors);
  data.c_canon = {c_canon[0], c_canon[1]};
  data.stamp = s;
  data.n_donors = n;
  const vesk::tessera::ServeConfig config = vesk::tessera::ServeConfig::fromHeadMemberJson(head_json);
  const vesk::tessera::HeadWeights weights =
      vesk::tessera::loadHeadPt(std::vector<uint8_t>(head, head + std::max(head_len, 0)));
  std::string geometry;
  const vesk::tessera::UnifiedPi pi =
      vesk::tessera::UnifiedPi::corpusFromManifestJson(manifest, crop, target_.data(), nt_, c_canon, &geometry);
  auto borrow = std::make_unique<vesk::tessera::StreamBorrow>(data, weights, config, pi, ctx_->manifest.lip_template);
  teeth_.attach(std::move(borrow), std::move(geometry));
}

// ---- warm thread
// -------------------------------------------------------------------------------

void vesk_utt::warmMain() {
  if (warm_gate_) warm_gate_();
  std::unique_ptr<vesk::utt::AudioModel> model;
  try {
    model = vesk::utt::AudioModel::create(cfg_.uses_a2x, cfg_.motion_dir, cfg_.threads, cfg_.motion_ep);
    // Its frames index the driver video: a model made for another identity
    // would walk off it.
    if (model->nt() != nt_)
      throw std::runtime_error("vesk_utt: the audio model in " + cfg_.motion_dir + " has " +
                               std::to_string(model->nt()) + " target frames and the bundle " + std::to_string(nt_) +
                               " (NT)");
  } catch (const std::exception& e) {
    std::lock_guard<std::mutex> lk(main_.mu);
    load_failed_ = true;
    load_error_ = e.what();
    return;
  }
  model->setFaultHook(model_fault_);
  model->setEager(cfg_.modelEager());

  std::unique_ptr<vesk::Renderer> chunk;
  if (cfg_.steady_key != "-") {
    try {
      chunk = std::make_unique<vesk::Renderer>(ctx_->manifest, ctx_->identity, cfg_.steady_key, ctx_->threads, ctx_->ep,
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
                   cfg_.steady_key.c_str(), frame_ep.c_str(), chunk_ep.c_str());
      chunk.reset();
    }
  }

  if (ctx_->drive.frames > 0) {
    const int si = ctx_->drive.si[0];
    const float* xs = ctx_->drive.xs.data();
    (void)attempt(note_, "warm-up", false, [&] {
      std::lock_guard<std::mutex> pl(prior_mu_);
      (void)ctx_->renderer->render(&si, xs, xs, 1);
      if (chunk) (void)chunk->render(&si, xs, xs, 1);
    });
  }

  {
    std::lock_guard<std::mutex> lk(main_.mu);
    chunk_owned_ = std::move(chunk);
    chunk_ = chunk_owned_.get();
    model_owned_ = std::move(model);
    model_ = model_owned_.get();
  }
  main_.cv.notify_all();
}

// ---- run thread
// --------------------------------------------------------------------------------

bool vesk_utt::collectResult() {
  if (!outstanding_) return false;
  vesk::utt::ModelResult r;
  if (!mailbox_.collect(&r, utt_audio_)) return false;
  outstanding_ = false;
  if (r.generation != gen_seen_) return true;
  queue_.append(mailbox_.si(), mailbox_.xs(), mailbox_.xd(), r.got);
  received_ += r.got;
  remaining_ = r.remaining;
  if (r.failed) model_failed_ = true;
  // The total is set once. A model that failed to finish never reports one:
  // the utterance ends on the frames the model said it had rather than
  // waiting for frames that will not come.
  if (total_ < 0)
    total_ = (r.finish_failed || (r.finished && r.total < 0)) ? static_cast<int>(received_) + remaining_ : r.total;
  return true;
}

void vesk_utt::postRequest(vesk::utt::AudioModel* model, int w) {
  vesk::utt::ModelRequest req;
  req.model = model;
  req.audio.swap(utt_audio_);
  req.reset = reset_pending_;
  if (req.reset && cfg_.onset >= 0) cursor_ = cfg_.onset;
  req.start = cursor_;
  req.dir = dir_;
  req.finish = ended_seen_ && !finish_sent_;
  req.eager = w != last_eager_sent_ ? w : 0;
  req.max = queue_.room();
  req.generation = gen_seen_;
  if (req.finish) finish_sent_ = true;
  outstanding_ = true;
  reset_pending_ = false;
  last_eager_sent_ = w;
  mailbox_.post(std::move(req));
  if (!cfg_.hybrid) {
    mailbox_.waitResult();
    (void)collectResult();
  }
}

void vesk_utt::resetUtterance(bool running) {
  in_utt_ = running;
  reset_pending_ = running;
  ended_seen_ = finish_sent_ = rendered_speech_ = false;
  frame_counter_ = 0;
  head_attempts_ = 0;
  queue_.clear();
  received_ = 0;
  remaining_ = 0;
  total_ = -1;
  hybrid_level_ = 0;
  model_failed_ = false;
}

void vesk_utt::startUtterance(double first_push) {
  resetUtterance(true);
  paste_.setUtteranceStart(first_push);
  if (state_.load() == State::Idle) state_.store(State::Starting);
}

void vesk_utt::beginRamp(int si, const float* xd, int frames) {
  cursor_ = (si + 1) % nt_;
  const float* t = targetRow(si);
  for (int k = 0; k < kKpWidth; ++k) ramp_offset_[k] = xd[k] - t[k];
  ramp_len_ = ramp_left_ = frames;
  state_.store(State::Ramp);
}

void vesk_utt::endCurrentUtterance() {
  in_utt_ = false;
  utt_audio_.clear();  // what a failed model was not given
  if (rendered_speech_ && !target_.empty()) {
    beginRamp(last_si_, last_xd_.data(), cfg_.ramp_frames);
  } else {
    state_.store(State::Idle);
  }
}

void vesk_utt::handleInterrupt() {
  vesk::utt::Delivered last;
  {
    std::lock_guard<std::mutex> lk(main_.mu);
    gen_seen_ = main_.generation;
    last = paste_.deliveredLocked();
  }
  teeth_.interruptInline();
  resetUtterance(false);
  utt_audio_.clear();
  ramp_left_ = 0;
  const bool in_range = last.si >= 0 && last.si < nt_;
  if (last.any && in_range && (last.kind == VESK_UTT_SPEECH || last.kind == VESK_UTT_RAMP) && !target_.empty()) {
    beginRamp(last.si, last.xd.data(), cfg_.interrupt_ramp_frames);
  } else if (last.any && in_range && last.kind == VESK_UTT_IDLE) {
    cursor_ = (last.si + 1) % nt_;
    state_.store(State::Idle);
  } else {
    state_.store(State::Idle);
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
      std::lock_guard<std::mutex> lk(main_.mu);
      stop = main_.stop;
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
      gen = main_.generation;
      last_push = last_push_ms_;
      model = model_;
      chunk_seen_ = chunk_;
      ready = paste_.readyLocked();
      jobs = paste_.jobsLocked() + teeth_.pendingLocked();
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
      if (ended || (cfg_.end_silence_ms != -1 && nowMs() - last_push >= static_cast<double>(cfg_.end_silence_ms)))
        ended_seen_ = true;
    }

    int w = cfg_.eager;
    if (cfg_.hybrid) {
      const int backlog = queue_.size() + remaining_ + ready;
      if (hybrid_level_ == 0 && backlog >= 24) hybrid_level_ = 1;
      if (hybrid_level_ == 1 && backlog < 12) hybrid_level_ = 0;
      w = hybrid_level_ == 1 ? 24 : 3;
    }
    const int B = rendered_speech_ && chunk_seen_ != nullptr ? chunk_seen_->batch() : 0;
    auto chunkComing = [&] { return queue_.size() < B && B <= queue_.size() + remaining_; };

    if (model != nullptr && in_utt_ && !outstanding_ && !model_failed_ &&
        (!utt_audio_.empty() || (ended_seen_ && !finish_sent_) || chunkComing() || (queue_.size() < 8 && !modelDone())))
      postRequest(model, w);

    if (state_.load() == State::Ramp) {
      if (ramp_left_ > 0 && ready <= 7) produceRamp();
      if (state_.load() == State::Idle) {
        bool empty;
        {
          std::lock_guard<std::mutex> lk(main_.mu);
          empty = paste_.jobsLocked() == 0 && teeth_.pendingLocked() == 0 && paste_.readyLocked() == 0;
        }
        if (empty) produceIdle();
      }
    } else if (in_utt_ && queue_.size() > 0 && ready < vesk::utt::PasteStage::kRing) {
      state_.store(State::Speaking);
      const int n = (queue_.size() >= B && B >= 1) ? B : 1;
      if (!(queue_.size() < B && chunkComing() && outstanding_)) renderSpeech(n);
    } else if (in_utt_ && queue_.size() == 0 && modelDone()) {
      endCurrentUtterance();
    } else if (state_.load() == State::Idle && jobs == 0 && ready == 0) {
      produceIdle();
    }

    if (!collected) {
      std::unique_lock<std::mutex> lk(main_.mu);
      // Held audio and held end calls are no work: with the ring full and
      // nobody pulling, nothing here can advance until a pull or an interrupt.
      const bool intake = !intakeHeld() && (!pending_.empty() || !end_marks_.empty());
      if (!main_.stop && main_.generation == gen_seen_ && !intake) main_.cv.wait_for(lk, kWait);
    }
  }
  return true;
}

const float* vesk_utt::renderOne(vesk::Renderer& r, int si, const float* xs, const float* xd) {
  std::lock_guard<std::mutex> pl(prior_mu_);
  return r.render(&si, xs, xd, 1);
}

void vesk_utt::renderSpeech(int n) {
  const int count = std::min(n, queue_.size());
  if (count <= 0) return;
  if (count > 1 && chunk_seen_ != nullptr && chunk_seen_->batch() >= count) {
    const float* crops = nullptr;
    const double t0 = nowMs();
    (void)attempt(note_, "b24 chunk", false, [&] {
      std::lock_guard<std::mutex> pl(prior_mu_);
      crops = chunk_seen_->render(queue_.si(), queue_.xs(), queue_.xd(), count);
    });
    if (crops != nullptr) {
      const double per = (nowMs() - t0) / count;
      for (int i = 0; i < count; ++i) {
        emitSpeech(crops + static_cast<size_t>(i) * crop_floats_, per);
        if (gen_seen_ != generationSnapshot()) return;
      }
      return;
    }
  }
  for (int i = 0; i < count; ++i) {
    const double t0 = nowMs();
    const float* crop = nullptr;
    (void)attempt(note_, "render", true,
                  [&] { crop = renderOne(*ctx_->renderer, queue_.si()[0], queue_.xs(), queue_.xd()); });
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
  std::lock_guard<std::mutex> lk(main_.mu);
  return main_.generation;
}

void vesk_utt::emitSpeech(const float* crop, double render_ms) {
  const int si = queue_.si()[0];
  const float* xd = queue_.xd();
  cursor_ = si;
  last_si_ = si;
  std::copy(xd, xd + kKpWidth, last_xd_.begin());
  double wait = 0;
  (void)enqueue(crop, VESK_UTT_SPEECH, si, frame_counter_, xd, &wait);
  ++frame_counter_;
  queue_.pop();
  rendered_speech_ = true;
  {
    std::lock_guard<std::mutex> lk(main_.mu);
    ++render_count_;
    render_total_ += render_ms;
    wait_total_ += wait;
    render_ms_ = render_count_ == 1 ? render_ms : 0.9 * render_ms_ + 0.1 * render_ms;
  }
  if (nt_ > 0) cursor_ = (cursor_ + 1) % nt_;
}

void vesk_utt::produceRamp() {
  const int N = ramp_len_;
  const int r = ramp_left_;
  const int si = cursor_;
  const float weight = 1.0f - static_cast<float>(N - r + 1) / static_cast<float>(N);
  const float* t = targetRow(si);
  std::array<float, kKpWidth> xd;
  for (int k = 0; k < kKpWidth; ++k) xd[k] = t[k] + weight * ramp_offset_[k];
  const float* crop = nullptr;
  (void)attempt(note_, "ramp", true, [&] { crop = renderOne(*ctx_->renderer, si, t, xd.data()); });
  last_xd_ = xd;
  last_si_ = si;
  // A failed ramp frame is skipped rather than retried: the ramp always reaches
  // the idle loop. So is one a failed teeth stage drops: it will drop every
  // later one too, and rendering them again would only burn the run thread.
  const bool accepted =
      crop != nullptr ? enqueue(crop, VESK_UTT_RAMP, si, -1, xd.data(), nullptr) || teethFailed() : true;
  if (accepted) {
    cursor_ = nt_ > 0 ? (cursor_ + 1) % nt_ : 0;
    if (--ramp_left_ <= 0) {
      ramp_left_ = 0;
      state_.store(State::Idle);
    }
  }
}

bool vesk_utt::teethFailed() {
  std::lock_guard<std::mutex> lk(main_.mu);
  return teeth_.failedLocked();
}

void vesk_utt::produceIdle() {
  if (enqueue(nullptr, VESK_UTT_IDLE, cursor_, -1, nullptr, nullptr) && nt_ > 0) cursor_ = (cursor_ + 1) % nt_;
}
