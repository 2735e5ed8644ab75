// A temporary bundle with the four teeth members, each made wrong on purpose where a test says so.
#pragma once

#include <string>

#include "test_util.h"

namespace vesk::test {

// The stamp of the bundles here: a 20x8 band with a 2 px margin, so each stored patch is 24x12.
inline std::string geometryJson(int shift_margin = 2) {
  return R"({"canvas_w": 128, "canvas_h": 128, "window_x0": 40, "window_y0": 70, "window_w": 48, "window_h": 24,
             "pad": 3, "band_r0": 8, "band_r1": 16, "band_c0": 14, "band_c1": 34, "shift_margin": )" +
         std::to_string(shift_margin) + "}";
}

struct SidecarJson {
  std::string format = "\"tessera_bank.v1\"";
  std::string geometry = geometryJson();
  std::string n_donors = "3";
  std::string track_order = "[2, 0, 1]";
  std::string cent = "[[1, 2], [3, 4], [5, 6]]";
  std::string aperture = "[0.1, 0.2, 0.3]";
  std::string c_canon = "[64.5, 80.25]";
  std::string codec = R"({"codec": "libx264rgb", "pix_fmt": "rgb24"})";

  // A field set to "" is left out.
  std::string text() const {
    std::string s = "{";
    auto add = [&](const char* key, const std::string& v) {
      if (v.empty()) return;
      if (s.size() > 1) s += ", ";
      s += std::string("\"") + key + "\": " + v;
    };
    add("format", format), add("geometry", geometry), add("n_donors", n_donors), add("track_order", track_order);
    add("cent", cent), add("aperture", aperture), add("c_canon", c_canon), add("codec", codec);
    return s + "}";
  }
};

class TeethBundle {
 public:
  TempDir dir;
  std::string tessera;  // the manifest's tessera value; "" leaves it out
  SidecarJson sidecar;
  std::string manifestName = "manifest.json";

  // Writes every member (those named in `skip` left out) and the manifest.
  void write(const std::string& skip = "") {
    if (skip != "bank_track") writeFile(dir / "tessera_bank.v1.mp4", "not really a video");
    if (skip != "bank_sidecar") writeFile(dir / "tessera_bank.v1.json", sidecar.text());
    if (skip != "head_weights") writeFile(dir / "tessera_head.v1.pt", std::string("PK\3\4pt\0bytes", 12));
    if (skip != "head_config") writeFile(dir / "tessera_head.v1.json", "{\"retrieval\": {}}");
    std::string m = R"({"format": "vesk-bundle-v0", "NT": 8)";
    if (!tessera.empty()) m += ", \"tessera\": " + tessera;
    writeFile(dir / manifestName, m + "}\n");
  }
  const std::string& path() const { return dir.path(); }
};

}  // namespace vesk::test
