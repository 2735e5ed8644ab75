#include "driver/vesk_driver.h"

#include <sys/stat.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/vesk_image.h"
#include "core/vesk_file.h"

namespace vesk {
namespace driver {

Source::~Source() = default;

int64_t Source::frameBytes() const {
  if (W() < 0 || H() < 0) throw std::runtime_error("vesk_driver: a frame cannot have a negative size");
  return static_cast<int64_t>(
      checkedProduct({static_cast<uint64_t>(W()), static_cast<uint64_t>(H()), 3},
                     "vesk_driver: a " + std::to_string(W()) + "x" + std::to_string(H()) + " frame"));
}

namespace {

class JpgDirSource final : public Source {
 public:
  JpgDirSource(std::string dir, int NT, int W, int H) : dir_(std::move(dir)), NT_(NT), W_(W), H_(H) {}

  int32_t NT() const override { return NT_; }
  int32_t W() const override { return W_; }
  int32_t H() const override { return H_; }

  bool next(uint8_t* dst) override {
    if (pos_ >= NT_) return false;
    const std::string path = framePath(pos_);
    const ImageRGB img = decodeImageRGB(path);
    checkSize(path, img.width(), img.height());
    // Straight from the decoder's pixels into the ring slot: no copy of our own in between.
    std::memcpy(dst, img.data(), static_cast<size_t>(frameBytes()));
    ++pos_;
    return true;
  }

  std::string framePath(int i) const {
    char file[32];
    std::snprintf(file, sizeof file, "/frame_%06d.jpg", i);
    return dir_ + file;
  }

  void checkSize(const std::string& path, int w, int h) const {
    if (w != W_ || h != H_)
      throw std::runtime_error("vesk_driver: " + path + " is " + std::to_string(w) + "x" + std::to_string(h) +
                               ", the manifest says " + std::to_string(W_) + "x" + std::to_string(H_) + " — refusing");
  }

  void rewind() override { pos_ = 0; }

  void seek(int i) override {
    if (i < 0 || i >= NT_) throw std::runtime_error("vesk_driver: seek outside the member");
    pos_ = i;
  }

  std::string name() const override { return "jpg/stb"; }
  int64_t residentBytes() const override { return 0; }

 private:
  std::string dir_;
  int32_t NT_, W_, H_;
  int32_t pos_ = 0;
};

}  // namespace

std::unique_ptr<Source> openJpgDir(const std::string& dir, int NT, int W, int H) {
  auto src = std::make_unique<JpgDirSource>(dir, NT, W, H);
  // The first frame's header decides whether the declared size is real before anyone sizes a ring
  // of frames from it.
  if (NT >= 1) {
    const std::string first = src->framePath(0);
    int w = 0, h = 0;
    if (!imageSize(first, &w, &h)) throw std::runtime_error("decode failed: " + first);
    src->checkSize(first, w, h);
  }
  return src;
}

}  // namespace driver

// ---------------------------------------------------------------------------------------------
// DriverCursor

// Ring positions count the frames decoded into the ring; a slot records which position and source
// frame it holds and when it was last handed out. Slots are not tied to position mod slots: the
// decode thread writes into the free slot that holds the oldest position, and a slot handed out by
// one of the last history + 1 takes is never free. Seeks drop look-ahead positions without any
// frame being taken, so a positional ring would let them run over a frame the consumer still holds.
struct DriverCursor::Impl {
  static constexpr uint64_t kNever = ~0ull;

  // Set before the decode thread starts and only read after. The source itself is used by the
  // decode thread alone (seek and next run with state_mutex released).
  std::unique_ptr<driver::Source> source;
  int32_t NT = 0, W = 0, H = 0;
  uint64_t frame_bytes = 0;
  int32_t ahead = 1;
  int32_t history = 0;
  int32_t slots = 0;
  // The bytes of a slot are written by the decode thread only while the slot is marked empty
  // (slot_frame -1) and read by callers only while it holds a frame; the marks change under
  // state_mutex, so the two never touch one slot at once.
  std::vector<std::vector<uint8_t>> ring;

