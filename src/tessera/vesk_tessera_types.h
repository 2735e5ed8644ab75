// Records the teeth members hand to the teeth pass: the geometry stamp and the loaded members.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace vesk {

// Where the teeth band sits on the compose canvas. Fields are named by their JSON keys.
struct GeometryStamp {
  int32_t canvas_w = 0;  // square compose canvas the crop is rendered on
  int32_t canvas_h = 0;
  int32_t window_x0 = 0;  // mouth window on the canvas
  int32_t window_y0 = 0;
  int32_t window_w = 0;
  int32_t window_h = 0;
  int32_t pad = 0;      // largest displacement of a donor or a frame from the canonical position
  int32_t band_r0 = 0;  // teeth band inside the window, half-open rows and columns
  int32_t band_r1 = 0;
  int32_t band_c0 = 0;
  int32_t band_c1 = 0;
  int32_t shift_margin = 0;  // extra margin of each stored patch on every side, for shift alignment

  static constexpr int kCount = 12;
  // The JSON keys in stamp order, and the field each names.
  static constexpr std::array<const char*, kCount> kKeys = {"canvas_w", "canvas_h", "window_x0", "window_y0",
                                                            "window_w", "window_h", "pad",       "band_r0",
                                                            "band_r1",  "band_c0",  "band_c1",   "shift_margin"};
  static constexpr std::array<int32_t GeometryStamp::*, kCount> kFields = {
      &GeometryStamp::canvas_w, &GeometryStamp::canvas_h, &GeometryStamp::window_x0, &GeometryStamp::window_y0,
      &GeometryStamp::window_w, &GeometryStamp::window_h, &GeometryStamp::pad,       &GeometryStamp::band_r0,
      &GeometryStamp::band_r1,  &GeometryStamp::band_c0,  &GeometryStamp::band_c1,   &GeometryStamp::shift_margin};

  std::array<int32_t, kCount> values() const {
    std::array<int32_t, kCount> v{};
    for (int i = 0; i < kCount; ++i) v[i] = this->*kFields[i];
    return v;
  }
  // Width and height of one donor's stored patch (64-bit, so a hostile stamp cannot wrap).
  int64_t bandW() const { return int64_t{band_c1} - band_c0 + 2 * int64_t{shift_margin}; }
  int64_t bandH() const { return int64_t{band_r1} - band_r0 + 2 * int64_t{shift_margin}; }

  // Throws "teeth: GeometryStamp incoherent:" with every rule the stamp breaks, in rule order.
  void validate() const;

  bool operator==(const GeometryStamp&) const = default;
};

// The teeth members of a bundle, loaded and cross-checked; everything the teeth pass is armed with.
struct TesseraAttachInputs {
  int32_t n_donors = 0;              // 1..1024
  std::vector<int32_t> track_order;  // frame i of the bank track holds donor track_order[i]
  std::vector<double> cent;          // (x, y) per donor, donor order
  std::array<double, 2> c_canon{};   // the bank's canonical centroid
  std::vector<double> aperture;      // one per donor
  GeometryStamp stamp;
  std::vector<uint8_t> head_pt;  // the whole head weights file
  std::string head_json;         // the whole head configuration
  std::string manifest_json;     // the whole manifest
  std::string bank_track_path;
  std::string bank_container = "mp4";
  std::string bank_codec;
  std::string bank_pix_fmt;
  std::string bank_packing = "rgb24_frames";
  int32_t band_w = 0;  // stored patch of one donor: band_h rows of band_w RGB pixels
  int32_t band_h = 0;
};

}  // namespace vesk
