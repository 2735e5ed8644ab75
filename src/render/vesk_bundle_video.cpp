#include "render/vesk_bundle_video.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "bundle/vesk_imx.h"
#include "core/vesk_file.h"
#include "core/vesk_env.h"

namespace vesk {

std::unique_ptr<DriverCursor> openDriverVideo(const Manifest& manifest, int ahead, int history) {
  const std::string& dir_name = manifest.driver_frames;
  const std::string& video_name = manifest.driver_video;
  const std::string jpg_dir = manifest.dir + "/" + dir_name;
  char last[32];
  std::snprintf(last, sizeof last, "/frame_%06d.jpg", manifest.NT - 1);
  const bool populated = manifest.NT >= 1 && fileExists(jpg_dir + last);
  const std::string video = resolveMember(manifest.dir, video_name);
  const bool have_video = fileExists(video);

  const bool prefer_mp4 = env::flag("VESK_DRIVER_PREFER_MP4") && have_video;
  if (prefer_mp4) {
    if (populated)
      std::fprintf(stderr,
                   "[vesk-driver] VESK_DRIVER_PREFER_MP4=1 — %s/ is populated and NOT used; %s is the member this "
                   "consumer reads\n",
                   dir_name.c_str(), video_name.c_str());
  } else if (populated) {
    std::fprintf(stderr, "[vesk-driver] %s/ (raw jpg, %d frames) — read one frame per pull\n", dir_name.c_str(),
                 manifest.NT);
    return DriverCursor::over(driver::openJpgDir(jpg_dir, manifest.NT, manifest.W, manifest.H), ahead, history);
  }
  if (!have_video)
    throw std::runtime_error("this bundle carries neither a populated " + dir_name + "/ nor " + video_name + " (" +
                             video + ") — there is no driver video to play. REFUSING to create a session.");
  auto source = driver::openMp4(video, manifest.NT, manifest.W, manifest.H);
  const std::string source_name = source->name();
  auto cursor = DriverCursor::over(std::move(source), ahead, history);
  std::fprintf(stderr,
               "[vesk-driver] %s decoded IN PLACE (%s, %d frames %dx%d, look-ahead %d, history %d) — no frame of the "
               "driver is expanded ahead of the paste\n",
               video_name.c_str(), source_name.c_str(), manifest.NT, manifest.W, manifest.H, std::max(ahead, 1),
               std::max(history, 0));
  return cursor;
}

std::unique_ptr<DriverCursor> openPriorVideo(const Manifest& manifest, int ahead, int history) {
  const std::string name = manifest.priorVideoName();
  const std::string path = resolveMember(manifest.dir, name);
  if (!fileExists(path))
    throw std::runtime_error("this bundle carries neither a raw P.f16 nor " + name + " (" + path +
                             ") — there is no warp prior to play. REFUSING to create a session.");
  auto source = driver::openPriorHevc(path, manifest.NT, manifest.crop);
  const std::string source_name = source->name();
  auto cursor = DriverCursor::over(std::move(source), ahead, history);
  std::fprintf(stderr,
               "Zentrova: identity source ready — %d frames %dx%d, played straight from %s (%s); nothing is unpacked "
               "to disk\n",
               manifest.NT, manifest.crop, manifest.crop, name.c_str(), source_name.c_str());
  return cursor;
}

}  // namespace vesk
