// The vesk command line as a user runs it, its outputs checked with ffprobe.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/vesk_image.h"
#include "generated_bundles.h"
#include "media_check.h"

using vesk::test::bundleDir;
using vesk::test::expectTracks;
using vesk::test::num;
using vesk::test::probe;
using vesk::test::Ran;
using vesk::test::run;
using vesk::test::TempDir;

namespace {

std::string cli(const std::string& args) { return std::string(VESK_CLI) + " " + args; }

}  // namespace

TEST(VeskCli, RenderWritesAPlayableMp4) {
  TempDir tmp;
  const std::string out = tmp / "loop.mp4";
  const Ran r = run(cli("render " + bundleDir("small") + " --frames 12 --out " + out));
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_NE(r.output.find("[vesk] wrote " + out + ": 12 frames 320x240"), std::string::npos) << r.output;
  const Ran probe =
      run("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
          "stream=codec_name,width,height,nb_read_frames,r_frame_rate -of csv=p=0 " +
          out);
  EXPECT_EQ(probe.output, "h264,320,240,25/1,12\n");
}

TEST(VeskCli, RenderTheDemoIdentity) {
  TempDir tmp;
  const std::string out = tmp / "demo.mp4";
  const Ran r = run(cli("render " + bundleDir("demo") + " --frames 5 --out " + out));
  ASSERT_EQ(r.status, 0) << r.output;
  const Ran probe =
      run("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
          "stream=codec_name,width,height,nb_read_frames,r_frame_rate -of csv=p=0 " +
          out);
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
  EXPECT_NE(
      info.output.find("teeth       0 of 4 members, missing bank_track, bank_sidecar, head_weights, head_config\n"),
      std::string::npos)
      << info.output;
  EXPECT_NE(info.output.find("lip contour none (the director composes with its own ellipse)\n"), std::string::npos)
      << info.output;
  // The teeth identity: every member, and the lip template with its map.
  const Ran teeth = run(cli("info " + bundleDir("teeth")));
  ASSERT_EQ(teeth.status, 0) << teeth.output;
  EXPECT_NE(teeth.output.find("teeth       4 of 4 members, 8 donors, band "), std::string::npos) << teeth.output;
  EXPECT_NE(teeth.output.find("lip contour 24 vertices on 4 anchors, feather 1.5 px, lip_map 48x8\n"),
            std::string::npos)
      << teeth.output;

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

namespace {

// A 16-bit WAV of `seconds` of a voiced, syllable-like tone pattern: pulses of a 150 Hz buzz with
// a formant-like overtone, opening and closing four times a second, the same in every channel.
std::string voicedWav(int rate, int channels, double seconds) {
  const int n = static_cast<int>(std::lround(rate * seconds));
  std::string data;
  for (int i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / rate;
    const double env = std::pow(std::sin(M_PI * 4 * t), 2);
    const double x = env * (0.5 * std::sin(2 * M_PI * 150 * t) + 0.2 * std::sin(2 * M_PI * 750 * t));
    const int16_t v = static_cast<int16_t>(std::lround(x * 32767));
    for (int c = 0; c < channels; ++c) {
      data += static_cast<char>(v & 0xFF);
      data += static_cast<char>((v >> 8) & 0xFF);
    }
  }
  auto le = [](uint32_t v, int bytes) {
    std::string s;
    for (int b = 0; b < bytes; ++b) s += static_cast<char>((v >> (8 * b)) & 0xFF);
    return s;
  };
  const uint32_t align = static_cast<uint32_t>(channels) * 2;
  const std::string fmt = le(1, 2) + le(static_cast<uint32_t>(channels), 2) + le(static_cast<uint32_t>(rate), 4) +
                          le(static_cast<uint32_t>(rate) * align, 4) + le(align, 2) + le(16, 2);
  const std::string body = "WAVEfmt " + le(16, 4) + fmt + "data" + le(static_cast<uint32_t>(data.size()), 4) + data;
  return "RIFF" + le(static_cast<uint32_t>(body.size()), 4) + body;
}

double rms(const std::vector<int16_t>& v, size_t from, size_t to) {
  to = std::min(to, v.size());
  if (from >= to) return 0;
  double s = 0;
  for (size_t i = from; i < to; ++i) s += static_cast<double>(v[i]) * v[i];
  return std::sqrt(s / static_cast<double>(to - from));
}

// The summary line of a speak run, "[vesk] wrote ...".
std::string wroteLine(const std::string& output) {
  const size_t at = output.find("[vesk] wrote ");
  if (at == std::string::npos) return "";
  return output.substr(at, output.find('\n', at) - at);
}

// The number right after `label` in the line; -1 when the label is missing.
double after(const std::string& line, const std::string& label) {
  const size_t at = line.find(label);
  return at == std::string::npos ? -1.0 : std::strtod(line.c_str() + at + label.size(), nullptr);
}

}  // namespace

// Offline speech through an utterance session on the bundle's own streaming model: the MP4 holds
// every pulled frame at 25 fps with an audio track as long as the video, and the speech sounds from
// the first speech frame on.
TEST(VeskCli, SpeakWritesVideoWithItsSpeech) {
  TempDir tmp;
  const std::string wav = tmp / "voice.wav", out = tmp / "speak.mp4";
  // 22.05 kHz stereo, so the reader resamples and downmixes on the way in.
  vesk::test::writeFile(wav, voicedWav(22050, 2, 2.0));
  const Ran r = run("env -u W2V_ONNX " + cli("speak " + bundleDir("small") + " --audio " + wav + " --out " + out +
                                             " --offline --idle 0.4 --threads 2"));
  ASSERT_EQ(r.status, 0) << r.output;
  // The bundle's w2v.onnx became the shared encoder, and its short-window pair was found beside it.
  EXPECT_NE(r.output.find("short-window w2v frontend loaded (LT="), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("trunk=" + bundleDir("small") + "/audio_encoder_fp16_window_trunk.onnx"), std::string::npos);
  EXPECT_NE(r.output.find("[vesk] " + wav + ": wav, pcm_s16le, 2 channels at 22050 Hz, 2.00 s"), std::string::npos)
      << r.output;
  const std::string line = wroteLine(r.output);
  EXPECT_NE(line.find(" frames 320x240, 2.00 s of speech from frame "), std::string::npos) << r.output;
  const int frames = static_cast<int>(after(line, out + ": "));
  const int speechAt = static_cast<int>(after(line, "from frame "));
  const int speech = static_cast<int>(after(line, ", speech "));
  // The session's own counts: every pulled frame was written.
  EXPECT_EQ(after(line, "; frames "), frames) << line;
  EXPECT_EQ(after(line, "utterances "), 1) << line;
  EXPECT_GE(after(line, "first_frame_ms "), 0) << line;
  EXPECT_GT(after(line, "render_ms "), 0) << line;
  EXPECT_EQ(after(line, "render failures "), 0) << line;
  EXPECT_EQ(speech, 50);
  // 10 idle frames first; then the speech, the 6 ramp frames and 10 idle frames after.
  EXPECT_GE(speechAt, 10);
  EXPECT_GE(frames, speechAt + speech + 6 + 10);
  expectTracks(out, frames, 320, 240);

  // The tone pattern starts at its loudest-rising edge right at the speech frame: silence before it,
  // sound within its first quarter second.
  const std::vector<int16_t> pcm = vesk::test::decodeAudio(out);
  const size_t at = static_cast<size_t>(speechAt) * 640;
  EXPECT_LT(rms(pcm, 0, at - 80), 100.0);
  EXPECT_GT(rms(pcm, at, at + 4000), 3000.0);
  EXPECT_LT(rms(pcm, at + 2 * 16000 + 160, pcm.size()), 100.0);
}

// The live host: audio pushed in real time, frames pulled on a 25 fps clock, here with the
// bundle's motion model. The run lasts at least as long as the video it writes, and the tracks
// still agree.
TEST(VeskCli, SpeakLiveKeepsTheClock) {
  TempDir tmp;
  const std::string wav = tmp / "voice.wav", out = tmp / "live.mp4";
  vesk::test::writeFile(wav, voicedWav(16000, 1, 0.6));
  const Ran r = run(cli("speak " + bundleDir("small") + " --audio " + wav + " --out " + out + " --motion-dir " +
                        bundleDir("small") + "/motion --idle 0.2"));
  ASSERT_EQ(r.status, 0) << r.output;
  const std::string line = wroteLine(r.output);
  const int frames = static_cast<int>(after(line, out + ": "));
  EXPECT_EQ(after(line, ", speech "), 15) << line;
  EXPECT_EQ(after(line, "utterances "), 1) << line;
  EXPECT_GE(after(line, "late ticks "), 0) << line;
  EXPECT_GE(frames, 5 + 15 + 6 + 5) << line;
  // Pulls are paced: the frames written and the ticks with nothing to pull fill the run's time.
  EXPECT_GE(after(line, "; in "), (frames - 1) / 25.0) << line;
  expectTracks(out, frames, 320, 240);
}

// The whole-run stream: every frame is speech, the audio starts with the first.
TEST(VeskCli, SpeakStreamRendersTheWholeRun) {
  TempDir tmp;
  const std::string wav = tmp / "voice.wav", out = tmp / "stream.mp4";
  vesk::test::writeFile(wav, voicedWav(44100, 1, 1.0));
  const Ran r =
      run("env -u W2V_ONNX " + cli("speak " + bundleDir("small") + " --audio " + wav + " --out " + out + " --stream"));
  ASSERT_EQ(r.status, 0) << r.output;
  // The fca model's own encoder, which the bundle carries.
  EXPECT_NE(r.output.find("[vesk] whole-run stream: encoder " + bundleDir("small") + "/audio_encoder_8s.onnx\n"),
            std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find(": 25 frames 320x240, 1.00 s of speech from frame 0; frames 25 (whole run); in "),
            std::string::npos)
      << r.output;
  expectTracks(out, 25, 320, 240);
  const std::vector<int16_t> pcm = vesk::test::decodeAudio(out);
  EXPECT_GT(rms(pcm, 0, 4000), 3000.0);
}

// What text-to-speech engines write: the voice as Ogg/Opus at 48 kHz and as MP3, spoken whole.
TEST(VeskCli, SpeakReadsCompressedSpeech) {
  TempDir tmp;
  vesk::test::writeFile(tmp / "voice.wav", voicedWav(24000, 1, 1.0));
  for (const char* codec : {"voice.opus|-c:a libopus|ogg, opus, 1 channel at 48000 Hz",
                            "voice.mp3|-c:a libmp3lame|mp3, mp3, 1 channel at 24000 Hz"}) {
    const std::string spec = codec;
    const std::string name = spec.substr(0, spec.find('|'));
    const std::string args = spec.substr(name.size() + 1, spec.rfind('|') - name.size() - 1);
    const std::string said = spec.substr(spec.rfind('|') + 1);
    const std::string in = tmp / name, out = tmp / (name + ".mp4");
    ASSERT_EQ(run("ffmpeg -v error -y -i " + (tmp / "voice.wav") + " " + args + " " + in + " </dev/null").status, 0);
    const Ran r = run("env -u W2V_ONNX " + cli("speak " + bundleDir("small") + " --audio " + in + " --out " + out +
                                               " --stream --threads 2"));
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("[vesk] " + in + ": " + said + ", 1.0"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find(": 25 frames 320x240, 1.00 s of speech from frame 0; frames 25 (whole run)"),
              std::string::npos)
        << r.output;
    expectTracks(out, 25, 320, 240);
  }
}

TEST(VeskCli, SpeakMistakes) {
  TempDir tmp;
  const std::string small = bundleDir("small");
  const Ran help = run(cli("--help"));
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.output.find("vesk speak BUNDLE --audio AUDIO --out FILE.mp4"), std::string::npos) << help.output;
  EXPECT_NE(help.output.find("W2V_ONNX"), std::string::npos);

  const Ran noAudio = run(cli("speak " + small + " --out " + (tmp / "x.mp4")));
  EXPECT_EQ(WEXITSTATUS(noAudio.status), 2);
  EXPECT_NE(noAudio.output.find("vesk: speak needs --audio AUDIO and --out FILE.mp4"), std::string::npos);
  const Ran both = run(cli("speak " + small + " --audio a.wav --out x.mp4 --offline --stream"));
  EXPECT_EQ(WEXITSTATUS(both.status), 2);
  EXPECT_NE(both.output.find("vesk: speak takes --offline or --stream, not both"), std::string::npos);
  const Ran dangling = run(cli("speak " + small + " --audio"));
  EXPECT_EQ(WEXITSTATUS(dangling.status), 2);
  EXPECT_NE(dangling.output.find("vesk: option --audio needs a value"), std::string::npos);

  // A file that is not audio, and one cut short: one line each, the decoders' own chatter silenced.
  vesk::test::writeFile(tmp / "not.mp3", "ID3 an mp3, perhaps");
  const Ran notAudio = run(cli("speak " + small + " --audio " + (tmp / "not.mp3") + " --out " + (tmp / "x.mp4")));
  EXPECT_EQ(WEXITSTATUS(notAudio.status), 1);
  EXPECT_EQ(notAudio.output.rfind("vesk: " + (tmp / "not.mp3") + ": ", 0), 0u) << notAudio.output;
  EXPECT_EQ(std::count(notAudio.output.begin(), notAudio.output.end(), '\n'), 1) << notAudio.output;
  const std::string cutWav = voicedWav(16000, 1, 0.5);
  vesk::test::writeFile(tmp / "cut.wav", cutWav.substr(0, cutWav.size() - 100));
  const Ran cut = run(cli("speak " + small + " --audio " + (tmp / "cut.wav") + " --out " + (tmp / "x.mp4")));
  EXPECT_EQ(WEXITSTATUS(cut.status), 1);
  EXPECT_EQ(cut.output,
            "vesk: " + (tmp / "cut.wav") + ": truncated: chunk 'data' declares 16000 bytes, 15900 remain\n");

  vesk::test::writeFile(tmp / "v.wav", voicedWav(16000, 1, 0.2));
  // The unified bundle carries no speech encoder.
  const Ran noEncoder = run("env -u W2V_ONNX " + cli("speak " + bundleDir("unified") + " --audio " + (tmp / "v.wav") +
                                                     " --out " + (tmp / "x.mp4") + " --stream"));
  EXPECT_EQ(WEXITSTATUS(noEncoder.status), 1);
  EXPECT_NE(noEncoder.output.find("vesk: --stream needs the 8 s speech encoder: pass --encoder PATH, set W2V_ONNX, or "
                                  "put audio_encoder_8s.onnx or w2v.onnx in the bundle"),
            std::string::npos)
      << noEncoder.output;
  // A directory that holds no audio model: the session's own refusal, not a hang.
  const Ran noModel = run(cli("speak " + small + " --audio " + (tmp / "v.wav") + " --out " + (tmp / "x.mp4") +
                              " --motion-dir " + tmp.path() + " --offline"));
  EXPECT_EQ(WEXITSTATUS(noModel.status), 1);
  EXPECT_NE(noModel.output.find("vesk: the audio model did not load: "), std::string::npos) << noModel.output;
}
