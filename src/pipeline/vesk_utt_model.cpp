#include "pipeline/vesk_utt_model.h"

#include <algorithm>
#include <stdexcept>

namespace vesk::utt {

std::unique_ptr<AudioModel> AudioModel::create(bool a2x, const std::string& dir, int threads, const std::string& ep) {
  std::unique_ptr<AudioModel> m(new AudioModel());
  if (a2x) {
    m->a2x_ = vesk_a2x_create(dir.c_str(), threads);
    if (m->a2x_ == nullptr) throw std::runtime_error(vesk_a2x_last_error());
  } else {
    m->motion_ = vesk_motion_create(dir.c_str(), threads, ep.empty() ? nullptr : ep.c_str());
    if (m->motion_ == nullptr) throw std::runtime_error(vesk_motion_last_error());
  }
  return m;
}

AudioModel::~AudioModel() {
  if (a2x_ != nullptr) vesk_a2x_destroy(a2x_);
  if (motion_ != nullptr) vesk_motion_destroy(motion_);
}

std::string AudioModel::injected(const char* call) const { return fault_ ? fault_(call) : std::string(); }

// Every call of both families clears its last error at entry, and only the
// dispatch thread calls the model: a text there belongs to the call just made.
// Some calls report failure only there (a2x computes inside avail and pull and
// still returns a count).
void AudioModel::check() const {
  const char* e = a2x_ != nullptr ? vesk_a2x_last_error() : vesk_motion_last_error();
  if (e != nullptr && *e != '\0') throw std::runtime_error(e);
}

void AudioModel::reset(int start, int dir) {
  if (std::string f = injected("reset"); !f.empty()) throw std::runtime_error(f);
  if (a2x_ != nullptr) {
    (void)vesk_a2x_reset(a2x_, start, dir, 1);
  } else {
    vesk_motion_reset(motion_, start, dir, 1);
  }
  check();
}

void AudioModel::setEager(int eager) {
  // The a2x model has no eager mode: its frames are ready as soon as their look-ahead is.
  if (motion_ != nullptr) vesk_motion_set_eager(motion_, eager);
}

void AudioModel::push(const float* samples, int n) {
  if (std::string f = injected("push"); !f.empty()) throw std::runtime_error(f);
  if (a2x_ != nullptr) {
    (void)vesk_a2x_push(a2x_, samples, n);
  } else {
    (void)vesk_motion_push(motion_, samples, n);
  }
  check();
}

void AudioModel::finish() {
  if (std::string f = injected("finish"); !f.empty()) throw std::runtime_error(f);
  if (a2x_ != nullptr) {
    vesk_a2x_finish(a2x_);
  } else {
    (void)vesk_motion_finish(motion_);
  }
  check();
}

int AudioModel::avail() {
  if (std::string f = injected("avail"); !f.empty()) throw std::runtime_error(f);
  const int n = a2x_ != nullptr ? vesk_a2x_avail(a2x_) : vesk_motion_avail(motion_);
  check();
  return std::max(n, 0);
}

int AudioModel::pull(int* si, float* xs, float* xd, int max) {
  if (std::string f = injected("pull"); !f.empty()) throw std::runtime_error(f);
  const int n = a2x_ != nullptr ? vesk_a2x_pull(a2x_, si, xs, xd, max) : vesk_motion_pull(motion_, si, xs, xd, max);
  check();
  return std::max(n, 0);
}

int AudioModel::nt() { return a2x_ != nullptr ? vesk_a2x_nt(a2x_) : vesk_motion_nt(motion_); }

int AudioModel::total() { return a2x_ != nullptr ? vesk_a2x_total(a2x_) : vesk_motion_total(motion_); }

}  // namespace vesk::utt