  // caller_mutex serialises the public calls, so one pull or seek runs at a time whatever thread
  // makes it. state_mutex guards every field from slot_frame down to seeks and is the one the
  // decode thread takes; room wakes the decode thread (a slot freed, a seek, stop), ready wakes a
  // caller (a frame decoded, an error). Lock order: caller_mutex, then state_mutex.
  mutable std::mutex state_mutex;
  std::mutex caller_mutex;
  std::condition_variable room;
  std::condition_variable ready;
  std::vector<int32_t> slot_frame;  // -1: empty, or being decoded into
  std::vector<uint64_t> slot_pos;   // position held, when slot_frame >= 0
  std::vector<uint64_t> slot_take;  // the take that last handed the slot out, kNever when none
  uint64_t consumed = 0;
  uint64_t produced = 0;
  uint64_t floor = 0;
  uint64_t takes = 0;
  bool busy = false;
  int32_t next_decode = 0;
  int32_t expected = 0;
  int32_t source_pos = 0;
  int32_t pending_seek = -1;
  uint64_t generation = 0;
  bool stop = false;
  std::string error;
  uint64_t seeks = 0;
  std::thread thread;

  void fail(std::unique_lock<std::mutex>&, const std::string& text) {
    if (error.empty()) error = text;
    ready.notify_all();
  }

  // The slot holding position p, or -1 when that frame has been overwritten.
  int slotOf(uint64_t p) const {
    for (int s = 0; s < slots; ++s)
      if (slot_frame[static_cast<size_t>(s)] >= 0 && slot_pos[static_cast<size_t>(s)] == p) return s;
    return -1;
  }

  // Positions whose frames are gone cannot be taken; the next take is the first one still held.
  void skipLost() {
    while (consumed < produced && slotOf(consumed) < 0) ++consumed;
  }

  // A pointer handed out by take t stays valid until take t + history + 1.
  bool pinned(size_t s) const {
    return slot_take[s] != kNever && takes - slot_take[s] <= static_cast<uint64_t>(history);
  }

  // The slot the decode thread fills next: not pinned, not holding look-ahead (a position the
  // consumer has yet to take), and of those the emptiest or oldest. At most ahead - 1 look-ahead
  // slots and history + 1 pinned ones exist while the decoder has room, so one is always free.
  int freeSlot() const {
    int best = -1;
    for (int s = 0; s < slots; ++s) {
      const size_t S = static_cast<size_t>(s);
      if (pinned(S)) continue;
      if (slot_frame[S] < 0) return s;
      if (slot_pos[S] >= consumed) continue;
      if (best < 0 || slot_pos[S] < slot_pos[static_cast<size_t>(best)]) best = s;
    }
    return best;
  }

  // With the state mutex held.
  const uint8_t* take(std::unique_lock<std::mutex>& lk, bool mut, int* index) {
    for (;;) {
      if (!error.empty()) throw std::runtime_error(error);
      skipLost();
      if (consumed < produced) {
        const uint64_t p = consumed++;
        // A frame handed out for writing is never served again from history.
        if (mut) floor = p + 1;
        const size_t s = static_cast<size_t>(slotOf(p));
        slot_take[s] = ++takes;
        room.notify_one();
        *index = slot_frame[s];
        expected = (*index + 1) % NT;
        return ring[s].data();
      }
      ready.wait(lk);
    }
  }

  // With the state mutex held: makes frame a the one the next take returns.
  void seekTo(std::unique_lock<std::mutex>&, int a) {
    if (!error.empty()) throw std::runtime_error(error);
    expected = a;
    skipLost();
    int32_t upcoming;
    if (consumed < produced)
      upcoming = slot_frame[static_cast<size_t>(slotOf(consumed))];
    else if (pending_seek >= 0)
      upcoming = pending_seek;
    else
      upcoming = next_decode;
    if (upcoming == a) return;
    // A pending seek decides what comes next, so neither the window nor next_decode can serve a
    // different frame until it has been carried out.
    if (pending_seek < 0) {
      uint64_t lo = floor;
      if (static_cast<uint64_t>(history) + 1 < consumed) lo = std::max(lo, consumed - static_cast<uint64_t>(history) - 1);
      // The earliest position in the window that still holds a: a step back into history or
      // forward over look-ahead frames.
      uint64_t hit = kNever;
      for (size_t s = 0; s < static_cast<size_t>(slots); ++s)
        if (slot_frame[s] == a && slot_pos[s] >= lo && slot_pos[s] < produced && slot_pos[s] < hit) hit = slot_pos[s];
      if (hit != kNever) {
        consumed = hit;
        room.notify_one();
        return;
      }
      if (a == next_decode) {
        consumed = produced;
        room.notify_one();
        return;
      }
    }
    consumed = produced;
    pending_seek = a;
    ++generation;
    ++seeks;
    room.notify_one();
  }

