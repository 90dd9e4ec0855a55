#include "metadata/metadata_service.h"
#include "model/decimal.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <map>
#include <system_error>

#include "metadata/metadata_items.h"
#include "metadata/picture_block.h"
#include "model/uuid.h"
#include "platform/media_assets.h"

namespace vexal::MetadataService {
namespace {

using platform::CommonKey;
using platform::MediaItem;
namespace Id = platform::MediaIdentifier;

const MediaItem* firstItem(const std::vector<MediaItem>& items, std::string_view identifier) {
  for (const auto& item : items) {
    if (item.identifier == identifier) return &item;
  }
  return nullptr;
}

// Appends `value` to the joined values of `field`, unless it is there already.
void appendValue(std::string& field, const std::string& value) {
  const auto present = AudioMetadata::values(field);
  if (std::ranges::find(present, value) != present.end()) return;
  field += AudioMetadata::kValueSeparator;
  field += value;
}

// The text of a field given by every item with `identifier`: several values joined.
// Absent when the first such item has no text.
std::optional<std::string> joinedText(const std::vector<MediaItem>& items,
                                      std::string_view identifier) {
  std::optional<std::string> text;
  bool first = true;
  for (const auto& item : items) {
    if (item.identifier != identifier) continue;
    if (first) {
      text = item.stringValue;
      first = false;
    } else if (text && item.stringValue && !item.stringValue->empty()) {
      appendValue(*text, *item.stringValue);
    }
  }
  return text;
}

WriteError failed(std::string description) {
  return WriteError{WriteError::Kind::exportFailed, std::move(description)};
}

// Copies `url` to a hidden file beside it, lets `tag` write into the copy and moves the
// copy over the original in one rename, so the original is never half-written.
template <typename Tag>
std::optional<WriteError> rewriteThroughTemporary(const std::filesystem::path& url,
                                                  std::string_view extension, Tag&& tag) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(url, error)) {
    return WriteError{WriteError::Kind::exporterUnavailable, {}};
  }
  const auto temporary =
      url.parent_path() / (".vexal-meta-" + Uuid::random().toString() + std::string(extension));
  auto discard = [&] {
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
  };
  if (!std::filesystem::copy_file(url, temporary, error)) {
    discard();
    return failed("could not copy " + url.filename().string() + ": " + error.message());
  }
  if (auto reason = tag(temporary)) {
    discard();
    return failed(*reason);
  }
  std::filesystem::rename(temporary, url, error);
  if (error) {
    discard();
    return failed("could not replace " + url.filename().string() + ": " + error.message());
  }
  return std::nullopt;
}

std::optional<std::string> discTotal(const AudioMetadata& metadata) {
  const auto found = metadata.properties.find("DISCTOTAL");
  if (found == metadata.properties.end() || found->second.empty()) return std::nullopt;
  return found->second.front();
}

// "3/12", or "3" without a total.
std::string numberOfTotal(std::int64_t number, const std::optional<std::string>& total) {
  return std::to_string(number) + (total ? "/" + *total : std::string());
}

// The properties ID3v2 and MP4 files hold beside the record's fields: the disc total is
// part of their disc number.
TagProperties otherProperties(const AudioMetadata& metadata) {
  TagProperties properties = metadata.properties;
  if (metadata.discNumber) properties.erase("DISCTOTAL");
  return properties;
}

std::vector<MediaItem> m4aItems(const AudioMetadata& metadata) {
  std::vector<MediaItem> items;
  auto text = [&](std::string_view identifier, const std::optional<std::string>& value) {
    if (!value || value->empty()) return;
    items.push_back(MediaItem{.identifier = std::string(identifier), .stringValue = *value});
  };
  // Track and disc numbers carry their total as "3/12".
  auto number = [&](std::string_view identifier, const std::optional<std::int64_t>& value,
                    const std::optional<std::string>& total) {
    if (!value) return;
    items.push_back(MediaItem{.identifier = std::string(identifier),
                              .stringValue = numberOfTotal(*value, total),
                              .numberValue = *value});
  };
  text(Id::iTunesSongName, metadata.title);
  text(Id::iTunesArtist, metadata.artist);
  text(Id::iTunesAlbum, metadata.album);
  text(Id::iTunesAlbumArtist, metadata.albumArtist);
  text(Id::iTunesUserGenre, metadata.genre);
  text(Id::iTunesComposer, metadata.composer);
  text(Id::iTunesReleaseDate, metadata.dateText());
  number(Id::iTunesTrackNumber, metadata.trackNumber,
         metadata.trackTotal ? std::optional(std::to_string(*metadata.trackTotal)) : std::nullopt);
  number(Id::iTunesDiscNumber, metadata.discNumber, discTotal(metadata));
  if (metadata.artwork && !metadata.artwork->empty()) {
    items.push_back(MediaItem{.commonKey = CommonKey::artwork,
                              .identifier = std::string(Id::iTunesCoverArt),
                              .dataValue = *metadata.artwork});
  }
  return items;
}

