// The synthetic bundles the generator writes for the test suite: member formats and sizes, the
// unified layout and its container, and the director graphs run on ONNX Runtime itself.
//
// The bundles are made by the vesk_bundles ctest fixture in the build tree (VESK_TEST_BUNDLES in the
// environment points elsewhere).
#include <gtest/gtest.h>
#include <onnxruntime_cxx_api.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bundle/vesk_bundle.h"
#include "bundle/vesk_imx.h"
#include "core/vesk_file.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;

constexpr int kRows = 21;
constexpr int kKp = kRows * 3;
constexpr std::array<int, 2> kUpperLip = {6, 18};
constexpr std::array<int, 3> kLowerLip = {12, 14, 20};
constexpr std::array<int, 6> kLipRows = {6, 12, 14, 17, 19, 20};

std::string bundleRoot() {
  const char* root = std::getenv("VESK_TEST_BUNDLES");
  return root != nullptr ? root : VESK_TEST_BUNDLES_DIR;
}

std::string bundleDir(const std::string& name) { return bundleRoot() + "/" + name; }

std::vector<uint8_t> readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

template <class T>
std::vector<T> readArray(const std::string& path) {
  const std::vector<uint8_t> bytes = readBytes(path);
  if (bytes.size() % sizeof(T) != 0) throw std::runtime_error("ragged " + path);
  std::vector<T> out(bytes.size() / sizeof(T));
  std::memcpy(out.data(), bytes.data(), bytes.size());
  return out;
}

// IEEE binary16 to float, exact.
float halfBits(uint16_t h) {
  const uint32_t sign = (h & 0x8000u) << 16;
  const uint32_t exp = (h >> 10) & 0x1f;
  const uint32_t man = h & 0x3ffu;
  float mag;
  if (exp == 0) {
    mag = std::ldexp(static_cast<float>(man), -24);
  } else if (exp == 31) {
    mag = man != 0 ? NAN : INFINITY;
  } else {
    mag = std::ldexp(static_cast<float>(man | 0x400u), static_cast<int>(exp) - 25);
  }
  return sign != 0 ? -mag : mag;
}

std::vector<float> halves(const std::vector<uint16_t>& src, size_t begin, size_t n) {
  std::vector<float> out(n);
  for (size_t i = 0; i < n; ++i) out[i] = halfBits(src[begin + i]);
  return out;
}

int64_t fileSize(const std::string& path) { return static_cast<int64_t>(fs::file_size(path)); }

// One generated bundle with its raw members in memory.
struct Bundle {
  vesk::Manifest man;
  std::vector<uint16_t> P, pooled, fsRed;
  std::vector<float> xs;

  explicit Bundle(const std::string& name) : man(vesk::loadManifest(bundleDir(name))) {
    const std::string& d = man.dir;
    pooled = readArray<uint16_t>(vesk::resolveMember(d, "pooled64.f16"));
    xs = readArray<float>(vesk::resolveMember(d, "drive/xs.f32"));
    if (vesk::canOpenForReading(vesk::resolveMember(d, "P.f16"))) P = readArray<uint16_t>(vesk::resolveMember(d, "P.f16"));
    if (vesk::canOpenForReading(vesk::resolveMember(d, "fs_red.f16")))
      fsRed = readArray<uint16_t>(vesk::resolveMember(d, "fs_red.f16"));
  }
  size_t plane() const { return static_cast<size_t>(man.crop) * static_cast<size_t>(man.crop); }
  std::vector<float> prior(int si) const { return halves(P, static_cast<size_t>(si) * 3 * plane(), 3 * plane()); }
  std::vector<float> pooledAt(int si) const { return halves(pooled, static_cast<size_t>(si) * 65536, 65536); }
  std::vector<float> fsAt(int si) const { return halves(fsRed, static_cast<size_t>(si) * 262144, 262144); }
  std::vector<float> kp(int si) const {
    return {xs.begin() + static_cast<ptrdiff_t>(si) * kKp, xs.begin() + static_cast<ptrdiff_t>(si + 1) * kKp};
  }
  std::string model(const std::string& key) const { return man.modelPath(key); }
};

const Bundle& smallBundle() {
  static const Bundle b("small");
  return b;
}

Ort::Env& env() {
  static Ort::Env e(ORT_LOGGING_LEVEL_WARNING, "vesk-test");
  return e;
}

// One director session on the CPU provider, fed whole batches.
class Director {
 public:
  explicit Director(const std::string& path) {
    Ort::SessionOptions so;
    so.SetIntraOpNumThreads(1);
    so.SetGraphOptimizationLevel(GraphOptimizationLevel::ORT_ENABLE_ALL);
    session_ = Ort::Session(env(), path.c_str(), so);
    Ort::AllocatorWithDefaultOptions alloc;
    for (size_t i = 0; i < session_.GetInputCount(); ++i) {
      names_.push_back(session_.GetInputNameAllocated(i, alloc).get());
      shapes_.push_back(session_.GetInputTypeInfo(i).GetTensorTypeAndShapeInfo().GetShape());
    }
    featSynth_ = std::find(names_.begin(), names_.end(), "fs_red") != names_.end();
  }

  bool featSynth() const { return featSynth_; }
  std::vector<int64_t> shape(const std::string& name) const {
    for (size_t i = 0; i < names_.size(); ++i)
      if (names_[i] == name) return shapes_[i];
    throw std::runtime_error("no input " + name);
  }
  int64_t batch() const { return shape(featSynth_ ? "pooled" : "pooled64")[0]; }
  int64_t kpRows() const { return shape(featSynth_ ? "kd" : "kp_driving")[1]; }

  // Per frame: the source frame and the driving keypoints (rows beyond 21 are zero-filled).
  std::vector<float> run(const Bundle& b, const std::vector<int>& si, const std::vector<std::vector<float>>& kd,
                         const char* output = "rgb") {
    const int64_t n = batch();
    const int64_t rows = kpRows();
    std::vector<std::vector<float>> buf(names_.size());
    std::vector<Ort::Value> values;
    const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    for (size_t i = 0; i < names_.size(); ++i) {
      const std::string& nm = names_[i];
      std::vector<float>& v = buf[i];
      for (int64_t j = 0; j < n; ++j) {
        const int s = si[static_cast<size_t>(j)];
        std::vector<float> part;
        if (nm == "pooled64" || nm == "pooled") {
          part = b.pooledAt(s);
        } else if (nm == "P_rgb") {
          part = b.prior(s);
        } else if (nm == "fs_red") {
          part = b.fsAt(s);
        } else if (nm == "kp_driving" || nm == "kd" || nm == "kp_source" || nm == "ks") {
          const bool driving = nm == "kp_driving" || nm == "kd";
          part = driving ? kd[static_cast<size_t>(j)] : b.kp(s);
          part.resize(static_cast<size_t>(rows) * 3, 0.0f);
        } else {
          throw std::runtime_error("unexpected input " + nm);
        }
        v.insert(v.end(), part.begin(), part.end());
      }
      values.push_back(Ort::Value::CreateTensor<float>(mem, v.data(), v.size(), shapes_[i].data(), shapes_[i].size()));
    }
    std::vector<const char*> in;
    for (const std::string& nm : names_) in.push_back(nm.c_str());
    std::vector<Ort::Value> res = session_.Run(Ort::RunOptions{nullptr}, in.data(), values.data(), values.size(), &output, 1);
    const auto info = res[0].GetTensorTypeAndShapeInfo();
    const float* p = res[0].GetTensorData<float>();
    return {p, p + info.GetElementCount()};
  }

 private:
  Ort::Session session_{nullptr};
  std::vector<std::string> names_;
  std::vector<std::vector<int64_t>> shapes_;
  bool featSynth_ = false;
};

std::vector<float> openLips(std::vector<float> kp, float delta) {
  for (int r : kUpperLip) kp[static_cast<size_t>(r) * 3 + 1] -= delta;
  for (int r : kLowerLip) kp[static_cast<size_t>(r) * 3 + 1] += delta;
  return kp;
}

struct Window {
  int x0, y0, x1, y1;
};

