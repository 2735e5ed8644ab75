// The teeth pass: replaces the mouth window of each rendered crop with teeth borrowed from the
// person's own reference bank.
//
// Every donor patch of the bank is described once, at construction, in a canonical frame where
// its mouth centroid sits on the bank's canonical centroid. Per frame the pass measures where the
// crop's mouth sits (the shift), scores every donor on 4x4-pooled windows, re-scores the best few
// per pixel, and keeps a ranked donor list. Frames leave one push later, so each frame's donor set
// can look at the next frame's candidates; a sticky set of the heaviest donors carries from frame
// to frame. The BlendHead then weighs the chosen donors per pixel inside a compose mask.
//
// Canvas images are RGB bytes (canvas_w x canvas_h, rows of canvas_w * 3) with a compose mask of
// one byte per pixel. Construction refusals throw std::runtime_error with the full text; frame
// content never throws (a frame whose mouth cannot be placed comes back skipped). A pass serves
// one thread at a time; its donor, row and pixel loops run on the calling thread's worker pool.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "tessera/vesk_tessera_head.h"
#include "tessera/vesk_tessera_types.h"
#include "vesk/vesk.h"

namespace vesk::tessera {

// The bank as the host decoded it, with the sidecar's per-donor arrays.
struct BankData {
  std::vector<uint8_t> pixels;  // n_donors x band_h x band_w x 3, donor-major RGB
  std::vector<double> cent;     // (x, y) per donor
  std::array<double, 2> c_canon{};
  std::vector<double> aperture;  // one per donor
  GeometryStamp stamp;
  int32_t n_donors = 0;
};

// One emitted frame. Overwritten by every emission; the vectors keep their capacity.
struct FrameResult {
  std::vector<uint8_t> pixels;  // window_h x window_w x 3 RGB for the unshifted window; empty when skipped
  bool skipped = false;
  std::string reason;  // why the frame was skipped
  int32_t donors = 0;  // donor windows blended
  float share_mean = 0.0f;
  float share_max = 0.0f;
};

// One frame's retrieval inputs, on the window shifted to where the frame's mouth sits.
struct RetrieveWork {
  std::vector<float> weights;      // h x w
  std::vector<uint16_t> query;     // 3 x h/4 x w/4, half precision
  std::vector<uint16_t> pooled_w;  // h/4 x w/4, half precision
  float total = 1.0f;              // sum of weights, at least 1
  float pooled_sum = 1e-4f;        // sum of the half-rounded pooled weights, at least 1e-4
  int row_lo = 0, row_hi = 0;      // rows holding a non-zero weight
  int y0 = 0, x0 = 0;              // shifted window origin on the canvas
};

// Source samples of one output index of the head's 2x bilinear upsampling.
struct UpTap {
  int i0, i1;
  float t;
};

class VESK_EXPORT TeethPass {
 public:
  // Running totals over the emissions whose compose mask was not empty.
  struct Stats {
    int64_t masked_emissions = 0;
    int64_t mask_pixels = 0;
    double share_sum = 0.0;
    float share_max = 0.0f;
  };

  TeethPass(const BankData& bank, const HeadWeights& head, const ServeConfig& config);
  TeethPass(const TeethPass&) = delete;
  TeethPass& operator=(const TeethPass&) = delete;

  // |half(half(b/255) - half(a/255))| at [a * 256 + b]: built once per process.
  static const float* dTable();

  // Donor d moved onto the canonical centroid: 3 planes of h x w half values, 0 where the patch
  // does not reach. The Rows form clears and fills rows [r0, r1) of each plane only.
  void canonicalWindowF16(int d, uint16_t* out) const;
  void canonicalWindowF16Rows(int d, uint16_t* out, int r0, int r1) const;

  // The frame's whole-pixel shift from the canonical centroid: the given one (dy, dx) when not
  // null, else the mask's centroid. False with "empty-pi" or "shift-out-of-range".
  bool deriveShift(const uint8_t* mask, const int32_t* given, int* dy, int* dx, std::string* reason) const;

  // Weight map, pooled query and pooled weights of a frame; updates the carried weight map.
  void retrievePrepare(const uint8_t* rgb, const uint8_t* mask, int dy, int dx, RetrieveWork* work);
  // The ranked list of K donors from all pooled terms and the exact terms of the first
  // min(n, kshort) donors in pooled order.
  std::vector<int32_t> retrieveSelect(const std::vector<float>& pooled, const std::vector<float>& exact) const;
  std::vector<int32_t> retrieve(const uint8_t* rgb, const uint8_t* mask, int dy, int dx);
  // The per-pixel matching term of donor d against the window at (y0, x0), over rows [r0, r1).
  float exactTermFromBand(int d, const uint8_t* rgb, int y0, int x0, int stride, const float* weights, int r0,
                          int r1) const;

  // Holds the frame and emits the one held before it into out (true) or, for the first frame
  // since construction or flush, emits nothing (false). shift: null, or (dy, dx) to use.
  bool push(int32_t frame, const uint8_t* rgb, const uint8_t* mask, const int32_t* shift, FrameResult* out);
  // Emits the held frame without look-ahead; false when none is held.
  bool flush(FrameResult* out);

