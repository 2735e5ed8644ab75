#include "pipeline/vesk_utt_queue.h"

#include <cstring>

namespace vesk::utt {

KeypointQueue::KeypointQueue(int capacity) : capacity_(capacity) {
  si_.assign(static_cast<size_t>(capacity), 0);
  xs_.assign(row(capacity), 0.0f);
  xd_.assign(row(capacity), 0.0f);
}

void KeypointQueue::append(const int32_t* si, const float* xs, const float* xd, int n) {
  if (end_ + n > capacity_) {
    const int k = size();
    std::memmove(si_.data(), si_.data() + start_, sizeof(int32_t) * static_cast<size_t>(k));
    std::memmove(xs_.data(), xs_.data() + row(start_), sizeof(float) * row(k));
    std::memmove(xd_.data(), xd_.data() + row(start_), sizeof(float) * row(k));
    start_ = 0;
    end_ = k;
  }
  std::memcpy(si_.data() + end_, si, sizeof(int32_t) * static_cast<size_t>(n));
  std::memcpy(xs_.data() + row(end_), xs, sizeof(float) * row(n));
  std::memcpy(xd_.data() + row(end_), xd, sizeof(float) * row(n));
  end_ += n;
}

}  // namespace vesk::utt
