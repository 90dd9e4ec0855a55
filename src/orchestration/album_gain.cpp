#include "orchestration/album_gain.h"

#include <algorithm>
#include <map>

namespace vexal {

namespace fs = std::filesystem;

std::optional<std::string> albumKey(const ConversionJob& job, bool byFolder) {
  const std::string folder = job.sourceURL().parent_path().string() + '\n';
  if (byFolder) return folder;
  const auto& metadata = job.metadata();
  if (metadata && metadata->album && !metadata->album->empty()) return folder + *metadata->album;
  if (job.startFrame() || job.endFrame()) return folder + "\ncue\n" + job.sourceURL().filename().string();
  return std::nullopt;
}

std::vector<std::tuple<OutputFormat, fs::path, ReplayGainTags>> albumTags(const AlbumGroup& album) {
  std::map<OutputFormat, GainMeasure> measures;
  for (const auto& format : kAllOutputFormats) {
    std::vector<double> blocks;
    double peak = 0;
    bool any = false;
    for (const auto& track : album.tracks) {
      if (track.format != format) continue;
      any = true;
      blocks.insert(blocks.end(), track.loudness.blockPowers.begin(), track.loudness.blockPowers.end());
      peak = std::max(peak, track.loudness.peak);
    }
    const double lufs = integratedLoudness(blocks);
    if (any && lufs > -100.0) measures[format] = GainMeasure{lufs, peak};
  }
  std::vector<std::tuple<OutputFormat, fs::path, ReplayGainTags>> tags;
  for (const auto& track : album.tracks) {
    if (const auto measure = measures.find(track.format); measure != measures.end()) {
      tags.emplace_back(track.format, track.path, ReplayGainTags{{}, measure->second});
    }
  }
  return tags;
}

}  // namespace vexal