// ReplayGain 2.0 plays at -18 LUFS; Opus's R128 gains are relative to -23 LUFS.
constexpr double kReplayGainReference = -18.0;
constexpr double kR128Reference = -23.0;

// Fixed-point text whatever the process's locale ("-6.52", never "-6,52" or "-0.00").
std::string fixed(double value, int decimals) {
  const double scale = std::pow(10.0, decimals);
  value = std::round(value * scale) / scale;
  if (value == 0.0) value = 0.0;  // -0.0 reads as 0
  char text[64];
  const auto written = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
  return std::string(text, written.ptr);
}

// Q7.8 gain for Opus, saturated to the 16 bits the field holds.
std::string q78(double db) {
  const long value = std::lround(std::clamp(db * 256.0, -32768.0, 32767.0));
  return std::to_string(value);
}

}  // namespace

std::vector<std::pair<std::string, std::string>> replayGainFields(const ReplayGainTags& tags,
                                                                  OutputFormat format) {
  std::vector<std::pair<std::string, std::string>> fields;
  if (!holdsReplayGain(format)) return fields;
  if (format == OutputFormat::opus) {
    if (tags.track) fields.emplace_back("R128_TRACK_GAIN", q78(kR128Reference - tags.track->lufs));
    if (tags.album) fields.emplace_back("R128_ALBUM_GAIN", q78(kR128Reference - tags.album->lufs));
    return fields;
  }
  const bool mp4 = format == OutputFormat::aac || format == OutputFormat::alac;
  auto add = [&](std::string_view scope, const GainMeasure& measure) {
    for (const auto& [what, text] :
         {std::pair{std::string_view("GAIN"), fixed(kReplayGainReference - measure.lufs, 2) + " dB"},
          std::pair{std::string_view("PEAK"), fixed(measure.peak, 6)}}) {
      std::string name = "REPLAYGAIN_" + std::string(scope) + "_" + std::string(what);
      if (mp4) {
        std::ranges::transform(name, name.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; });
        name = "----:com.apple.iTunes:" + name;
      }
      fields.emplace_back(std::move(name), text);
    }
  };
  if (tags.track) add("TRACK", *tags.track);
  if (tags.album) add("ALBUM", *tags.album);
  return fields;
}

std::optional<WriteError> writeReplayGain(const ReplayGainTags& tags, OutputFormat format,
                                          const std::filesystem::path& url) {
  const auto fields = replayGainFields(tags, format);
  if (fields.empty()) return std::nullopt;
  return rewriteThroughTemporary(url, url.extension().string(),
                                 [&](const std::filesystem::path& temporary) {
                                   return platform::setUserTextFields(temporary, fields);
                                 });
}

std::optional<std::int64_t> parseInteger(std::string_view text) {
  return parseDecimalInteger(text);
}

void parseNumberAndTotal(std::string_view text, AudioMetadata& metadata) {
  std::vector<std::string_view> pieces;
  while (!text.empty()) {
    const auto slash = text.find('/');
    const auto piece = text.substr(0, slash);
    if (!piece.empty()) pieces.push_back(piece);
    if (slash == std::string_view::npos) break;
    text.remove_prefix(slash + 1);
  }
  metadata.trackNumber = pieces.empty() ? std::nullopt : parseInteger(pieces[0]);
  if (pieces.size() >= 2) metadata.trackTotal = parseInteger(pieces[1]);
}

