#include "orchestration/cue_tracks.h"

#include <QFileInfo>
#include <algorithm>

#include "engine/audio_file_info.h"
#include "metadata/metadata_service.h"
#include "model/input_formats.h"
#include "sources/cue_sheet.h"
#include "sources/path_text.h"

namespace vexal {

namespace fs = std::filesystem;

std::vector<std::shared_ptr<ConversionJob>> makeCueTrackJobs(
    const CueSheet& sheet, const std::vector<CueAudioFile>& files, const QString& cueBaseName,
    const std::optional<QString>& subfolderOverride) {
  std::vector<std::shared_ptr<ConversionJob>> jobs;
  const auto& tracks = sheet.tracks;
  // One folder for the whole sheet: a "/" in an album title does not nest folders.
  QString subfolder = sheet.albumTitle.value_or(cueBaseName);
  subfolder.replace(QLatin1Char('/'), QLatin1Char('_'));
  if (subfolderOverride) subfolder = *subfolderOverride;
  const auto utf8 = [](const std::optional<QString>& text) {
    return text ? std::optional<std::string>(text->toStdString()) : std::nullopt;
  };
  const auto inFile = [&](std::size_t file) {
    return std::ranges::count_if(tracks, [file](const CueTrack& t) { return t.file == file; });
  };
  // "2004" or "2004-05-17": the year is the leading four digits.
  std::optional<std::int64_t> sheetYear;
  if (sheet.date && sheet.date->size() >= 4) {
    bool ok = false;
    const int year = sheet.date->left(4).toInt(&ok);
    if (ok && year > 0) sheetYear = year;
  }

  // The first track of a file starts at the file's start, so audio before its INDEX 01
  // (a pregap or hidden track) is kept; later ones at their INDEX 01.
  std::vector<std::int64_t> starts(tracks.size());
  for (std::size_t i = 0; i < tracks.size(); ++i) {
    const bool firstInFile = std::none_of(tracks.begin(), tracks.begin() + static_cast<std::ptrdiff_t>(i),
                                          [&](const CueTrack& t) { return t.file == tracks[i].file; });
    const double rate = files.at(tracks[i].file).sampleRate;
    starts[i] = firstInFile ? 0 : static_cast<std::int64_t>(tracks[i].startTime * rate);  // truncated
  }

  for (std::size_t i = 0; i < tracks.size(); ++i) {
    const CueTrack& track = tracks[i];
    const CueAudioFile& file = files.at(track.file);
    std::int64_t end = file.totalFrames;
    for (std::size_t next = i + 1; next < tracks.size(); ++next) {
      if (tracks[next].file != track.file) continue;
      end = starts[next];  // at or before the start: an empty track, refused when converted
      break;
    }
    QString name = QString::asprintf("%02lld", static_cast<long long>(track.number));
    name += track.title ? QStringLiteral(" ") + *track.title
                        : QStringLiteral(" Track ") + QString::number(track.number);

    // The file's own tags fill what the sheet leaves out; its title and composer only
    // when the file is this one track.
    const AudioMetadata& own = file.tags;
    const bool wholeFile = inFile(track.file) == 1;
    AudioMetadata metadata;
    metadata.title = track.title ? utf8(track.title) : wholeFile ? own.title : std::nullopt;
    metadata.artist = track.performer       ? utf8(track.performer)
                      : sheet.albumPerformer ? utf8(sheet.albumPerformer)
                                             : own.artist;
    metadata.album = sheet.albumTitle ? utf8(sheet.albumTitle) : own.album;
    metadata.albumArtist = sheet.albumPerformer ? utf8(sheet.albumPerformer) : own.albumArtist;
    metadata.trackNumber = track.number;
    metadata.trackTotal = static_cast<std::int64_t>(tracks.size());
    metadata.discNumber = sheet.discNumber ? sheet.discNumber : own.discNumber;
    metadata.genre = sheet.genre ? utf8(sheet.genre) : own.genre;
    metadata.year = sheetYear ? sheetYear : own.year;
    metadata.composer = wholeFile ? own.composer : std::nullopt;
    metadata.artwork = own.artwork;
    // A file cut into tracks lends them what describes the whole album (identifiers,
    // label, album gain, booklet pictures); what it says of itself (a recording id, track
    // gain, lyrics) would be wrong for every track.
    metadata.properties =
        wholeFile ? own.properties : MetadataService::albumProperties(own.properties);
    metadata.pictures = own.pictures;

    const std::string nameUtf8 = name.toStdString();
    // The sheet's own name keeps its bytes when it names the folder.
    jobs.push_back(std::make_shared<ConversionJob>(file.path, nameUtf8, pathFromQString(subfolder).native(),
                                                   starts[i], end, nameUtf8, std::move(metadata)));
  }
  return jobs;
}

std::expected<CueImport, QString> readCueTracks(const QString& path,
                                                const std::optional<QString>& subfolder) {
  std::set<QString> extensions;
  for (const auto& extension : acceptedInputExtensions()) extensions.insert(QString::fromStdString(extension));
  const auto sheet = CueSheet::parseFile(path, extensions);
  if (!sheet) return std::unexpected(sheet.error().errorDescription());
  std::vector<CueAudioFile> files(sheet->files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (sheet->files[i].path.isEmpty()) continue;  // a FILE without tracks
    const fs::path audio = pathFromQString(sheet->files[i].path);
    const auto info = readAudioFileInfo(audio);
    if (!info) return std::unexpected(QString::fromStdString(info.error().errorDescription()));
    files[i] = {audio, info->sampleRate, info->totalFrames, MetadataService::readMetadata(audio)};
  }
  CueImport result;
  result.jobs = makeCueTrackJobs(*sheet, files, QFileInfo(path).completeBaseName(), subfolder);
  for (const CueTrack& track : sheet->tracks) result.trackNumbers.push_back(track.number);
  result.trackNumbers.resize(result.jobs.size());
  return result;
}

}  // namespace vexal
