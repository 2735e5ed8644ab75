#include "vesk_wav.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace vesk::cli {

namespace {

constexpr uint16_t kTagPcm = 0x0001;
constexpr uint16_t kTagFloat = 0x0003;
constexpr uint16_t kTagExtensible = 0xFFFE;
// Bytes 4..15 of every KSDATAFORMAT_SUBTYPE_* GUID whose first four bytes are a format tag.
constexpr uint8_t kGuidTail[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
// A data chunk size that streaming writers leave when they cannot seek back: "to the end of the file".
constexpr uint32_t kSizeUnknown = 0xFFFFFFFFu;

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

// A chunk id as text, with bytes that are not printable shown in hex, so that a corrupt file cannot
// put control characters into a message.
std::string fourcc(const uint8_t* p) {
  std::string s;
  for (int i = 0; i < 4; ++i) {
    if (p[i] >= 0x20 && p[i] < 0x7F) {
      s += static_cast<char>(p[i]);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", p[i]);
      s += hex;
    }
  }
  return s;
}

std::string tagName(uint16_t tag) {
  switch (tag) {
    case 0x0002:
      return "Microsoft ADPCM";
    case 0x0006:
      return "A-law";
    case 0x0007:
      return "mu-law";
    case 0x0011:
      return "IMA ADPCM";
    case 0x0055:
      return "MP3";
    default:
      break;
  }
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%04X", tag);
  return hex;
}

struct Format {
  bool isFloat = false;
  int bits = 0;  // container bits per sample
  int channels = 0;
  int rate = 0;
};

Format parseFmt(const uint8_t* p, uint32_t len, const std::string& name) {
  auto bad = [&](const std::string& what) { return std::runtime_error(name + ": " + what); };
  if (len < 16) throw bad("fmt chunk of " + std::to_string(len) + " bytes is shorter than 16");
  uint16_t tag = le16(p);
  const uint32_t channels = le16(p + 2);
  const uint32_t rate = le32(p + 4);
  const uint32_t blockAlign = le16(p + 12);
  const uint32_t bits = le16(p + 14);
  if (tag == kTagExtensible) {
    if (len < 40 || le16(p + 16) < 22)
      throw bad("WAVE_FORMAT_EXTENSIBLE fmt chunk of " + std::to_string(len) + " bytes lacks its 22-byte extension");
    const uint32_t valid = le16(p + 18);
    if (valid > bits)
      throw bad(std::to_string(valid) + " valid bits do not fit a " + std::to_string(bits) + "-bit container");
    if (std::memcmp(p + 28, kGuidTail, sizeof kGuidTail) != 0 || le16(p + 26) != 0)
      throw bad("WAVE_FORMAT_EXTENSIBLE sub-format is not a plain format tag");
    tag = le16(p + 24);
  }
  Format f;
  if (tag == kTagPcm) {
    if (bits != 8 && bits != 16 && bits != 24 && bits != 32)
      throw bad(std::to_string(bits) + "-bit PCM is not read (8, 16, 24 or 32 bits are)");
  } else if (tag == kTagFloat) {
    if (bits != 32 && bits != 64) throw bad(std::to_string(bits) + "-bit float is not read (32 or 64 bits are)");
    f.isFloat = true;
  } else {
    throw bad("format " + tagName(tag) + " is not PCM or IEEE float");
  }
  if (channels == 0) throw bad("zero channels");
  if (channels > static_cast<uint32_t>(kWavMaxChannels))
    throw bad(std::to_string(channels) + " channels, more than " + std::to_string(kWavMaxChannels));
  if (rate < static_cast<uint32_t>(kWavMinRate) || rate > static_cast<uint32_t>(kWavMaxRate))
    throw bad("sample rate " + std::to_string(rate) + " Hz is outside " + std::to_string(kWavMinRate) + ".." +
              std::to_string(kWavMaxRate));
  if (blockAlign != channels * bits / 8)
    throw bad("block align " + std::to_string(blockAlign) + " is not " + std::to_string(channels) + " channels x " +
              std::to_string(bits / 8) + " bytes");
  f.bits = static_cast<int>(bits);
  f.channels = static_cast<int>(channels);
  f.rate = static_cast<int>(rate);
  return f;
}

float clampUnit(double v) {
  // A float file may hold anything; NaN becomes silence and overs are clipped as a DAC would.
  if (std::isnan(v)) return 0.0f;
  return static_cast<float>(std::clamp(v, -1.0, 1.0));
}

void decode(const Format& f, const uint8_t* p, size_t count, std::vector<float>& out) {
  out.resize(count);
  const int bytes = f.bits / 8;
  for (size_t i = 0; i < count; ++i, p += bytes) {
    if (f.isFloat) {
      if (f.bits == 32) {
        float v;
        std::memcpy(&v, p, 4);
        out[i] = clampUnit(v);
      } else {
        double v;
        std::memcpy(&v, p, 8);
        out[i] = clampUnit(v);
      }
      continue;
    }
    switch (f.bits) {
      case 8:
        out[i] = static_cast<float>(static_cast<int>(p[0]) - 128) / 128.0f;
        break;
      case 16:
        out[i] = static_cast<float>(static_cast<int16_t>(le16(p))) / 32768.0f;
        break;
      case 24: {
        int32_t v = static_cast<int32_t>(p[0] | p[1] << 8 | p[2] << 16);
        if (v & 0x800000) v -= 0x1000000;
        out[i] = static_cast<float>(v) / 8388608.0f;
        break;
      }
      default:
        out[i] = static_cast<float>(static_cast<double>(static_cast<int32_t>(le32(p))) / 2147483648.0);
        break;
    }
  }
}

}  // namespace

Wav parseWav(const uint8_t* data, size_t size, const std::string& name) {
  auto bad = [&](const std::string& what) { return std::runtime_error(name + ": " + what); };
  if (size < 12) throw bad("not a WAV file (" + std::to_string(size) + " bytes)");
  if (std::memcmp(data, "RF64", 4) == 0) throw bad("RF64 (a WAV over 4 GiB) is not read");
  if (std::memcmp(data, "RIFF", 4) != 0 || std::memcmp(data + 8, "WAVE", 4) != 0) throw bad("not a RIFF/WAVE file");

  const uint8_t* fmt = nullptr;
  uint32_t fmtLen = 0;
  const uint8_t* body = nullptr;
  size_t bodyLen = 0;
  bool streamed = false;
  size_t off = 12;
  while (off + 8 <= size && body == nullptr) {
    const uint8_t* id = data + off;
    const uint32_t len = le32(data + off + 4);
    const size_t start = off + 8;
    const size_t left = size - start;
    const bool isData = std::memcmp(id, "data", 4) == 0;
    if (len > left) {
      if (!(isData && len == kSizeUnknown))
        throw bad("truncated: chunk '" + fourcc(id) + "' declares " + std::to_string(len) + " bytes, " +
                  std::to_string(left) + " remain");
      streamed = true;
    }
    if (std::memcmp(id, "fmt ", 4) == 0) {
      if (fmt != nullptr) throw bad("two fmt chunks");
      fmt = data + start;
      fmtLen = len;
    } else if (isData) {
      if (fmt == nullptr) throw bad("data chunk before the fmt chunk");
      body = data + start;
      bodyLen = streamed ? left : len;
    }
    // Chunks are padded to an even length; the pad byte of a last chunk may be missing.
    off = start + len + (len & 1u);
  }
  if (fmt == nullptr) throw bad("no fmt chunk");
  if (body == nullptr) throw bad("no data chunk");

  const Format f = parseFmt(fmt, fmtLen, name);
  const size_t frameBytes = static_cast<size_t>(f.channels) * static_cast<size_t>(f.bits / 8);
  // A streamed file cut anywhere keeps its whole frames; a declared length must be whole.
  if (streamed) bodyLen -= bodyLen % frameBytes;
  if (bodyLen % frameBytes != 0)
    throw bad("data chunk of " + std::to_string(bodyLen) + " bytes is not a whole number of " +
              std::to_string(frameBytes) + "-byte frames");
  if (bodyLen == 0) throw bad("no audio samples");
  const size_t count = bodyLen / static_cast<size_t>(f.bits / 8);
  if (count > kWavMaxSamples)
    throw bad(std::to_string(count) + " samples, more than " + std::to_string(kWavMaxSamples) + " are read");

  Wav w;
  w.rate = f.rate;
  w.channels = f.channels;
  w.format = std::to_string(f.bits) + (f.isFloat ? "-bit float" : "-bit PCM");
  decode(f, body, count, w.samples);
  return w;
}

Wav readWav(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) throw std::runtime_error("cannot open " + path);
  const std::streamoff size = in.tellg();
  // RIFF sizes are 32-bit; a larger file cannot be a WAV this reader accepts.
  if (size < 0 || static_cast<uint64_t>(size) > 0xFFFFFFFFull + 8)
    throw std::runtime_error(path + ": too large for a WAV file");
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  in.seekg(0);
  if (!in.read(reinterpret_cast<char*>(bytes.data()), size)) throw std::runtime_error("cannot read " + path);
  return parseWav(bytes.data(), bytes.size(), path);
}

}  // namespace vesk::cli