AudioMetadata metadataFromItems(const std::vector<MediaItem>& items) {
  AudioMetadata metadata;
  // Common keys: a later item replaces an earlier one, even with an absent value, except
  // that the next value of the same field (a second ARTIST comment) is joined to it.
  std::map<CommonKey, std::string_view> setBy;
  auto set = [&](std::optional<std::string>& field, const MediaItem& item) {
    const auto previous = setBy.find(*item.commonKey);
    if (previous != setBy.end() && previous->second == item.identifier && field &&
        item.stringValue) {
      if (field->empty()) {
        field = item.stringValue;
      } else if (!item.stringValue->empty()) {
        appendValue(*field, *item.stringValue);
      }
    } else {
      field = item.stringValue;
    }
    setBy[*item.commonKey] = item.identifier;
  };
  for (const auto& item : items) {
    if (!item.commonKey) continue;
    switch (*item.commonKey) {
      case CommonKey::title:
        set(metadata.title, item);
        break;
      case CommonKey::artist:
        set(metadata.artist, item);
        break;
      case CommonKey::albumName:
        set(metadata.album, item);
        break;
      case CommonKey::artwork:
        metadata.artwork = item.dataValue;
        break;
      case CommonKey::creator:
        set(metadata.composer, item);
        break;
    }
  }

  if (const auto* track = firstItem(items, Id::iTunesTrackNumber)) {
    if (track->stringValue) {
      parseNumberAndTotal(*track->stringValue, metadata);
    } else if (track->numberValue) {
      metadata.trackNumber = track->numberValue;
    }
  }
  if (const auto* disc = firstItem(items, Id::iTunesDiscNumber); disc && disc->numberValue) {
    metadata.discNumber = disc->numberValue;
  }
  metadata.genre = joinedText(items, Id::iTunesUserGenre);
  if (!metadata.genre) metadata.genre = joinedText(items, Id::id3ContentType);
  if (!metadata.trackNumber) {
    if (const auto* track = firstItem(items, Id::id3TrackNumber)) {
      parseNumberAndTotal(track->stringValue.value_or(""), metadata);
    }
  }
  metadata.albumArtist = joinedText(items, Id::iTunesAlbumArtist);
  if (const auto* date = firstItem(items, Id::iTunesReleaseDate); date && date->stringValue) {
    metadata.setDate(*date->stringValue);
  }
  if (!metadata.year) {
    if (const auto* year = firstItem(items, Id::id3Year); year && year->stringValue) {
      metadata.setDate(*year->stringValue);
    }
  }
  return metadata;
}

std::string WriteError::text() const {
  return kind == Kind::exporterUnavailable ? "no export session for the file" : description;
}

AudioMetadata readMetadata(const std::filesystem::path& url) {
  const auto tags = platform::loadFileTags(url);
  if (!tags) return {};
  auto metadata = metadataFromItems(tags->items);
  addOtherTags(metadata, *tags);
  return metadata;
}

// Sets `fields` in `temporary` after `write` succeeded there: one rewrite for tags and
// gains alike.
template <typename Write>
std::optional<std::string> thenGains(const std::filesystem::path& temporary, Write&& write,
                                     const std::vector<std::pair<std::string, std::string>>& fields) {
  if (auto failure = write()) return failure;
  if (fields.empty()) return std::nullopt;
  return platform::setUserTextFields(temporary, fields);
}

std::optional<WriteError> writeToM4A(const AudioMetadata& metadata,
                                     const std::filesystem::path& url, const ReplayGainTags& gains) {
  const auto items = m4aItems(metadata);
  const auto properties = otherProperties(metadata);
  const auto fields = replayGainFields(gains, OutputFormat::aac);  // AAC and ALAC alike
  return rewriteThroughTemporary(url, ".m4a", [&](const std::filesystem::path& temporary) {
    return thenGains(temporary, [&] { return platform::writeM4AItems(temporary, items, properties); },
                     fields);
  });
}

std::optional<WriteError> writeToFlac(const AudioMetadata& metadata,
                                      const std::filesystem::path& url, const ReplayGainTags& gains) {
  const auto pictures = storedPictures(metadata);
  const auto comments = commentFields(metadata);
  const auto fields = replayGainFields(gains, OutputFormat::flac);
  return rewriteThroughTemporary(url, ".flac", [&](const std::filesystem::path& temporary) {
    return thenGains(temporary, [&] { return platform::writeFlacTags(temporary, comments, pictures); },
                     fields);
  });
}

std::optional<WriteError> writeToMp3(const AudioMetadata& metadata,
                                     const std::filesystem::path& url, const ReplayGainTags& gains) {
  // LAME wrote the record's fields but a year for the date and no disc total.
  TagProperties properties = otherProperties(metadata);
  const auto date = metadata.dateText();
  if (date && metadata.year && *date != std::to_string(*metadata.year)) properties["DATE"] = {*date};
  if (const auto total = discTotal(metadata); total && metadata.discNumber) {
    properties["DISCNUMBER"] = {numberOfTotal(*metadata.discNumber, total)};
  }
  const auto pictures = storedPictures(metadata);
  const auto fields = replayGainFields(gains, OutputFormat::mp3);
  if (properties.empty() && pictures.empty()) {
    return fields.empty() ? std::nullopt : writeReplayGain(gains, OutputFormat::mp3, url);
  }
  return rewriteThroughTemporary(url, ".mp3", [&](const std::filesystem::path& temporary) {
    return thenGains(temporary, [&] { return platform::writeId3Tags(temporary, properties, pictures); },
                     fields);
  });
}

}  // namespace vexal::MetadataService
