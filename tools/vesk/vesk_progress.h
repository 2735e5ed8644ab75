// A progress bar on a terminal; nothing when standard error is a file or a pipe.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace vesk::cli {

class Progress {
 public:
  explicit Progress(int total) : total_(total), tty_(::isatty(2) != 0) {}

  // The total may grow while the work runs (a live session does not know its length up front).
  void setTotal(int total) { total_ = total; }

  void update(int done) {
    if (!tty_) return;
    constexpr int kWidth = 40;
    const int shown = std::min(done, total_);
    const int fill = total_ > 0 ? shown * kWidth / total_ : kWidth;
    std::fprintf(stderr, "\r[%.*s%*s] %d/%d", fill, "########################################", kWidth - fill, "", done,
                 std::max(done, total_));
    std::fflush(stderr);
  }

  // Ends the bar's line, so that what follows starts on a line of its own.
  void done() {
    if (tty_) std::fputc('\n', stderr);
  }

 private:
  int total_;
  bool tty_;
};

}  // namespace vesk::cli
