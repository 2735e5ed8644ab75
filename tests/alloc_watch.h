// Replaces the global operator new of the test program that includes it, so a test can refuse
// large allocations made on its own thread: a size taken from a hostile number then shows up as
// std::bad_alloc instead of gigabytes of zero-filled memory. Include it from one source file only.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <new>

namespace vesk::test {

inline thread_local std::size_t t_alloc_limit = 0;  // 0: no limit
inline thread_local std::size_t t_alloc_refused = 0;

// While alive, every operator new on this thread of `limit` bytes or more throws std::bad_alloc
// and is counted. Allocations of C code (malloc) are not watched.
class AllocationLimit {
 public:
  explicit AllocationLimit(std::size_t limit) : saved_(t_alloc_limit) {
    t_alloc_limit = limit;
    t_alloc_refused = 0;
  }
  ~AllocationLimit() { t_alloc_limit = saved_; }
  AllocationLimit(const AllocationLimit&) = delete;
  AllocationLimit& operator=(const AllocationLimit&) = delete;
  std::size_t refused() const { return t_alloc_refused; }

 private:
  std::size_t saved_;
};

inline void* watchedAlloc(std::size_t n) {
  if (t_alloc_limit != 0 && n >= t_alloc_limit) {
    ++t_alloc_refused;
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(n != 0 ? n : 1)) return p;
  throw std::bad_alloc();
}

}  // namespace vesk::test

// The replacement pairs malloc with free; GCC cannot see that the operators replace each other.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t n) { return vesk::test::watchedAlloc(n); }
void* operator new[](std::size_t n) { return vesk::test::watchedAlloc(n); }
// The nothrow forms too (std::stable_sort's temporary buffer uses them): left to the runtime they
// would allocate with its own operator new and be freed by the free() below.
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return vesk::test::watchedAlloc(n);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop
