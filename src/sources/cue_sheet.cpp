#include "sources/cue_sheet.h"

#include "model/decimal.h"

#include <QStringDecoder>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>

#include "sources/path_text.h"

namespace vexal {

namespace {

namespace fs = std::filesystem;

constexpr double kFramesPerSecond = 75.0;  // CD frames (sectors) per second
constexpr std::int64_t kFirstTrack = 1;
constexpr std::int64_t kLastTrack = 99;
// Real sheets are a few kilobytes; anything far larger is not a cue sheet and is not
// read into memory.
constexpr qint64 kMaxSheetBytes = 16 * 1024 * 1024;

bool isBlank(QChar c) { return c == u'\t' || c.category() == QChar::Separator_Space; }

QString trimBlanks(const QString& text) {
  qsizetype begin = 0;
  qsizetype end = text.size();
  while (begin < end && isBlank(text[begin])) ++begin;
  while (end > begin && isBlank(text[end - 1])) --end;
  return text.mid(begin, end - begin);
}

bool isLineBreak(QChar c) {
  // Line feed, vertical tab, form feed, carriage return, next line, line and paragraph
  // separators.
  const char16_t u = c.unicode();
  return (u >= 0x0A && u <= 0x0D) || u == 0x85 || u == 0x2028 || u == 0x2029;
}

QStringList splitLines(const QString& text) {
  QStringList lines;
  qsizetype start = 0;
  for (qsizetype i = 0; i < text.size(); ++i) {
    if (isLineBreak(text[i])) {
      lines.append(text.mid(start, i - start));
      start = i + 1;
    }
  }
  lines.append(text.mid(start));
  return lines;
}

std::optional<std::int64_t> parseInteger(QStringView text) {
  return parseDecimalInteger(text.toUtf8().toStdString());
}

// The text after `keyword` and one blank, when the line starts with them.
std::optional<QString> valueAfter(const QString& line, const QString& upper, QLatin1String keyword) {
  if (!upper.startsWith(keyword)) return std::nullopt;
  return trimBlanks(line.mid(keyword.size()));
}

std::optional<QString> fileValue(const QString& line, const QString& upper) {
  const auto rest = valueAfter(line, upper, QLatin1String("FILE "));
  if (!rest) return std::nullopt;
  if (rest->startsWith(u'"')) {
    const qsizetype close = rest->indexOf(u'"', 1);
    if (close > 0) return rest->mid(1, close - 1);
  }
  const qsizetype blank = rest->indexOf(u' ');
  return blank < 0 ? *rest : rest->left(blank);
}

std::optional<QString> quotedValue(const QString& line, const QString& upper, QLatin1String keyword) {
  auto rest = valueAfter(line, upper, keyword);
  if (!rest) return std::nullopt;
  if (rest->size() >= 2 && rest->startsWith(u'"') && rest->endsWith(u'"')) return rest->mid(1, rest->size() - 2);
  return rest;
}

std::optional<std::int64_t> trackNumber(const QString& line, const QString& upper) {
  if (!upper.startsWith(QLatin1String("TRACK "))) return std::nullopt;
  const QStringList pieces = line.split(u' ', Qt::SkipEmptyParts);
  if (pieces.size() < 2) return std::nullopt;
  const auto number = parseInteger(pieces[1]);
  if (!number || *number < kFirstTrack || *number > kLastTrack) return std::nullopt;
  return number;
}

// INDEX 01 mm:ss:ff in seconds; other index numbers give nothing.
std::optional<double> indexTime(const QString& line, const QString& upper) {
  if (!upper.startsWith(QLatin1String("INDEX 01 ")) && !upper.startsWith(QLatin1String("INDEX 1 "))) {
    return std::nullopt;
  }
  const QStringList pieces = line.split(u' ', Qt::SkipEmptyParts);
  if (pieces.size() < 3) return std::nullopt;
  const QStringList fields = pieces.last().split(u':');
  if (fields.size() != 3) return std::nullopt;
  const auto minutes = parseInteger(fields[0]);
  const auto seconds = parseInteger(fields[1]);
  const auto frames = parseInteger(fields[2]);
  if (!minutes || !seconds || !frames) return std::nullopt;
  if (*minutes < 0 || *seconds < 0 || *seconds > 59 || *frames < 0 || *frames >= kFramesPerSecond) {
    return std::nullopt;
  }
  return static_cast<double>(*minutes) * 60.0 + static_cast<double>(*seconds) +
         static_cast<double>(*frames) / kFramesPerSecond;
}

struct OpenTrack {
  CueTrack track;
  std::optional<double> indexTime;
};

// REM DISCNUMBER "1" or "1/2": the number before any slash.
std::optional<std::int64_t> parseDiscNumber(const QString& value) {
  const auto number = parseInteger(value.section(u'/', 0, 0).trimmed());
  if (!number || *number < 1) return std::nullopt;
  return number;
}

// A regular file (through links): a FIFO or a device named by a FILE line would block
// the reader or never end.
bool isFile(const fs::path& path) {
  std::error_code error;
  return fs::is_regular_file(path, error);
}

// The audio file a FILE line means, in `folder`: the name as written, or else the one
// file with the same stem and an accepted extension (a sheet written for "album.wav"
// beside the compressed "album.flac"). Names are compared as bytes: `name` is the
// written name as the file system holds it.
std::optional<fs::path> findAudioFile(const fs::path& folder, const fs::path& name,
                                      const std::set<QString>& extensions) {
  if (name.empty()) return std::nullopt;  // would resolve to the folder itself
  const fs::path written = folder / name;
  if (isFile(written)) return written;
  const fs::path stem = written.stem();
  std::error_code error;
  const fs::path parent = written.parent_path();
  fs::directory_iterator it(parent.empty() ? fs::path(".") : parent, error);
  if (error) return std::nullopt;
  std::optional<fs::path> found;
  for (; it != fs::directory_iterator(); it.increment(error)) {
    if (error) return std::nullopt;
    const fs::path candidate = parent / it->path().filename();
    if (candidate.stem() != stem || !extensions.contains(QString::fromStdString(lowerExtension(candidate))))
      continue;
    if (!isFile(candidate)) continue;
    if (found) return std::nullopt;  // ambiguous
    found = candidate;
  }
  return found;
}

// The bytes a sheet's FILE name stands for: UTF-8, or Latin-1 when the sheet was read as
// Latin-1 (then "Caf\xe9.wav" is the file named with the byte 0xE9).
fs::path writtenName(const QString& name, bool latin1) {
  if (!latin1) return pathFromQString(name);
  const QByteArray bytes = name.toLatin1();
  return fs::path(std::string(bytes.constData(), static_cast<std::size_t>(bytes.size())));
}

}  // namespace

QString CueSheetError::errorDescription() const {
  switch (kind) {
    case Kind::audioFileNotFound:
      return QStringLiteral("Audio file not found: ") + detail;
    case Kind::noFileReference:
      return QStringLiteral("Cue sheet has no FILE reference");
    case Kind::noTracks:
      return QStringLiteral("Cue sheet has no tracks");
    case Kind::unreadable:
      return detail;
  }
  return detail;
}

std::expected<CueSheet, CueSheetError> CueSheet::parse(const QString& text) {
  CueSheet sheet;
  std::optional<OpenTrack> current;
  // Lines before the first FILE belong to it (a sheet may name its file last).
  const auto currentFile = [&] { return sheet.files.empty() ? std::size_t{0} : sheet.files.size() - 1; };

  auto finishCurrent = [&] {
    if (!current) return;
    current->track.startTime = current->indexTime.value_or(0.0);
    sheet.tracks.push_back(std::move(current->track));
    current.reset();
  };

  for (const QString& rawLine : splitLines(text)) {
    const QString line = trimBlanks(rawLine);
    const QString upper = line.toUpper();
    if (auto value = fileValue(line, upper)) {
      sheet.files.push_back(CueFile{*value, {}});
    } else if (auto title = quotedValue(line, upper, QLatin1String("TITLE "))) {
      (current ? current->track.title : sheet.albumTitle) = *title;
    } else if (auto performer = quotedValue(line, upper, QLatin1String("PERFORMER "))) {
      (current ? current->track.performer : sheet.albumPerformer) = *performer;
    } else if (auto number = trackNumber(line, upper)) {
      finishCurrent();
      current = OpenTrack{};
      current->track.number = *number;
      current->track.file = currentFile();
    } else if (auto time = indexTime(line, upper)) {
      // An INDEX before the first TRACK belongs to no track.
      if (current) {
        current->indexTime = *time;
        current->track.file = currentFile();
      }
    } else if (current) {
      continue;  // REM lines inside a track describe that track only
    } else if (auto genre = quotedValue(line, upper, QLatin1String("REM GENRE "))) {
      sheet.genre = *genre;
    } else if (auto date = quotedValue(line, upper, QLatin1String("REM DATE "))) {
      sheet.date = *date;
    } else if (auto disc = quotedValue(line, upper, QLatin1String("REM DISCNUMBER "))) {
      sheet.discNumber = parseDiscNumber(*disc);
    }
  }
  finishCurrent();

  if (sheet.files.empty()) return std::unexpected(CueSheetError{CueSheetError::Kind::noFileReference, {}});
  if (sheet.tracks.empty()) return std::unexpected(CueSheetError{CueSheetError::Kind::noTracks, {}});
  std::stable_sort(sheet.tracks.begin(), sheet.tracks.end(),
                   [](const CueTrack& a, const CueTrack& b) { return a.number < b.number; });
  return sheet;
}

std::expected<CueSheet, CueSheetError> CueSheet::parseFile(const QString& path,
                                                           const std::set<QString>& audioExtensions) {
  const fs::path sheetPath = pathFromQString(path);
  const QString displayName = pathToQString(sheetPath.filename());
  const auto unreadable = [&](const QString& reason) {
    return std::unexpected(CueSheetError{CueSheetError::Kind::unreadable, displayName + QStringLiteral(": ") + reason});
  };
  // Opened by its bytes: a sheet whose name is not UTF-8 is read like any other.
  std::ifstream file(sheetPath, std::ios::binary);
  if (!file) return unreadable(QString::fromLocal8Bit(std::strerror(errno)));
  std::error_code sizeError;
  const auto size = fs::file_size(sheetPath, sizeError);
  if (sizeError) return unreadable(QString::fromStdString(sizeError.message()));
  if (size > static_cast<std::uintmax_t>(kMaxSheetBytes)) return unreadable(QStringLiteral("file too large for a cue sheet"));
  QByteArray bytes(static_cast<qsizetype>(size), Qt::Uninitialized);
  file.read(bytes.data(), bytes.size());
  if (file.gcount() != bytes.size()) return unreadable(QStringLiteral("read failed"));

  QStringDecoder utf8(QStringDecoder::Utf8);
  QString text = utf8.decode(bytes);
  const bool latin1 = utf8.hasError();
  if (latin1) {
    // Older rippers write Latin-1; every byte sequence is valid there.
    QStringDecoder decoder(QStringDecoder::Latin1);
    text = decoder.decode(bytes);
  }

  auto sheet = parse(text);
  if (!sheet) return sheet;
  // The jobs of a sheet are frame ranges of its files: without them there is nothing to do.
  // Relative to the sheet as it was given, like the files of a folder given for import.
  const fs::path folder = fs::path(sheetPath).parent_path();
  for (std::size_t i = 0; i < sheet->files.size(); ++i) {
    CueFile& file = sheet->files[i];
    const bool used = std::ranges::any_of(sheet->tracks, [i](const CueTrack& t) { return t.file == i; });
    if (!used) continue;
    auto found = findAudioFile(folder, writtenName(file.name, latin1), audioExtensions);
    // A Latin-1 sheet beside a file renamed to UTF-8 since.
    if (!found && latin1) found = findAudioFile(folder, pathFromQString(file.name), audioExtensions);
    if (!found) return std::unexpected(CueSheetError{CueSheetError::Kind::audioFileNotFound, file.name});
    file.path = pathToQString(*found);
  }
  return sheet;
}

}  // namespace vexal
