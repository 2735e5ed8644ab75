// The driver cursor under its decode thread: loops, history and look-ahead hits, real seeks,
// sticky failures and shutdown while a frame is being decoded.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "test_util.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <thread>

#include "driver/driver_test_media.h"
#include "driver/vesk_driver.h"

namespace vesk {
using vesk::test::errorOf;

namespace {

using namespace std::chrono_literals;
using ::testing::StartsWith;

// What a fake source did; outlives the source so a test can look after the cursor is gone.
struct Counters {
  std::atomic<int> delivered{0};  // frames produced since construction
  std::atomic<int> rewinds{0};
  std::atomic<int> seeks{0};
  std::atomic<int> last_seek{-1};
  std::atomic<int> in_next{0};
  std::atomic<int> destroyed{0};
};

// Frames of kBytes bytes, every byte (frame index * 7 + 1) & 0xff; optionally short, slow or failing.
class FakeSource final : public driver::Source {
 public:
  static constexpr int kW = 4, kH = 2;
  FakeSource(int nt, Counters* c) : nt_(nt), c_(c) {}
  ~FakeSource() override { c_->destroyed.store(1); }
  int32_t NT() const override { return nt_; }
  int32_t W() const override { return kW; }
  int32_t H() const override { return kH; }
  bool next(uint8_t* dst) override {
    c_->in_next.fetch_add(1);
    if (delay.count()) std::this_thread::sleep_for(delay);
    c_->in_next.fetch_sub(1);
    if (pos_ == fail_at) throw std::runtime_error("boom at " + std::to_string(pos_));
    if (pos_ >= frames()) return false;
    std::memset(dst, byteOf(pos_), static_cast<size_t>(frameBytes()));
    ++pos_;
    c_->delivered.fetch_add(1);
    return true;
  }
  void rewind() override {
    c_->rewinds.fetch_add(1);
    pos_ = 0;
  }
  void seek(int i) override {
    c_->seeks.fetch_add(1);
    c_->last_seek.store(i);
    if (seek_throws) throw std::runtime_error("no seeking here");
    pos_ = i;
  }
  std::string name() const override { return "fake"; }
  int64_t residentBytes() const override { return 1000; }

  static uint8_t byteOf(int i) { return static_cast<uint8_t>((i * 7 + 1) & 0xff); }

  std::chrono::milliseconds delay{0};
  int short_by = 0;
  int fail_at = -1;
  bool seek_throws = false;

