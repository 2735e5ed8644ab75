// The vesk command line as a user runs it, its outputs checked with ffprobe.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <memory>
#include <string>

#include "bundle/vesk_image.h"
#include "generated_bundles.h"

using vesk::test::bundleDir;
using vesk::test::TempDir;

namespace {

struct Ran {
  int status = -1;
  std::string output;
};

Ran run(const std::string& cmd) {
  Ran r;
  std::unique_ptr<FILE, int (*)(FILE*)> p(popen((cmd + " 2>&1").c_str(), "r"), pclose);
  if (!p) return r;
  std::array<char, 4096> buf;
  size_t got;
  while ((got = std::fread(buf.data(), 1, buf.size(), p.get())) > 0) r.output.append(buf.data(), got);
  r.status = pclose(p.release());
  return r;
}

std::string cli(const std::string& args) { return std::string(VESK_CLI) + " " + args; }

}  // namespace

TEST(VeskCli, RenderWritesAPlayableMp4) {
  TempDir tmp;
  const std::string out = tmp / "loop.mp4";
  const Ran r = run(cli("render " + bundleDir("small") + " --frames 12 --out " + out));
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("[vesk] wrote " + out + ": 12 frames 320x240"), std::string::npos) << r.output;
  const Ran probe = run("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                        "stream=codec_name,width,height,nb_read_frames,r_frame_rate -of csv=p=0 " + out);
  EXPECT_EQ(probe.output, "h264,320,240,25/1,12\n");
}

TEST(VeskCli, RenderTheDemoIdentity) {
  TempDir tmp;
  const std::string out = tmp / "demo.mp4";
  const Ran r = run(cli("render " + bundleDir("demo") + " --frames 5 --out " + out));
  ASSERT_EQ(r.status, 0) << r.output;
  const Ran probe = run("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                        "stream=codec_name,width,height,nb_read_frames,r_frame_rate -of csv=p=0 " + out);
  EXPECT_EQ(probe.output, "h264,1920,1080,25/1,5\n");
}

TEST(VeskCli, FrameWritesThePastedFrame) {
  TempDir tmp;
  const std::string out = tmp / "f.png";
  const Ran r = run(cli("frame " + bundleDir("small") + " --si 2 --out " + out));
  ASSERT_EQ(r.status, 0) << r.output;
  int w = 0, h = 0;
  EXPECT_EQ(vesk::loadImageRGB(out, &w, &h).size(), 320u * 240u * 3u);
  EXPECT_EQ(w, 320);
  EXPECT_EQ(h, 240);
}

TEST(VeskCli, InfoAndMistakes) {
  const Ran info = run(cli("info " + bundleDir("small")));
  ASSERT_EQ(info.status, 0) << info.output;
  EXPECT_NE(info.output.find("canvas      320x240"), std::string::npos) << info.output;
  EXPECT_NE(info.output.find("director    model b1, batch 1, backend ort, ep cpu"), std::string::npos);

  const Ran usage = run(cli("render " + bundleDir("small")));
  EXPECT_EQ(WEXITSTATUS(usage.status), 2);
  EXPECT_NE(usage.output.find("usage: vesk info BUNDLE"), std::string::npos);
  const Ran missing = run(cli("info /nonexistent/bundle"));
  EXPECT_EQ(WEXITSTATUS(missing.status), 1);
  EXPECT_NE(missing.output.find("vesk: vesk_create: cannot open /nonexistent/bundle/manifest.json"), std::string::npos)
      << missing.output;
  const Ran badSi = run(cli("frame " + bundleDir("small") + " --si 99 --out /dev/null"));
  EXPECT_EQ(WEXITSTATUS(badSi.status), 1);
}
