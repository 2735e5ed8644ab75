// The keypoint queue: the keypoint frames the audio model has given and the renderer has not yet
// taken, as a source index and the xs and xd rows per frame, held in arrays so that the frames from
// the head on lie next to each other for a chunk render. It belongs to the run thread alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/vesk_constants.h"

namespace vesk::utt {

class KeypointQueue {
 public:
  explicit KeypointQueue(int capacity);

  int size() const { return end_ - start_; }
  // Frames an append may add.
  int room() const { return capacity_ - size(); }
  // Appends n <= room() frames, first moving the queue's content to the front when they would not
  // fit behind it.
  void append(const int32_t* si, const float* xs, const float* xd, int n);
  void pop() { ++start_; }
  void clear() { start_ = end_ = 0; }

  // From the head: the source indices, and the xs and xd rows, of the queued frames in order.
  const int32_t* si() const { return si_.data() + start_; }
  const float* xs() const { return xs_.data() + row(start_); }
  const float* xd() const { return xd_.data() + row(start_); }

 private:
  static size_t row(int i) { return static_cast<size_t>(i) * kKpWidth; }

  int capacity_;
  std::vector<int32_t> si_;
  std::vector<float> xs_, xd_;
  int start_ = 0, end_ = 0;
};

}  // namespace vesk::utt