  // The donors' windows placed for a frame with shift (dy, dx): donors x h x w x 3 bytes.
  std::vector<uint8_t> gatherWindowsU8(const std::vector<int32_t>& donors, int dy, int dx) const;
  // The BlendHead on v candidate windows (v x 3 x h x w), the query (3 x h x w) and the compose
  // mask (h x w bytes, 0 or 1): blended planes (3 x h x w) and v + 1 weight planes (h x w each).
  void headForward(const float* cands, int v, const float* query, const uint8_t* mask, float* blended, float* weights);

  const GeometryStamp& stamp() const { return stamp_; }
  const ServeConfig& config() const { return config_; }
  int donorCount() const { return n_; }
  int windowH() const { return h_; }
  int windowW() const { return w_; }
  int offsetY(int d) const { return dy_[static_cast<size_t>(d)]; }
  int offsetX(int d) const { return dx_[static_cast<size_t>(d)]; }
  const std::vector<uint8_t>& bandMask() const { return band_mask_; }
  // Donor d's slot of the pooled index: 3 x h/4 x w/4 half values.
  const uint16_t* pooledIndex(int d) const;
  const std::vector<int32_t>& stickySet() const { return sticky_; }
  int32_t lastEmitted() const { return last_emitted_; }
  const Stats& stats() const { return stats_; }

 private:
  struct Pending {
    int32_t frame = 0;
    std::vector<uint8_t> rgb, mask;
    std::vector<int32_t> candidates;
    int dy = 0, dx = 0;
    bool ok = false;
    std::string reason;
  };

  // Per-frame scratch of the retrieval, sized once.
  struct Retrieval {
    RetrieveWork work;
    std::vector<float> pooled, exact;
    std::vector<int32_t> order_p, order_q;
  };

  // Per-frame scratch of the emission and the head, sized for K donors once.
  struct Emission {
    std::vector<int32_t> cur, nxt, cur_only, set;
    std::vector<int32_t> unique, slot;  // distinct donors of the set; slot[k]: set entry k's distinct index
    std::vector<uint8_t> windows;       // unique x h x w x 3
    std::vector<float> cands;           // unique x 3 x h x w
    std::vector<float> query, blended, weights;
    std::vector<uint8_t> compose;
    std::vector<double> scores;
    std::vector<int32_t> order;
  };

  // Scratch of the BlendHead, sized for K donors once.
  struct Head {
    std::vector<float> pooled_q, input, act_a, act_b, logits, rows_x, logits_up;
    std::vector<UpTap> taps_x, taps_y;
    std::vector<int32_t> first_slot;
  };

  void buildIndex();
  // Source byte offset of window pixel (r, c) in donor d's patch placed with offset (oy, ox), or
  // -1 where the patch does not reach.
  int64_t patchOffset(int d, int oy, int ox, int r, int c) const;
  void placeDonorU8(int d, int oy, int ox, uint8_t* out) const;
  void retrieveInto(const uint8_t* rgb, const uint8_t* mask, int dy, int dx, std::vector<int32_t>* out);
  // Donors that get the exact term: min(n, kshort), at least the best one.
  int exactCount() const;
  // The selection from the pooled order P and the exact terms of its first m donors.
  void selectInto(const int32_t* P, const float* exact, int m, std::vector<int32_t>* q,
                  std::vector<int32_t>* out) const;
  void emit(const Pending& f, const std::vector<int32_t>* next, FrameResult* out);
  // The head on u distinct candidate windows; set entry k uses distinct window slot[k].
  void headMapped(const float* cands, int u, const int32_t* slot, int v, const float* query, const uint8_t* mask,
                  float* blended, float* weights);
  void prepareFrame(Pending* p, int32_t frame, const uint8_t* rgb, const uint8_t* mask, const int32_t* shift);

  GeometryStamp stamp_;
  ServeConfig config_;
  HeadWeights head_;
  int n_ = 0;
  std::vector<uint8_t> bank_;
  std::vector<int32_t> dy_, dx_;
  std::vector<double> aperture_;
  std::array<double, 2> c_canon_{};
  int h_ = 0, w_ = 0, h4_ = 0, w4_ = 0;
  int band_h_ = 0, band_w_ = 0;
  std::vector<uint16_t> index_;  // n x 3 x h/4 x w/4
  std::vector<uint8_t> band_mask_;
  std::vector<float> carried_;
  bool has_carried_ = false;

  std::vector<int32_t> sticky_;
  int32_t last_emitted_ = -2;
  Pending held_, incoming_;
  bool has_held_ = false;
  Stats stats_;

  Retrieval ret_;
  Emission em_;
  Head hd_;
};

// Average pooling by k: each (H/k) x (W/k) output is the k x k block's sum times 1/(k k); the
// remainder rows and columns are dropped. Planes of H x W in, (H/k) x (W/k) out.
void averagePool(const float* in, int planes, int H, int W, int k, float* out);

}  // namespace vesk::tessera