// The lips' bounding box in crop pixels, widened by margin.
Window mouthWindow(const std::vector<float>& kp, int crop, int margin) {
  float lo[2] = {1e9f, 1e9f}, hi[2] = {-1e9f, -1e9f};
  for (int r : kLipRows)
    for (int c = 0; c < 2; ++c) {
      const float px = (kp[static_cast<size_t>(r) * 3 + static_cast<size_t>(c)] + 1.0f) * 0.5f * static_cast<float>(crop - 1);
      lo[c] = std::min(lo[c], px);
      hi[c] = std::max(hi[c], px);
    }
  auto clampi = [crop](float v) { return std::clamp(static_cast<int>(v), 0, crop); };
  return {clampi(lo[0] - static_cast<float>(margin)), clampi(lo[1] - static_cast<float>(margin)),
          clampi(hi[0] + static_cast<float>(margin) + 1), clampi(hi[1] + static_cast<float>(margin) + 1)};
}

// Pixels of the window whose luma is below 0.2: the mouth interior.
int darkPixels(const float* rgb, int crop, const Window& w) {
  const size_t plane = static_cast<size_t>(crop) * static_cast<size_t>(crop);
  int n = 0;
  for (int y = w.y0; y < w.y1; ++y)
    for (int x = w.x0; x < w.x1; ++x) {
      const size_t i = static_cast<size_t>(y) * static_cast<size_t>(crop) + static_cast<size_t>(x);
      const float luma = 0.299f * rgb[i] + 0.587f * rgb[plane + i] + 0.114f * rgb[2 * plane + i];
      if (luma < 0.2f) ++n;
    }
  return n;
}

// With VESK_TEST_DUMP set to a directory, rendered crops are written there as PPM for eyeballing.
void dumpCrop(const std::string& tag, const std::vector<float>& rgb, int crop) {
  const char* dir = std::getenv("VESK_TEST_DUMP");
  if (dir == nullptr || *dir == 0) return;
  std::ofstream out(std::string(dir) + "/" + tag + ".ppm", std::ios::binary);
  out << "P6\n" << crop << " " << crop << "\n255\n";
  const size_t plane = static_cast<size_t>(crop) * static_cast<size_t>(crop);
  for (size_t i = 0; i < plane; ++i)
    for (size_t c = 0; c < 3; ++c)
      out.put(static_cast<char>(std::lround(std::clamp(rgb[c * plane + i], 0.0f, 1.0f) * 255.0f)));
}

// The source crop a director sees: P, or for FeatSynth the image fs_red carries, resampled to the crop.
std::vector<float> referenceSource(const Bundle& b, int si, bool featSynth) {
  if (!featSynth) return b.prior(si);
  const int crop = b.man.crop;
  const int blk = std::clamp(crop / 64, 1, 4);
  const int res = 64 * blk;
  if (res != crop) throw std::runtime_error("the reference assumes the fs_red image is at crop resolution");
  const std::vector<float> fsr = b.fsAt(si);
  std::vector<float> out(3 * b.plane());
  for (int c = 0; c < 3; ++c)
    for (int y = 0; y < crop; ++y)
      for (int x = 0; x < crop; ++x) {
        const int ch = c * blk * blk + (y % blk) * blk + (x % blk);
        out[static_cast<size_t>(c) * b.plane() + static_cast<size_t>(y) * static_cast<size_t>(crop) + static_cast<size_t>(x)] =
            fsr[static_cast<size_t>(ch) * 4096 + static_cast<size_t>(y / blk) * 64 + static_cast<size_t>(x / blk)];
      }
  return out;
}

struct StreamFacts {
  AVCodecID codec = AV_CODEC_ID_NONE;
  std::string pixFmt;
  int width = 0, height = 0;
  int64_t frames = 0;
};

// What the frame decoders check before they decode: codec, pixel format, size, frame count.
StreamFacts probeVideo(const std::string& path) {
  AVFormatContext* fmt = nullptr;
  if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) throw std::runtime_error("cannot open " + path);
  StreamFacts f;
  if (avformat_find_stream_info(fmt, nullptr) >= 0) {
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
      const AVStream* st = fmt->streams[i];
      if (st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
      f.codec = st->codecpar->codec_id;
      const char* pf = av_get_pix_fmt_name(static_cast<AVPixelFormat>(st->codecpar->format));
      f.pixFmt = pf != nullptr ? pf : "?";
      f.width = st->codecpar->width;
      f.height = st->codecpar->height;
      f.frames = st->nb_frames;
      break;
    }
  }
  avformat_close_input(&fmt);
  return f;
}

