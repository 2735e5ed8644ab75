// The worker pool: each calling thread owns a few workers and splits ranges over them.
#pragma once

#include <cstddef>
#include <functional>

namespace vesk::pool {

// Pool size, fixed for the process: VESK_CORE_THREADS, else VESK_PASTE_THREADS, else 4, never more
// than the hardware threads.
int threads();

// Always true: the pool needs nothing the platform may lack.
bool available();

// Chunks a range of n items is cut into for the given grain.
int parts(size_t n, size_t grain);

// Runs fn(begin, end) over equal contiguous chunks of [0, n) on this thread's workers (the caller
// takes chunk 0) and returns when all are done. Nested calls run serially.
void parallelRange(size_t n, size_t grain, const std::function<void(size_t, size_t)>& fn);

// The rules behind threads() and parts(), on given inputs, so they can be checked without a new
// process: core and paste are the two variables' values (null when unset), hw the hardware count.
int threadCountFor(const char* core, const char* paste, unsigned hw);
int partsFor(size_t n, size_t grain, int threads);

// Chunk i of [0, n) cut into the given number of parts: [begin, end), empty when begin >= end.
struct Chunk {
  size_t begin;
  size_t end;
};
Chunk chunkOf(size_t n, int parts, int i);

}  // namespace vesk::pool
