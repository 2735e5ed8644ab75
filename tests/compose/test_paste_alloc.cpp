#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "compose/vesk_paste.h"

// Counts every allocation of the process, so a warmed paste can be shown to allocate nothing.
namespace {
std::atomic<long> g_allocs{0};
}

// GCC pairs the replaced operators with the library's and warns about malloc against free.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t n) {
  g_allocs.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace vesk {
namespace {

TEST(PasteAlloc, WarmCompositeAllocatesNothing) {
  const int side = 96, W = 400, H = 300;
  std::vector<uint8_t> mask(size_t(side) * side, 255);
  std::vector<float> crop(size_t(3) * side * side, 0.4f);
  std::vector<uint8_t> frame(size_t(W) * H * 3, 20);
  const float wide[6] = {2.5f, 0.3f, 20, -0.3f, 2.5f, 15};
  const float narrow[6] = {0.7f, 0.1f, 150, -0.1f, 0.7f, 90};
  for (const char* mode : {"0", "1", "2"}) {
    SCOPED_TRACE(mode);
    setenv("VESK_PASTE_FAST", mode, 1);
    Paste paste(mask, side, PasteUnsharp{});
    unsetenv("VESK_PASTE_FAST");
    // The widest box first: the column tables then hold every later one.
    paste.composite(crop.data(), 255.0f, wide, frame.data(), W, H);
    paste.composite(crop.data(), 255.0f, narrow, frame.data(), W, H);
    const long before = g_allocs.load();
    for (int i = 0; i < 3; ++i) {
      paste.composite(crop.data(), 255.0f, narrow, frame.data(), W, H);
      paste.composite(crop.data(), 255.0f, wide, frame.data(), W, H);
    }
    EXPECT_EQ(g_allocs.load() - before, 0);
  }
}

}  // namespace
}  // namespace vesk