// ---------------------------------------------------------------------------------------------

TEST(GeneratedBundle, VideoMembersAreWhatTheirDecodersAccept) {
  const vesk::Manifest small = vesk::loadManifest(bundleDir("small"));
  const StreamFacts drv = probeVideo(small.dir + "/target_frames.mp4");
  EXPECT_EQ(drv.codec, AV_CODEC_ID_H264);
  EXPECT_EQ(drv.pixFmt, "yuv420p");
  EXPECT_EQ(drv.width, small.W);
  EXPECT_EQ(drv.height, small.H);
  EXPECT_EQ(drv.frames, small.NT);

  const vesk::Manifest uni = vesk::loadManifest(bundleDir("unified"));
  const StreamFacts prior = probeVideo(uni.dir + "/source_frames.hevc");
  EXPECT_EQ(prior.codec, AV_CODEC_ID_HEVC);
  EXPECT_EQ(prior.pixFmt, "yuv444p");
  EXPECT_EQ(prior.width, uni.crop);
  EXPECT_EQ(prior.height, uni.crop);
  EXPECT_EQ(prior.frames, uni.NT);
}

TEST(GeneratedBundle, MembersHaveTheSizesTheirFormatsState) {
  const Bundle& b = smallBundle();
  const vesk::Manifest& m = b.man;
  EXPECT_EQ(m.W, 320);
  EXPECT_EQ(m.H, 240);
  EXPECT_EQ(m.crop, 128);
  EXPECT_EQ(m.NT, 8);
  EXPECT_EQ(m.frames, 8);
  EXPECT_EQ(m.M_src_w, 320);
  EXPECT_EQ(m.M_src_h, 240);
  const int64_t nt = m.NT, s = m.crop, fr = m.frames;
  const std::string& d = m.dir;
  EXPECT_EQ(fileSize(d + "/pooled64.f16"), nt * 131072);
  EXPECT_EQ(fileSize(d + "/P.f16"), nt * s * s * 6);
  EXPECT_EQ(fileSize(d + "/fs_red.f16"), nt * 524288);
  EXPECT_EQ(fileSize(d + "/M.f32"), nt * 6 * 4);
  EXPECT_EQ(fileSize(d + "/mask_512.u8"), s * s);
  EXPECT_EQ(fileSize(d + "/drive/xs.f32"), fr * 63 * 4);
  EXPECT_EQ(fileSize(d + "/drive/xd.f32"), fr * 63 * 4);
  EXPECT_EQ(fileSize(d + "/drive/si.i32"), fr * 4);
  EXPECT_EQ(fileSize(d + "/xs_target.bin"), nt * 63 * 4);
  for (int i = 0; i < nt; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "/target_frames/frame_%06d.jpg", i);
    EXPECT_TRUE(fs::exists(d + name)) << name;
  }
  EXPECT_FALSE(fs::exists(d + "/target_frames/frame_000008.jpg"));
  EXPECT_TRUE(fs::exists(d + "/target_frames.mp4"));
  for (const char* key : {"b1", "b24_fp32", "b1_kp22", "b1_s2blend", "b1_featsynth"})
    EXPECT_TRUE(fs::exists(m.modelPath(key))) << key;
}