 private:
  int frames() const { return nt_ - short_by; }
  int nt_;
  Counters* c_;
  int pos_ = 0;
};

constexpr int kFrameBytes = FakeSource::kW * FakeSource::kH * 3;

bool waitFor(const std::atomic<int>& v, int at_least) {
  for (int i = 0; i < 4000 && v.load() < at_least; ++i) std::this_thread::sleep_for(1ms);
  return v.load() >= at_least;
}

std::unique_ptr<DriverCursor> cursor(int nt, Counters& c, int ahead = 2, int history = 11,
                                     void (*tweak)(FakeSource&) = nullptr) {
  auto src = std::make_unique<FakeSource>(nt, &c);
  if (tweak) tweak(*src);
  return DriverCursor::over(std::move(src), ahead, history);
}

TEST(DriverCursor, PullsLoopAfterTheLastFrameWithOneRewindAndNoSeeks) {
  Counters c;
  const int nt = 10;
  auto cur = cursor(nt, c);
  std::vector<uint8_t> f(kFrameBytes);
  for (int k = 0; k < nt + 3; ++k) {
    ASSERT_EQ(cur->pull(f.data()), k % nt);
    ASSERT_EQ(f[0], FakeSource::byteOf(k % nt));
    ASSERT_EQ(f[kFrameBytes - 1], FakeSource::byteOf(k % nt));
  }
  EXPECT_EQ(cur->seeks(), 0u);
  EXPECT_EQ(c.seeks.load(), 0);
  EXPECT_EQ(c.rewinds.load(), 1);
  EXPECT_EQ(cur->position(), 3);
}

TEST(DriverCursor, HistoryHitCostsNoSeekAndPullContinuesAfterIt) {
  Counters c;
  auto cur = cursor(40, c);
  int si = -1;
  for (int k = 0; k <= 20; ++k) ASSERT_EQ((cur->pull(&si), si), k);
  const uint8_t* p = cur->pullAt(10, &si);
  EXPECT_EQ(si, 10);
  EXPECT_EQ(p[0], FakeSource::byteOf(10));
  EXPECT_EQ(cur->seeks(), 0u);
  cur->pull(&si);
  EXPECT_EQ(si, 11);
  EXPECT_EQ(cur->seeks(), 0u);
  EXPECT_EQ(c.seeks.load(), 0);
}

TEST(DriverCursor, BeyondHistoryIsARealSeek) {
  Counters c;
  auto cur = cursor(40, c);
  int si = -1;
  for (int k = 0; k <= 20; ++k) cur->pull(&si);
  const uint8_t* p = cur->pullAt(8, &si);
  EXPECT_EQ(si, 8);
  EXPECT_EQ(p[0], FakeSource::byteOf(8));
  EXPECT_EQ(cur->seeks(), 1u);
  EXPECT_EQ(c.seeks.load(), 1);
  EXPECT_EQ(c.last_seek.load(), 8);
  cur->pull(&si);
  EXPECT_EQ(si, 9);
}

TEST(DriverCursor, LookAheadHitCostsNoSeek) {
  Counters c;
  auto cur = cursor(40, c, /*ahead=*/4, /*history=*/2);
  int si = -1;
  for (int k = 0; k <= 5; ++k) cur->pull(&si);
  ASSERT_TRUE(waitFor(c.delivered, 10));  // 6..9 decoded ahead
  const uint8_t* p = cur->pullAt(8, &si);
  EXPECT_EQ(si, 8);
  EXPECT_EQ(p[0], FakeSource::byteOf(8));
  cur->pull(&si);
  EXPECT_EQ(si, 9);
  // The frame the decoder is about to make next is no seek either.
  ASSERT_TRUE(waitFor(c.delivered, 13));
  cur->pullAt(13, &si);
  EXPECT_EQ(si, 13);
  EXPECT_EQ(cur->seeks(), 0u);
  EXPECT_EQ(c.seeks.load(), 0);
}

TEST(DriverCursor, AFrameTakenForWritingIsNeverServedFromHistory) {
  Counters c;
  auto cur = cursor(40, c);
  int si = -1;
  for (int k = 0; k < 5; ++k) cur->pull(&si);
  uint8_t* w = cur->pullMut(&si);
  ASSERT_EQ(si, 5);
  w[0] = 0xEE;
  cur->pull(&si);
  cur->pull(&si);
  const uint8_t* p = cur->pullAt(5, &si);
  EXPECT_EQ(cur->seeks(), 1u);
  EXPECT_EQ(p[0], FakeSource::byteOf(5));
  // The same for a frame written through pullMutAt.
  cur->pullMutAt(6, &si);
  cur->pull(&si);
  EXPECT_EQ(si, 7);
  cur->pullAt(6, &si);
  EXPECT_EQ(cur->seeks(), 2u);
}

TEST(DriverCursor, InPlaceFramesStayIntactForTheHistoryWindow) {
  Counters c;
  const int history = 5;
  auto cur = cursor(50, c, 2, history);
  int si = -1;
  for (int k = 0; k < 7; ++k) cur->pull(&si);
  const uint8_t* kept = cur->pull(&si);
  const int kept_si = si;
  for (int k = 0; k < history; ++k) {
    cur->pull(&si);
    std::this_thread::sleep_for(1ms);  // let the decoder run as far ahead as it may
    for (int b = 0; b < kFrameBytes; ++b) ASSERT_EQ(kept[b], FakeSource::byteOf(kept_si)) << k;
  }
}

TEST(DriverCursor, InPlaceFramesStayIntactAcrossFarSeeks) {
  // Far seeks drop look-ahead frames without any frame being taken; a pointer handed out must still
  // hold its frame until history + 1 further frames have been taken, however the consumer jumps.
  Counters c;
  const int nt = 200, history = 3;
  auto cur = cursor(nt, c, 2, history);
  struct Held {
    const uint8_t* p;
    int si;
    int take;
  };
  std::vector<Held> held;
  std::mt19937 rng(7);
  int si = -1;
  for (int take = 0; take < 60; ++take) {
    if (take % 3 == 0) {
      cur->seek(static_cast<int>(rng() % nt));
      std::this_thread::sleep_for(2ms);
      cur->seek(static_cast<int>(rng() % nt));
    }
    const int want = static_cast<int>(rng() % nt);
    const uint8_t* p = take % 4 == 1 ? cur->pullMutAt(want, &si) : take % 2 ? cur->pullAt(want, &si) : cur->pull(&si);
    held.push_back({p, si, take});
    std::this_thread::sleep_for(2ms);  // let the decoder run as far ahead as it may
    for (const Held& h : held) {
      if (take - h.take > history) continue;  // its promise has run out
      for (int b = 0; b < kFrameBytes; ++b)
        ASSERT_EQ(h.p[b], FakeSource::byteOf(h.si)) << "frame " << h.si << " of take " << h.take << " at take " << take;
    }
  }
  EXPECT_GT(cur->seeks(), 20u);
}

TEST(DriverCursor, AFrameSizeBeyondSixtyFourBitsIsRefused) {
  class Huge final : public driver::Source {
   public:
    int32_t NT() const override { return 4; }
    int32_t W() const override { return 2147483647; }
    int32_t H() const override { return 2147483647; }
    bool next(uint8_t*) override { return false; }
    void rewind() override {}
    void seek(int) override {}
    std::string name() const override { return "huge"; }
    int64_t residentBytes() const override { return 0; }
  };
  EXPECT_EQ(errorOf([] { DriverCursor::over(std::make_unique<Huge>(), 2, 11); }),
            "vesk_driver: a 2147483647x2147483647 frame does not fit a 64-bit size — a broken or hostile number, "
            "refusing");
}

TEST(DriverCursor, SeekMovesThePlainPullAndRefusesOutsideTheMember) {
  Counters c;
  auto cur = cursor(30, c);
  cur->seek(17);
  EXPECT_EQ(cur->position(), 17);
  std::vector<uint8_t> f(kFrameBytes);
  EXPECT_EQ(cur->pull(f.data()), 17);
  EXPECT_EQ(f[0], FakeSource::byteOf(17));
  EXPECT_EQ(cur->seeks(), 1u);
  EXPECT_EQ(errorOf([&] { cur->seek(30); }), "vesk_driver: seek(30) outside [0,30)");
  EXPECT_EQ(errorOf([&] { cur->seek(-1); }), "vesk_driver: seek(-1) outside [0,30)");
  int si;
  EXPECT_EQ(errorOf([&] { cur->pullAt(30, &si); }), "vesk_driver: seek(30) outside [0,30)");
  EXPECT_EQ(errorOf([&] { cur->pullAt(-2, f.data()); }), "vesk_driver: seek(-2) outside [0,30)");
  // A refused argument leaves the cursor as it was.
  EXPECT_EQ(cur->pull(f.data()), 18);
}

TEST(DriverCursor, PendingSeekIsNotOverriddenByAStaleNextFrame) {
  Counters c;
  auto cur = cursor(60, c, 2, 3, [](FakeSource& s) { s.delay = 20ms; });
  int si = -1;
  cur->pull(&si);
  cur->seek(40);              // real seek, possibly not carried out yet
  // 1 is still the frame the decoder is working on: once the seek is carried out it is not coming.
  const uint8_t* p = cur->pullAt(1, &si);
  EXPECT_EQ(si, 1);
  EXPECT_EQ(p[0], FakeSource::byteOf(1));
}

TEST(DriverCursor, ShortDriverFailsForGood) {
  Counters c;
  auto cur = cursor(10, c, 2, 11, [](FakeSource& s) { s.short_by = 1; });
  std::vector<uint8_t> f(kFrameBytes);
  const std::string text =
      "vesk_driver: fake ended after 9 frames, the manifest says NT=10 — a short driver is a session that stops part "
      "way through the loop, refusing";
  std::string err;
  int pulled = 0;
  for (; pulled < 20; ++pulled) {
    err = errorOf([&] { cur->pull(f.data()); });
    if (err != "(no error)") break;
  }
  EXPECT_EQ(err, text);
  EXPECT_LE(pulled, 9);
  EXPECT_EQ(errorOf([&] { cur->pull(f.data()); }), text);
  EXPECT_EQ(errorOf([&] { cur->pullAt(0, f.data()); }), text);
  EXPECT_EQ(errorOf([&] { cur->seek(3); }), text);
}

TEST(DriverCursor, SourceFaultsAreRecordedAndThrownToTheConsumer) {
  {
    Counters c;
    auto cur = cursor(10, c, 2, 11, [](FakeSource& s) { s.fail_at = 0; });
    std::vector<uint8_t> f(kFrameBytes);
    EXPECT_EQ(errorOf([&] { cur->pull(f.data()); }), "vesk_driver: boom at 0");
    EXPECT_EQ(errorOf([&] { cur->pull(f.data()); }), "vesk_driver: boom at 0");
  }
  {
    Counters c;
    auto cur = cursor(40, c, 2, 1, [](FakeSource& s) { s.seek_throws = true; });
    int si;
    cur->pull(&si);
    EXPECT_EQ(errorOf([&] { cur->pullAt(30, &si); }), "vesk_driver: seek failed: no seeking here");
    EXPECT_EQ(errorOf([&] { cur->pull(&si); }), "vesk_driver: seek failed: no seeking here");
  }
}

TEST(DriverCursor, DestructionWaitsForTheFrameBeingDecoded) {
  Counters c;
  {
    auto cur = cursor(10, c, 2, 1, [](FakeSource& s) { s.delay = 100ms; });
    ASSERT_TRUE(waitFor(c.in_next, 1));  // the decode thread is inside the source
  }
  EXPECT_EQ(c.in_next.load(), 0);
  EXPECT_EQ(c.destroyed.load(), 1);
}

TEST(DriverCursor, ClampsWindowsAndReportsResidentBytes) {
  Counters c;
  auto cur = cursor(5, c, 0, -4);
  EXPECT_EQ(cur->residentBytes(), 2 * kFrameBytes + 1000);  // ahead 1, history 0
  EXPECT_EQ(cur->name(), "fake");
  EXPECT_EQ(cur->NT(), 5);
  EXPECT_EQ(cur->frameBytes(), kFrameBytes);
  int si;
  for (int k = 0; k < 12; ++k) {
    cur->pull(&si);
    EXPECT_EQ(si, k % 5);
  }
  auto wide = cursor(5, c, 2, 11);
  EXPECT_EQ(wide->residentBytes(), 14 * kFrameBytes + 1000);
}

TEST(DriverCursor, RandomAccessAlwaysYieldsTheFrameAskedFor) {
  Counters c;
  auto cur = cursor(64, c, 3, 6);
  std::mt19937 rng(1234);
  std::vector<uint8_t> f(kFrameBytes);
  int expect = 0;
  for (int k = 0; k < 600; ++k) {
    const int mode = static_cast<int>(rng() % 4);
    if (mode == 0) {
      const int si = static_cast<int>(rng() % 64);
      ASSERT_EQ(cur->pullAt(si, f.data()), si);
      ASSERT_EQ(f[0], FakeSource::byteOf(si));
      expect = (si + 1) % 64;
    } else if (mode == 1) {
      const int si = (expect + static_cast<int>(rng() % 9) + 64 - 5) % 64;  // near: history or look-ahead
      int got;
      const uint8_t* p = cur->pullAt(si, &got);
      ASSERT_EQ(p[0], FakeSource::byteOf(si));
      expect = (si + 1) % 64;
    } else {
      ASSERT_EQ(cur->pull(f.data()), expect);
      ASSERT_EQ(f[0], FakeSource::byteOf(expect));
      expect = (expect + 1) % 64;
    }
  }
}

TEST(DriverCursor, ConcurrentConsumersEachGetWholeFrames) {
  Counters c;
  auto cur = cursor(32, c, 2, 4);
  std::atomic<int> bad{0};
  std::vector<std::thread> ts;
  for (int t = 0; t < 3; ++t)
    ts.emplace_back([&, t] {
      std::vector<uint8_t> f(kFrameBytes);
      for (int k = 0; k < 200; ++k) {
        int si = (t == 2) ? cur->pullAt((k * 5) % 32, f.data()) : cur->pull(f.data());
        for (uint8_t b : f)
          if (b != FakeSource::byteOf(si)) bad.fetch_add(1);
        if (k % 50 == 0) {
          (void)cur->position();
          (void)cur->seeks();
          (void)cur->residentBytes();
        }
      }
    });
  for (auto& t : ts) t.join();
  EXPECT_EQ(bad.load(), 0);
}

// The real decoder behind the cursor: frames match the command line's decode through loops and seeks.
TEST(DriverCursorMp4, PlaysTheDriverBitExactThroughLoopAndSeeks) {
  using namespace testmedia;
  const int w = 64, h = 48, nt = 30;
  const std::string dir = scratchDir("cursor_mp4");
  const std::string mp4 = dir + "/d.mp4";
  makeH264(mp4, w, h, nt);
  const std::vector<uint8_t> yuv = cliDecode(mp4, "yuv420p");
  const size_t fsz = static_cast<size_t>(w) * h * 3 / 2;
  auto cur = DriverCursor::over(driver::openMp4(mp4, nt, w, h), 2, 11);
  std::vector<uint8_t> f(static_cast<size_t>(w) * h * 3);
  for (int k = 0; k < nt + 3; ++k) {
    const int si = cur->pull(f.data());
    ASSERT_EQ(si, k % nt);
    ASSERT_EQ(f, yuv420ToRgb(yuv.data() + fsz * si, w, h)) << k;
  }
  EXPECT_EQ(cur->seeks(), 0u);
  for (int k = 3; k <= 20; ++k) cur->pull(f.data());
  ASSERT_EQ(cur->pullAt(10, f.data()), 10);
  EXPECT_EQ(cur->seeks(), 0u);
  ASSERT_EQ(cur->pullAt(2, f.data()), 2);
  EXPECT_EQ(cur->seeks(), 1u);
  EXPECT_EQ(f, yuv420ToRgb(yuv.data() + fsz * 2, w, h));
  ASSERT_EQ(cur->pullAt(25, f.data()), 25);
  EXPECT_EQ(f, yuv420ToRgb(yuv.data() + fsz * 25, w, h));
  EXPECT_GT(cur->residentBytes(), 14 * static_cast<int64_t>(f.size()));
}

TEST(DriverCursorMp4, ShortMemberFailsAtTheLoop) {
  using namespace testmedia;
  const std::string dir = scratchDir("cursor_short");
  const std::string mkv = dir + "/short.mkv";  // Matroska states no count, so the open accepts it
  makeH264(mkv, 64, 48, 7);
  auto cur = DriverCursor::over(driver::openMp4(mkv, 8, 64, 48), 2, 11);
  std::vector<uint8_t> f(64 * 48 * 3);
  std::string err;
  for (int k = 0; k < 10 && err.empty(); ++k) {
    try {
      cur->pull(f.data());
    } catch (const std::exception& e) {
      err = e.what();
    }
  }
  EXPECT_THAT(err, StartsWith("vesk_driver: mp4/libavcodec"));
  EXPECT_THAT(err, ::testing::HasSubstr(" ended after 7 frames, the manifest says NT=8 — a short driver is a session "
                                        "that stops part way through the loop, refusing"));
  EXPECT_EQ(errorOf([&] { cur->pull(f.data()); }), err);
}

}  // namespace
}  // namespace vesk
