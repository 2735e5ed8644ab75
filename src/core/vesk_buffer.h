// Growing buffers of a streaming session: dropping what no later step reads, and giving memory back
// between utterances.
#pragma once

#include <algorithm>
#include <cstddef>

namespace vesk {

// Drops the first n elements (all of them when there are fewer).
template <class V>
void eraseFront(V& v, size_t n) {
  v.erase(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(std::min(n, v.size())));
}

// Empties a buffer; one that grew past 16 MiB gives its memory back, a smaller one keeps it for the
// next utterance.
template <class V>
void releaseIfLarge(V& v) {
  v.clear();
  if (v.capacity() * sizeof(typename V::value_type) > 16777216u) V().swap(v);
}

}  // namespace vesk