TEST(GeneratedBundle, TablesAreConsistent) {
  const Bundle& b = smallBundle();
  const std::string& d = b.man.dir;
  const auto si = readArray<int32_t>(d + "/drive/si.i32");
  for (size_t i = 0; i < si.size(); ++i) EXPECT_EQ(si[i], static_cast<int32_t>(i));
  // The idle loop drives each frame with its own keypoints.
  EXPECT_EQ(readBytes(d + "/drive/xs.f32"), readBytes(d + "/drive/xd.f32"));
  EXPECT_EQ(readBytes(d + "/drive/xs.f32"), readBytes(d + "/xs_target.bin"));
  for (size_t i = 0; i < b.xs.size(); ++i) {
    if (i % 3 == 2) continue;  // depth is free
    EXPECT_GT(b.xs[i], -1.0f);
    EXPECT_LT(b.xs[i], 1.0f);
  }
  // The crop is square, axis-aligned and lies inside the canvas.
  const auto M = readArray<float>(d + "/M.f32");
  for (int i = 0; i < b.man.NT; ++i) {
    const float* m = &M[static_cast<size_t>(i) * 6];
    EXPECT_FLOAT_EQ(m[0], m[4]);
    EXPECT_EQ(m[1], 0.0f);
    EXPECT_EQ(m[3], 0.0f);
    const float last = static_cast<float>(b.man.crop - 1);
    EXPECT_GE(m[2], 0.0f);
    EXPECT_GE(m[5], 0.0f);
    EXPECT_LE(m[0] * last + m[2], static_cast<float>(b.man.W - 1));
    EXPECT_LE(m[4] * last + m[5], static_cast<float>(b.man.H - 1));
  }
  // The paste mask is opaque in the middle and fades out at the border.
  const auto mask = readBytes(d + "/mask_512.u8");
  const size_t s = static_cast<size_t>(b.man.crop);
  EXPECT_EQ(mask[(s / 2) * s + s / 2], 255);
  EXPECT_EQ(mask[0], 0);
  EXPECT_EQ(mask[s * s - 1], 0);
  // The lips are on the drawn mouth: between the upper and lower inner lip edge lies the dark interior.
  const std::vector<float> p = b.prior(0);
  const std::vector<float> kp = b.kp(0);
  const float cx = (kp[6 * 3] + 1.0f) * 0.5f * static_cast<float>(s - 1);
  const float cy = (kp[6 * 3 + 1] + kp[12 * 3 + 1]) * 0.25f * static_cast<float>(s - 1) + 0.5f * static_cast<float>(s - 1);
  const size_t i = static_cast<size_t>(std::lround(cy)) * s + static_cast<size_t>(std::lround(cx));
  EXPECT_LT(p[i] + p[s * s + i] + p[2 * s * s + i], 3 * 0.5f) << "no mouth interior between rows 6 and 12";
}

TEST(GeneratedBundle, UnifiedLayoutAndContainer) {
  const vesk::Manifest m = vesk::loadManifest(bundleDir("unified"));
  const std::string& d = m.dir;
  EXPECT_EQ(m.crop, 128);
  EXPECT_EQ(m.M_src_w, 640);
  EXPECT_EQ(m.M_src_h, 480);
  for (const char* name : {"source_frames.hevc", "paste_transform.f32", "paste_mask.u8", "pooled_features.f16",
                           "target_keypoints.bin", "idle_loop/source_keypoints.f32", "idle_loop/driven_keypoints.f32",
                           "idle_loop/source_index.i32", "render_model.batch1.onnx", "render_model.batch24.fp32.onnx"})
    EXPECT_TRUE(fs::exists(d + "/" + name)) << name;
  EXPECT_FALSE(fs::exists(d + "/P.f16"));
  EXPECT_FALSE(fs::exists(d + "/M.f32"));
  EXPECT_EQ(vesk::resolveMember(d, "drive/si.i32"), d + "/idle_loop/source_index.i32");
  EXPECT_EQ(m.modelPath("b24_fp32"), d + "/render_model.batch24.fp32.onnx");
  const std::vector<uint8_t> raw = readBytes(d + "/manifest.json");
  const std::string text(raw.begin(), raw.end());
  EXPECT_EQ(vesk::strField(text, "P_hevc"), "source_frames.hevc");
  EXPECT_GT(fileSize(d + "/source_frames.hevc"), 0);
  // M is authored on the stamped 640x480 space: brought to the 320x240 canvas, the crop lies on it.
  const auto M = readArray<float>(d + "/paste_transform.f32");
  ASSERT_EQ(M.size(), static_cast<size_t>(m.NT) * 6);
  const float sx = static_cast<float>(m.W) / static_cast<float>(m.M_src_w);
  const float sy = static_cast<float>(m.H) / static_cast<float>(m.M_src_h);
  const float last = static_cast<float>(m.crop - 1);
  for (int i = 0; i < m.NT; ++i) {
    const float* r = &M[static_cast<size_t>(i) * 6];
    EXPECT_GT(r[0] * last + r[2], static_cast<float>(m.W - 1)) << "M was not authored on the stamped space";
    EXPECT_GE(r[2] * sx, 0.0f);
    EXPECT_LE((r[0] * last + r[2]) * sx, static_cast<float>(m.W - 1));
    EXPECT_GE(r[5] * sy, 0.0f);
    EXPECT_LE((r[4] * last + r[5]) * sy, static_cast<float>(m.H - 1));
  }

  // The container holds the same bundle.
  vesk::test::TempDir tmp;
  setenv("VESK_IMX_UNWRAP_ROOT", tmp.path().c_str(), 1);
  const std::string imx = bundleRoot() + "/unified.imx";
  ASSERT_TRUE(vesk::isImxV2File(imx));
  const vesk::Manifest c = vesk::loadManifest(imx);
  unsetenv("VESK_IMX_UNWRAP_ROOT");
  EXPECT_EQ(c.dir, tmp.path() + "/unified.veskbundle");
  EXPECT_EQ(readBytes(c.dir + "/manifest.json"), readBytes(d + "/manifest.json"));
  EXPECT_EQ(readBytes(c.dir + "/idle_loop/source_keypoints.f32"), readBytes(d + "/idle_loop/source_keypoints.f32"));
  EXPECT_EQ(readBytes(c.dir + "/source_frames.hevc"), readBytes(d + "/source_frames.hevc"));
}

