#include "pipeline/vesk_utt_mailbox.h"

#include <algorithm>
#include <utility>

#include "core/vesk_constants.h"

namespace vesk::utt {

ModelMailbox::ModelMailbox(int capacity, FailureNote note, std::function<void()> wake)
    : note_(std::move(note)), wake_(std::move(wake)) {
  si_.assign(static_cast<size_t>(capacity), 0);
  xs_.assign(static_cast<size_t>(capacity) * kKpWidth, 0.0f);
  xd_.assign(static_cast<size_t>(capacity) * kKpWidth, 0.0f);
}

ModelMailbox::~ModelMailbox() { stop(); }

void ModelMailbox::start() {
  thread_ = std::thread([this] { dispatchLoop(); });
}

void ModelMailbox::stop() {
  {
    std::lock_guard<std::mutex> lk(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void ModelMailbox::post(ModelRequest&& request) {
  {
    std::lock_guard<std::mutex> lk(mu_);
    request_ = std::move(request);
    posted_ = true;
    ready_ = false;
  }
  cv_.notify_all();
}

void ModelMailbox::waitResult() {
  std::unique_lock<std::mutex> lk(mu_);
  cv_.wait(lk, [&] { return ready_ || stop_; });
}

bool ModelMailbox::collect(ModelResult* out, std::vector<float>& audio) {
  std::lock_guard<std::mutex> lk(mu_);
  if (!ready_) return false;
  ready_ = false;
  if (audio.empty() && spent_audio_.capacity() > audio.capacity()) audio.swap(spent_audio_);
  *out = result_;
  return true;
}

ModelResult ModelMailbox::run(ModelRequest& req) {
  AudioModel* m = req.model;
  // A failing model call is a failure of the session, reported like a render failure; the run thread
  // ends the utterance on what it has.
  int b = 0, c = 0;
  bool ok = attempt(note_, "audio reset", true, [&] {
    if (req.reset) m->reset(req.start, req.dir);
    if (req.eager != 0) m->setEager(req.eager);
  });
  ok = ok && attempt(note_, "audio push", true, [&] {
         if (!req.audio.empty()) m->push(req.audio.data(), static_cast<int>(req.audio.size()));
       });
  const bool finish_failed = ok && req.finish && !attempt(note_, "audio finish", true, [&] { m->finish(); });
  ok = ok && attempt(note_, "audio avail", true, [&] { b = m->avail(); });
  ok = ok && attempt(note_, "audio pull", true, [&] {
         if (req.max > 0 && b > 0) c = m->pull(si_.data(), xs_.data(), xd_.data(), std::min(b, req.max));
       });
  ModelResult r;
  r.got = c;
  r.remaining = std::max(b - c, 0);
  r.total = m->total();
  r.finished = req.finish;
  r.failed = !ok;
  r.finish_failed = finish_failed;
  r.generation = req.generation;
  return r;
}

void ModelMailbox::dispatchLoop() {
  for (;;) {
    ModelRequest req;
    {
      std::unique_lock<std::mutex> lk(mu_);
      cv_.wait(lk, [&] { return posted_ || stop_; });
      if (stop_) return;
      req = std::move(request_);
      request_ = ModelRequest{};
      posted_ = false;
    }
    const ModelResult r = run(req);
    req.audio.clear();
    {
      std::lock_guard<std::mutex> lk(mu_);
      // The request's buffer goes back to the run thread for its next audio.
      if (req.audio.capacity() > spent_audio_.capacity()) spent_audio_.swap(req.audio);
      result_ = r;
      ready_ = true;
    }
    wake_();
    cv_.notify_all();
  }
}

}  // namespace vesk::utt
