#include "orchestration/mirror_albums.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <map>

#include "metadata/metadata_service.h"
#include "orchestration/library_mirror.h"
#include "platform/logging.h"
#include "sources/path_text.h"

namespace vexal {

namespace fs = std::filesystem;

// "<peak>;<bin>:<count>,...;<album>": the album last, as it may hold any byte.
std::string encodeTrackLoudness(const TrackLoudness& track) {
  char peak[32];
  std::snprintf(peak, sizeof peak, "%.9g", track.peak);
  std::string text = peak;
  text += ';';
  bool first = true;
  for (std::size_t bin = 0; bin < track.histogram.counts.size(); ++bin) {
    if (track.histogram.counts[bin] == 0) continue;
    if (!first) text += ',';
    first = false;
    text += std::to_string(bin) + ':' + std::to_string(track.histogram.counts[bin]);
  }
  text += ';';
  text += track.album;
  return text;
}

std::optional<TrackLoudness> decodeTrackLoudness(std::string_view text) {
  const auto firstSemicolon = text.find(';');
  const auto secondSemicolon = firstSemicolon == std::string_view::npos ? firstSemicolon : text.find(';', firstSemicolon + 1);
  if (secondSemicolon == std::string_view::npos) return std::nullopt;
  TrackLoudness track;
  const std::string peak(text.substr(0, firstSemicolon));
  char* end = nullptr;
  track.peak = std::strtod(peak.c_str(), &end);
  if (peak.empty() || *end != '\0' || !(track.peak >= 0)) return std::nullopt;
  std::string_view bins = text.substr(firstSemicolon + 1, secondSemicolon - firstSemicolon - 1);
  while (!bins.empty()) {
    const auto comma = bins.find(',');
    const std::string_view item = bins.substr(0, comma);
    const auto colon = item.find(':');
    std::size_t bin = 0;
    std::uint32_t count = 0;
    if (colon == std::string_view::npos ||
        std::from_chars(item.data(), item.data() + colon, bin).ec != std::errc() ||
        std::from_chars(item.data() + colon + 1, item.data() + item.size(), count).ec != std::errc() ||
        bin >= track.histogram.counts.size())
      return std::nullopt;
    track.histogram.counts[bin] = count;
    bins = comma == std::string_view::npos ? std::string_view() : bins.substr(comma + 1);
  }
  track.album = std::string(text.substr(secondSemicolon + 1));
  if (track.album.empty()) return std::nullopt;
  return track;
}

std::optional<std::string> libraryAlbumKey(const ConversionJob& job, const std::string& libraryPath,
                                           bool cueTrack, bool byFolder) {
  const std::string folder = libraryFolderOf(libraryPath) + '\n';
  if (byFolder) return folder;
  const auto& metadata = job.metadata();
  if (metadata && metadata->album && !metadata->album->empty()) return folder + *metadata->album;
  if (cueTrack) return folder + "\ncue\n" + libraryPath;
  return std::nullopt;
}

int updateMirrorAlbums(MirrorStore& store, const std::set<std::string>& albums,
                       const std::set<OutputFormat>& formats) {
  int retagged = 0;
  if (albums.empty()) return retagged;
  struct Track {
    LibraryIndexEntry entry;
    TrackLoudness loudness;
  };
  // album -> format -> tracks
  std::map<std::string, std::map<std::string, std::vector<Track>>> found;
  for (LibraryIndexEntry& entry : store.entries()) {
    if (entry.loudness.empty()) continue;
    auto loudness = decodeTrackLoudness(entry.loudness);
    if (!loudness || !albums.contains(loudness->album)) continue;
    std::string format = entry.format;
    found[loudness->album][format].push_back({std::move(entry), std::move(*loudness)});
  }
  for (const auto& [album, byFormat] : found) {
    for (const auto& [raw, tracks] : byFormat) {
      const auto format = outputFormatFromRaw(raw);
      // One track is no album: its album values would only repeat the track's.
      if (!format || !formats.contains(*format) || tracks.size() < 2) continue;
      LoudnessHistogram pooled;
      double peak = 0;
      for (const Track& track : tracks) {
        pooled.add(track.loudness.histogram);
        peak = std::max(peak, track.loudness.peak);
      }
      const double lufs = pooled.integratedLoudness();
      if (lufs <= -100.0) continue;  // silence: no values rather than +80 dB
      const ReplayGainTags tags{std::nullopt, GainMeasure{lufs, peak}};
      for (const Track& track : tracks) {
        // Only files still Vexal's: a track the user changed keeps what it has.
        if (!MirrorStore::isOurs(store.ownership(track.entry))) continue;
        const fs::path path = store.tree().absoluteOf(track.entry.output);
        if (const auto failure = MetadataService::writeReplayGain(tags, *format, path)) {
          platform::log(platform::LogCategory::metadata, platform::LogLevel::error,
                        "Album ReplayGain tags failed for " + path.filename().string() + ": " + failure->text());
          continue;
        }
        // The audio is as it was: the index takes the new stamp and keeps the file as ours.
        LibraryIndexEntry restamped = track.entry;
        restamped.outputStamp = stampOf(path.native()).value_or(restamped.outputStamp);
        if (store.record(std::move(restamped))) ++retagged;
      }
    }
  }
  return retagged;
}

}  // namespace vexal