// The WarpDirector operator on one planar 3-channel image: per output pixel, the bilinear sample
// corrected by the second differences of the 3x3 neighbourhoods (clamped to the image).
std::vector<float> warpDirectorReference(const std::vector<float>& src, const float* grid, int w, int h) {
  const size_t plane = static_cast<size_t>(w) * static_cast<size_t>(h);
  auto at = [&](int c, int r, int col) {
    r = std::clamp(r, 0, h - 1);
    col = std::clamp(col, 0, w - 1);
    return src[static_cast<size_t>(c) * plane + static_cast<size_t>(r) * static_cast<size_t>(w) + static_cast<size_t>(col)];
  };
  // The four planes of pixel (r, col): I, Ixx, Iyy, Ixxyy.
  auto planes = [&](int c, int r, int col, float out[4]) {
    float b[3][3];
    for (int dr = -1; dr <= 1; ++dr)
      for (int dc = -1; dc <= 1; ++dc) b[dr + 1][dc + 1] = at(c, r + dr, col + dc);
    auto dy = [&](int dc) { return b[0][dc] - 2 * b[1][dc] + b[2][dc]; };
    out[0] = b[1][1];
    out[1] = b[1][0] - 2 * b[1][1] + b[1][2];
    out[2] = b[0][1] - 2 * b[1][1] + b[2][1];
    out[3] = dy(0) - 2 * dy(1) + dy(2);
  };
  std::vector<float> out(3 * plane);
  for (int i = 0; i < h; ++i)
    for (int j = 0; j < w; ++j) {
      const size_t p = static_cast<size_t>(i) * static_cast<size_t>(w) + static_cast<size_t>(j);
      const float x = ((grid[2 * p] + 1) * static_cast<float>(w) - 1) / 2;
      const float y = ((grid[2 * p + 1] + 1) * static_cast<float>(h) - 1) / 2;
      const float fx = x - std::floor(x), fy = y - std::floor(y);
      const float hx = fx * (1 - fx) / 2, hy = fy * (1 - fy) / 2;
      auto axis = [](float v, int n, int& i0, int& i1, float& f) {
        v = std::min(v, static_cast<float>(n - 1));
        if (v < 0) {
          i0 = i1 = 0;
          f = 0;
          return;
        }
        i0 = static_cast<int>(std::floor(v));
        f = v - static_cast<float>(i0);
        i1 = std::min(i0 + 1, n - 1);
      };
      int c0, c1, r0, r1;
      float wx, wy;
      axis(x, w, c0, c1, wx);
      axis(y, h, r0, r1, wy);
      for (int c = 0; c < 3; ++c) {
        float q00[4], q01[4], q10[4], q11[4], v[4];
        planes(c, r0, c0, q00);
        planes(c, r0, c1, q01);
        planes(c, r1, c0, q10);
        planes(c, r1, c1, q11);
        for (int k = 0; k < 4; ++k)
          v[k] = (1 - wx) * (1 - wy) * q00[k] + wx * (1 - wy) * q01[k] + (1 - wx) * wy * q10[k] + wx * wy * q11[k];
        out[static_cast<size_t>(c) * plane + p] = v[0] - hx * v[1] - hy * v[2] + hx * hy * v[3];
      }
    }
  return out;
}