  void checkRange(int a) const {
    if (a < 0 || a >= NT)
      throw std::runtime_error("vesk_driver: seek(" + std::to_string(a) + ") outside [0," + std::to_string(NT) + ")");
  }

  void run() {
    std::unique_lock<std::mutex> lk(state_mutex);
    for (;;) {
      if (stop) return;
      if (pending_seek >= 0) {
        const int32_t target = pending_seek;
        next_decode = target;
        pending_seek = -1;
        lk.unlock();
        try {
          source->seek(target);
        } catch (const std::exception& e) {
          lk.lock();
          fail(lk, std::string("vesk_driver: seek failed: ") + e.what());
          return;
        }
        lk.lock();
        source_pos = target;
        continue;
      }
      if (produced - consumed < static_cast<uint64_t>(ahead)) {
        const int free_slot = freeSlot();
        if (free_slot < 0) {
          fail(lk, "vesk_driver: no free slot in the ring of " + std::to_string(slots) + " frames");
          return;
        }
        const size_t slot = static_cast<size_t>(free_slot);
        const uint64_t gen = generation;
        const int32_t r = next_decode;
        // The slot's old frame is gone from here on, whatever becomes of the new one.
        slot_frame[slot] = -1;
        busy = true;
        lk.unlock();
        try {
          if (source_pos == NT) {
            source->rewind();
            source_pos = 0;
          }
          if (!source->next(ring[slot].data()))
            throw std::runtime_error(source->name() + " ended after " + std::to_string(source_pos) +
                                     " frames, the manifest says NT=" + std::to_string(NT) +
                                     " — a short driver is a session that stops part way through the loop, refusing");
        } catch (const std::exception& e) {
          lk.lock();
          busy = false;
          fail(lk, std::string("vesk_driver: ") + e.what());
          return;
        }
        ++source_pos;
        lk.lock();
        busy = false;
        if (gen == generation) {
          slot_frame[slot] = r;
          slot_pos[slot] = produced++;
          next_decode = (r + 1) % NT;
          ready.notify_all();
        }
        continue;
      }
      room.wait(lk);
    }
  }
};

DriverCursor::DriverCursor(std::unique_ptr<driver::Source> source, int ahead, int history)
    : impl_(std::make_unique<Impl>()) {
  if (!source) throw std::runtime_error("vesk_driver: no source to play");
  Impl& m = *impl_;
  m.NT = source->NT();
  m.W = source->W();
  m.H = source->H();
  if (m.NT < 1) throw std::runtime_error("vesk_driver: a cursor needs at least one frame (NT=" + std::to_string(m.NT) + ")");
  const int64_t fb = source->frameBytes();
  if (fb <= 0) throw std::runtime_error("vesk_driver: a cursor needs frames of at least one byte");
  m.frame_bytes = static_cast<uint64_t>(fb);
  m.ahead = std::max(ahead, 1);
  m.history = std::max(history, 0);
  m.slots = m.ahead + m.history + 1;
  (void)checkedProduct({static_cast<uint64_t>(m.slots), m.frame_bytes},
                       "vesk_driver: a ring of " + std::to_string(m.slots) + " frames");
  m.ring.assign(static_cast<size_t>(m.slots), std::vector<uint8_t>(m.frame_bytes));
  m.slot_frame.assign(static_cast<size_t>(m.slots), -1);
  m.slot_pos.assign(static_cast<size_t>(m.slots), 0);
  m.slot_take.assign(static_cast<size_t>(m.slots), Impl::kNever);
  NT_ = m.NT;
  W_ = m.W;
  H_ = m.H;
  frame_bytes_ = fb;
  name_ = source->name();
  m.source = std::move(source);
  m.thread = std::thread([this] { impl_->run(); });
}

DriverCursor::~DriverCursor() {
  {
    std::lock_guard<std::mutex> lk(impl_->state_mutex);
    impl_->stop = true;
  }
  impl_->room.notify_all();
  impl_->ready.notify_all();
  if (impl_->thread.joinable()) impl_->thread.join();
}

std::unique_ptr<DriverCursor> DriverCursor::over(std::unique_ptr<driver::Source> source, int ahead, int history) {
  return std::make_unique<DriverCursor>(std::move(source), ahead, history);
}

int DriverCursor::pull(uint8_t* dst) {
  int si = -1;
  std::lock_guard<std::mutex> caller(impl_->caller_mutex);
  const uint8_t* p;
  {
    std::unique_lock<std::mutex> lk(impl_->state_mutex);
    impl_->seekTo(lk, impl_->expected);
    p = impl_->take(lk, false, &si);
  }
  // The decode thread cannot reach this slot before more frames are taken, and the caller
  // mutex keeps other consumers from taking them meanwhile.
  std::memcpy(dst, p, impl_->frame_bytes);
  return si;
}

const uint8_t* DriverCursor::pull(int* si) {
  int got = -1;
  std::lock_guard<std::mutex> caller(impl_->caller_mutex);
  std::unique_lock<std::mutex> lk(impl_->state_mutex);
  impl_->seekTo(lk, impl_->expected);
  const uint8_t* p = impl_->take(lk, false, &got);
  if (si) *si = got;
  return p;
}

uint8_t* DriverCursor::pullMut(int* si) {
  int got = -1;
  std::lock_guard<std::mutex> caller(impl_->caller_mutex);
  std::unique_lock<std::mutex> lk(impl_->state_mutex);
  impl_->seekTo(lk, impl_->expected);
  const uint8_t* p = impl_->take(lk, true, &got);
  if (si) *si = got;
  return const_cast<uint8_t*>(p);
}

namespace {
void checkYield(int taken, int asked) {
  if (taken != asked)
    throw std::runtime_error("vesk_driver: cursor yielded frame " + std::to_string(taken) + " for si=" +
                             std::to_string(asked));
}
}  // namespace

int DriverCursor::pullAt(int si, uint8_t* dst) {
  impl_->checkRange(si);
  int got = -1;
  std::lock_guard<std::mutex> caller(impl_->caller_mutex);
  const uint8_t* p;
  {
    std::unique_lock<std::mutex> lk(impl_->state_mutex);
    impl_->seekTo(lk, si);
    p = impl_->take(lk, false, &got);
  }
  checkYield(got, si);
  std::memcpy(dst, p, impl_->frame_bytes);
  return got;
}

const uint8_t* DriverCursor::pullAt(int si, int* out) {
  impl_->checkRange(si);
  int got = -1;
  std::lock_guard<std::mutex> caller(impl_->caller_mutex);
  std::unique_lock<std::mutex> lk(impl_->state_mutex);
  impl_->seekTo(lk, si);
  const uint8_t* p = impl_->take(lk, false, &got);
  checkYield(got, si);
  if (out) *out = got;
  return p;
}

uint8_t* DriverCursor::pullMutAt(int si, int* out) {
  impl_->checkRange(si);
  int got = -1;
  std::lock_guard<std::mutex> caller(impl_->caller_mutex);
  std::unique_lock<std::mutex> lk(impl_->state_mutex);
  impl_->seekTo(lk, si);
  const uint8_t* p = impl_->take(lk, true, &got);
  checkYield(got, si);
  if (out) *out = got;
  return const_cast<uint8_t*>(p);
}

void DriverCursor::seek(int i) {
  impl_->checkRange(i);
  std::lock_guard<std::mutex> caller(impl_->caller_mutex);
  std::unique_lock<std::mutex> lk(impl_->state_mutex);
  impl_->seekTo(lk, i);
}

int DriverCursor::ahead() const { return impl_->ahead; }
int DriverCursor::history() const { return impl_->history; }

int DriverCursor::position() const {
  std::lock_guard<std::mutex> lk(impl_->state_mutex);
  return impl_->expected;
}

uint64_t DriverCursor::seeks() const {
  std::lock_guard<std::mutex> lk(impl_->state_mutex);
  return impl_->seeks;
}

int64_t DriverCursor::residentBytes() const {
  return static_cast<int64_t>(impl_->slots) * static_cast<int64_t>(impl_->frame_bytes) + impl_->source->residentBytes();
}

}  // namespace vesk