// ---------------------------------------------------------------------------------------------

TEST(DirectorGraphWarp, RecombinedSampleIsTheWarpDirectorSample) {
  const Bundle& b = smallBundle();
  Director dir(b.model("b1_probe"));
  const int crop = b.man.crop;
  const int si = 4;
  // A small global shift on top of open lips: fractional sample positions all over the face.
  std::vector<float> kd = openLips(b.kp(si), 0.06f);
  for (int r = 0; r < kRows; ++r) {
    kd[static_cast<size_t>(r) * 3] += 0.013f;
    kd[static_cast<size_t>(r) * 3 + 1] -= 0.021f;
  }
  const std::vector<float> grid = dir.run(b, {si}, {kd}, "grid");
  const std::vector<float> warped = dir.run(b, {si}, {kd}, "warped_source");
  ASSERT_EQ(grid.size(), b.plane() * 2);
  const std::vector<float> ref = warpDirectorReference(b.prior(si), grid.data(), crop, crop);
  float worst = 0;
  size_t moved = 0;
  for (size_t i = 0; i < ref.size(); ++i) worst = std::max(worst, std::abs(ref[i] - warped[i]));
  for (size_t p = 0; p < b.plane(); ++p) {
    const float x = ((grid[2 * p] + 1) * static_cast<float>(crop) - 1) / 2;
    if (std::abs(x - static_cast<float>(p % static_cast<size_t>(crop))) > 0.1f) ++moved;
  }
  EXPECT_LT(worst, 2e-5f);
  EXPECT_GT(moved, b.plane() / 10) << "the probe grid hardly moves: the comparison proves little";
  // The probe's picture is the plain batch-1 director's.
  const std::vector<float> a = dir.run(b, {si}, {kd});
  const std::vector<float> plain = Director(b.model("b1")).run(b, {si}, {kd});
  float diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff = std::max(diff, std::abs(a[i] - plain[i]));
  EXPECT_LT(diff, 1e-5f);
}

class DirectorGraph : public testing::TestWithParam<const char*> {};

TEST_P(DirectorGraph, SourceKeypointsGiveBackTheSource) {
  const Bundle& b = smallBundle();
  Director dir(b.model(GetParam()));
  ASSERT_EQ(dir.batch(), 1);
  const int crop = b.man.crop;
  const size_t plane = b.plane();
  for (int si : {0, 5}) {
    const std::vector<float> out = dir.run(b, {si}, {b.kp(si)});
    const std::vector<float> ref = referenceSource(b, si, dir.featSynth());
    ASSERT_EQ(out.size(), ref.size());
    // Only the compose alpha's mouth region goes through the head's resampling; elsewhere the
    // warp with no offset samples every pixel at its own centre.
    const Window w = mouthWindow(b.kp(si), crop, crop / 8);
    double outside = 0, inside = 0;
    int n_in = 0;
    for (size_t c = 0; c < 3; ++c)
      for (int y = 0; y < crop; ++y)
        for (int x = 0; x < crop; ++x) {
          const size_t i = c * plane + static_cast<size_t>(y) * static_cast<size_t>(crop) + static_cast<size_t>(x);
          const double e = std::abs(static_cast<double>(out[i]) - ref[i]);
          if (x >= w.x0 && x < w.x1 && y >= w.y0 && y < w.y1) {
            inside += e;
            ++n_in;
          } else {
            outside = std::max(outside, e);
          }
        }
    EXPECT_LT(outside, 1e-3) << "si " << si;
    EXPECT_LT(inside / n_in, 0.03) << "si " << si;
  }
}

TEST_P(DirectorGraph, OpeningTheLipsDarkensTheMouth) {
  const Bundle& b = smallBundle();
  Director dir(b.model(GetParam()));
  const int crop = b.man.crop;
  const int si = 2;
  const std::vector<float> kp = b.kp(si);
  const Window w = mouthWindow(kp, crop, 8);
  const std::vector<float> r0 = dir.run(b, {si}, {kp});
  const std::vector<float> r1 = dir.run(b, {si}, {openLips(kp, 0.05f)});
  const std::vector<float> r2 = dir.run(b, {si}, {openLips(kp, 0.09f)});
  dumpCrop(std::string(GetParam()) + "_closed", r0, crop);
  dumpCrop(std::string(GetParam()) + "_open", r1, crop);
  dumpCrop(std::string(GetParam()) + "_wider", r2, crop);
  const int closed = darkPixels(r0.data(), crop, w);
  const int open = darkPixels(r1.data(), crop, w);
  const int wider = darkPixels(r2.data(), crop, w);
  EXPECT_GT(closed, 0);
  EXPECT_GT(open, closed * 5 / 4) << "closed " << closed;
  EXPECT_GT(wider, open) << "open " << open;
}

INSTANTIATE_TEST_SUITE_P(Families, DirectorGraph, testing::Values("b1", "b1_featsynth"));

TEST(DirectorGraphVariants, Batch24RendersEachFrameAsBatch1) {
  const Bundle& b = smallBundle();
  Director one(b.model("b1"));
  Director many(b.model("b24_fp32"));
  ASSERT_EQ(many.batch(), 24);
  std::vector<int> si;
  std::vector<std::vector<float>> kd;
  for (int j = 0; j < 24; ++j) {
    si.push_back(j % b.man.NT);
    kd.push_back(openLips(b.kp(si.back()), 0.01f * static_cast<float>(j % 7)));
  }
  const std::vector<float> all = many.run(b, si, kd);
  const size_t frame = 3 * b.plane();
  ASSERT_EQ(all.size(), 24 * frame);
  for (int j : {0, 5, 13, 23}) {
    const std::vector<float> single = one.run(b, {si[static_cast<size_t>(j)]}, {kd[static_cast<size_t>(j)]});
    float worst = 0;
    for (size_t i = 0; i < frame; ++i) worst = std::max(worst, std::abs(single[i] - all[static_cast<size_t>(j) * frame + i]));
    EXPECT_LT(worst, 1e-4f) << "frame " << j;
  }
}

TEST(DirectorGraphVariants, RefusalAndRewriteVariantsRenderTheSamePicture) {
  const Bundle& b = smallBundle();
  Director ref(b.model("b1"));
  Director kp22(b.model("b1_kp22"));
  Director blend(b.model("b1_s2blend"));
  EXPECT_EQ(kp22.shape("kp_driving"), (std::vector<int64_t>{1, 22, 3}));
  EXPECT_EQ(kp22.shape("kp_source"), (std::vector<int64_t>{1, 22, 3}));
  EXPECT_EQ(ref.shape("kp_driving"), (std::vector<int64_t>{1, 21, 3}));
  const std::vector<uint8_t> bytes = readBytes(b.model("b1_s2blend"));
  const std::string s2 = "/s2/blend";
  EXPECT_NE(std::search(bytes.begin(), bytes.end(), s2.begin(), s2.end()), bytes.end());
  const std::vector<uint8_t> plain = readBytes(b.model("b1"));
  EXPECT_EQ(std::search(plain.begin(), plain.end(), s2.begin(), s2.end()), plain.end());

  const std::vector<float> kd = openLips(b.kp(3), 0.05f);
  const std::vector<float> want = ref.run(b, {3}, {kd});
  for (Director* d : {&kp22, &blend}) {
    const std::vector<float> got = d->run(b, {3}, {kd});
    ASSERT_EQ(got.size(), want.size());
    float worst = 0;
    for (size_t i = 0; i < got.size(); ++i) worst = std::max(worst, std::abs(got[i] - want[i]));
    EXPECT_LT(worst, 1e-4f);
  }
}

}  // namespace
