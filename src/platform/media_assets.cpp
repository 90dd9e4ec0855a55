#include "platform/media_assets.h"

#include "model/audio_metadata.h"
#include "model/decimal.h"
#include "platform/taglib_properties.h"

#include <taglib/aifffile.h>
#include <taglib/apefile.h>
#include <taglib/apetag.h>
#include <taglib/asffile.h>
#include <taglib/asftag.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/fileref.h>
#include <taglib/flacfile.h>
#include <taglib/flacpicture.h>
#include <taglib/id3v1genres.h>
#include <taglib/id3v1tag.h>
#include <taglib/id3v2header.h>
#include <taglib/id3v2tag.h>
#include <taglib/infotag.h>
#include <taglib/mp4file.h>
#include <taglib/mp4tag.h>
#include <taglib/mpegfile.h>
#include <taglib/oggfile.h>
#include <taglib/textidentificationframe.h>
#include <taglib/tbytevectorstream.h>
#include <taglib/tdebuglistener.h>
#include <taglib/wavfile.h>
#include <taglib/xiphcomment.h>

#include <algorithm>
#include <charconv>
#include <map>
#include <memory>
#include <mutex>

namespace vexal::platform {
namespace {

namespace Id = MediaIdentifier;

constexpr std::uint32_t kBackCover = 4;  // ID3v2/FLAC picture type

int majorVersion(const TagLib::ID3v2::Tag& tag) {
  return static_cast<int>(tag.header()->majorVersion());
}

// TagLib prints its complaints about malformed files to stderr; the files are the
// user's and nothing else is logged, so they are dropped.
class SilentDebugListener : public TagLib::DebugListener {
 public:
  void printMessage(const TagLib::String&) override {}
};

void silenceTagLib() {
  static std::once_flag once;
  static SilentDebugListener listener;
  std::call_once(once, [] { TagLib::setDebugListener(&listener); });
}

std::string utf8(const TagLib::String& text) {
  return text.to8Bit(true);
}

std::vector<std::uint8_t> bytes(const TagLib::ByteVector& data) {
  return {reinterpret_cast<const std::uint8_t*>(data.data()),
          reinterpret_cast<const std::uint8_t*>(data.data()) + data.size()};
}

// Several values of one field in one text, as the tag record holds them.
std::string joined(const TagLib::StringList& values) {
  std::string text;
  for (const auto& value : values) {
    if (!text.empty()) text += AudioMetadata::kValueSeparator;
    text += utf8(value);
  }
  return text;
}

// ID3 genres given as ID3v1 genre numbers ("17", "(17)", "(17)Rock") by their names;
// TagLib has already split "(17)Rock" into its pieces. Repeated names count once.
std::string genreNames(const TagLib::StringList& values) {
  TagLib::StringList names;
  for (auto value : values) {
    if (value.startsWith("(") && value.find(")") > 1) {
      const int close = value.find(")");
      const auto rest = value.substr(close + 1);
      value = rest.isEmpty() ? value.substr(1, close - 1) : rest;
    }
    bool number = false;
    const int index = value.toInt(&number);
    if (number && index >= 0 && index <= 255 && !TagLib::ID3v1::genre(index).isEmpty()) {
      value = TagLib::ID3v1::genre(index);
    }
    if (!value.isEmpty() && std::find(names.begin(), names.end(), value) == names.end()) {
      names.append(value);
    }
  }
  return joined(names);
}

// The number before the first slash of "2/3" (empty pieces dropped).
std::optional<std::int64_t> leadingNumber(std::string_view text) {
  while (!text.empty() && text.front() == '/') text.remove_prefix(1);
  return parseDecimalInteger(text.substr(0, text.find('/')));
}

MediaItem textItem(std::string identifier, std::string value,
                   std::optional<CommonKey> key = std::nullopt) {
  MediaItem item;
  item.commonKey = key;
  item.identifier = std::move(identifier);
  item.stringValue = std::move(value);
  return item;
}

// A picture: an artwork item for the reader's passes, and the picture with its type.
void addPicture(FileTags& tags, std::string identifier, const TagLib::ByteVector& data,
                std::uint32_t type, const TagLib::String& description = {}) {
  MediaItem item;
  item.commonKey = CommonKey::artwork;
  item.identifier = std::move(identifier);
  item.dataValue = bytes(data);
  tags.items.push_back(std::move(item));
  // The types run to 20 (publisher logo); a larger one from a damaged tag means nothing.
  constexpr std::uint32_t kLastType = 20;
  tags.pictures.push_back(
      TagPicture{type <= kLastType ? type : TagPicture::kOther, utf8(description), bytes(data)});
}

// A disc number ("2" or "2/3") carries its number value as well.
MediaItem discItem(std::string value) {
  auto item = textItem(std::string(Id::iTunesDiscNumber), std::move(value));
  item.numberValue = leadingNumber(*item.stringValue);
  return item;
}


void addMp4(const TagLib::MP4::Tag& tag, FileTags& tags) {
  auto& items = tags.items;
  static const std::map<std::string, CommonKey> kCommon = {{"\u00A9nam", CommonKey::title},
                                                           {"\u00A9ART", CommonKey::artist},
                                                           {"\u00A9alb", CommonKey::albumName},
                                                           {"\u00A9wrt", CommonKey::creator},
                                                           {"covr", CommonKey::artwork}};
  for (const auto& [key, value] : tag.itemMap()) {
    const std::string atom = utf8(key);
    const std::string identifier = "itsk/" + atom;
    if (atom == "covr") {
      // MP4 covers have no type: the first is the front cover.
      for (const auto& cover : value.toCoverArtList()) {
        addPicture(tags, identifier, cover.data(),
                   tags.pictures.empty() ? TagPicture::kFrontCover : TagPicture::kOther);
      }
      continue;
    }
    MediaItem item;
    if (const auto common = kCommon.find(atom); common != kCommon.end()) {
      item.commonKey = common->second;
    }
    item.identifier = identifier;
    if (atom == "trkn" || atom == "disk") {
      const auto pair = value.toIntPair();
      item.numberValue = pair.first;
      item.stringValue = std::to_string(pair.first);
      if (pair.second > 0) *item.stringValue += "/" + std::to_string(pair.second);
    } else if (const auto strings = value.toStringList(); !strings.isEmpty()) {
      item.stringValue = joined(strings);
    } else if (const auto data = value.toByteVectorList(); !data.isEmpty()) {
      item.dataValue = bytes(data.front());
    } else if (value.atomDataType() == TagLib::MP4::TypeInteger) {
      item.numberValue = value.toLongLong();
    }
    items.push_back(std::move(item));
  }
}

void addId3v2(const TagLib::ID3v2::Tag& tag, FileTags& tags) {
  auto& items = tags.items;
  for (const auto* frame : tag.frameList()) {
    const std::string id(frame->frameID().data(), frame->frameID().size());
    if (id == "APIC") {
      if (const auto* picture = dynamic_cast<const TagLib::ID3v2::AttachedPictureFrame*>(frame)) {
        addPicture(tags, "id3/APIC", picture->picture(), picture->type(), picture->description());
      }
      continue;
    }
    // A version 2.4 frame may hold several values (TagLib would run them together with a
    // blank); they are joined as the record joins them.
    const auto* textFrame = dynamic_cast<const TagLib::ID3v2::TextIdentificationFrame*>(frame);
    const std::string text = textFrame && id != "TXXX" ? joined(textFrame->fieldList())
                                                       : utf8(frame->toString());
    if (id == "TIT2") {
      items.push_back(textItem("id3/TIT2", text, CommonKey::title));
    } else if (id == "TPE1") {
      items.push_back(textItem("id3/TPE1", text, CommonKey::artist));
    } else if (id == "TALB") {
      items.push_back(textItem("id3/TALB", text, CommonKey::albumName));
    } else if (id == "TCOM") {
      items.push_back(textItem("id3/TCOM", text, CommonKey::creator));
    } else if (id == "TCON") {
      items.push_back(textItem(std::string(Id::id3ContentType),
                               textFrame ? genreNames(textFrame->fieldList()) : text));
    } else if (id == "TRCK") {
      items.push_back(textItem(std::string(Id::id3TrackNumber), text));
    } else if (id == "TYER" || id == "TDRC") {
      // A version 2.4 TDRC is a timestamp ("2004-05-17") like the iTunes release date; a
      // version 2.3 TYER is a bare year (TagLib renames it TDRC while reading).
      const bool timestamp = id == "TDRC" && majorVersion(tag) >= 4;
      items.push_back(textItem(std::string(timestamp ? Id::iTunesReleaseDate : Id::id3Year), text));
    } else if (id == "TPE2") {
      items.push_back(textItem(std::string(Id::iTunesAlbumArtist), text));
    } else if (id == "TPOS") {
      items.push_back(discItem(text));
    } else {
      items.push_back(textItem("id3/" + id, text));
    }
  }
}

// Xiph comments, APE items, ASF attributes and RIFF INFO chunks are all key/value tags;
// each family names the fields differently, and this table says which name is which.
enum class FieldRole { title, artist, album, composer, track, disc, genre, albumArtist, date };

struct KeyedFamily {
  std::string_view prefix;
  std::map<std::string_view, FieldRole> roles;
};

const KeyedFamily kXiphFamily{
    "xiph/",
    {{"TITLE", FieldRole::title}, {"ARTIST", FieldRole::artist}, {"ALBUM", FieldRole::album},
     {"COMPOSER", FieldRole::composer}, {"TRACKNUMBER", FieldRole::track},
     {"DISCNUMBER", FieldRole::disc}, {"GENRE", FieldRole::genre},
     {"ALBUMARTIST", FieldRole::albumArtist}, {"ALBUM ARTIST", FieldRole::albumArtist},
     {"DATE", FieldRole::date}}};
const KeyedFamily kApeFamily{
    "ape/",
    {{"TITLE", FieldRole::title}, {"ARTIST", FieldRole::artist}, {"ALBUM", FieldRole::album},
     {"COMPOSER", FieldRole::composer}, {"TRACK", FieldRole::track}, {"DISC", FieldRole::disc},
     {"GENRE", FieldRole::genre}, {"ALBUMARTIST", FieldRole::albumArtist},
     {"ALBUM ARTIST", FieldRole::albumArtist}, {"YEAR", FieldRole::date}}};
const KeyedFamily kAsfFamily{
    "asf/",
    {{"WM/AlbumTitle", FieldRole::album}, {"WM/Composer", FieldRole::composer},
     {"WM/TrackNumber", FieldRole::track}, {"WM/PartOfSet", FieldRole::disc},
     {"WM/Genre", FieldRole::genre}, {"WM/AlbumArtist", FieldRole::albumArtist},
     {"WM/Year", FieldRole::date}}};
const KeyedFamily kInfoFamily{
    "riff/",
    {{"INAM", FieldRole::title}, {"IART", FieldRole::artist}, {"IPRD", FieldRole::album},
     {"ITRK", FieldRole::track}, {"IPRT", FieldRole::track}, {"IGNR", FieldRole::genre},
     {"ICRD", FieldRole::date}}};

// Common fields keep the family's own identifier with a common key; the rest are
// presented under the MP4 identifiers the reader looks up.
MediaItem keyedTextItem(const KeyedFamily& family, const std::string& name, std::string text) {
  const std::string ownIdentifier = std::string(family.prefix) + name;
  const auto role = family.roles.find(name);
  if (role == family.roles.end()) return textItem(ownIdentifier, std::move(text));
  switch (role->second) {
    case FieldRole::title: return textItem(ownIdentifier, std::move(text), CommonKey::title);
    case FieldRole::artist: return textItem(ownIdentifier, std::move(text), CommonKey::artist);
    case FieldRole::album: return textItem(ownIdentifier, std::move(text), CommonKey::albumName);
    case FieldRole::composer: return textItem(ownIdentifier, std::move(text), CommonKey::creator);
    case FieldRole::track: return textItem(std::string(Id::iTunesTrackNumber), std::move(text));
    case FieldRole::disc: return discItem(std::move(text));
    case FieldRole::genre: return textItem(std::string(Id::iTunesUserGenre), std::move(text));
    case FieldRole::albumArtist:
      return textItem(std::string(Id::iTunesAlbumArtist), std::move(text));
    case FieldRole::date: return textItem(std::string(Id::iTunesReleaseDate), std::move(text));
  }
  return textItem(ownIdentifier, std::move(text));
}

void addXiph(TagLib::Ogg::XiphComment& comment, FileTags& tags) {
  auto& items = tags.items;
  const auto& fields = comment.fieldListMap();
  std::optional<std::string> trackTotal;
  for (const char* totalKey : {"TRACKTOTAL", "TOTALTRACKS"}) {
    if (const auto total = fields.find(totalKey);
        !trackTotal && total != fields.end() && !total->second.isEmpty()) {
      trackTotal = utf8(total->second.front());
    }
  }
  for (const auto& [key, values] : fields) {
    const std::string name = utf8(key);
    for (const auto& value : values) {
      std::string text = utf8(value);
      // A separate TRACKTOTAL joins the number as "3/12", the form the reader parses.
      if (name == "TRACKNUMBER" && text.find('/') == std::string::npos && trackTotal) {
        text += "/" + *trackTotal;
      }
      items.push_back(keyedTextItem(kXiphFamily, name, std::move(text)));
    }
  }
  for (const auto* picture : comment.pictureList()) {
    addPicture(tags, "xiph/METADATA_BLOCK_PICTURE", picture->data(), picture->type(),
               picture->description());
  }
}

std::string asfText(const TagLib::ASF::Attribute& attribute) {
  switch (attribute.type()) {
    case TagLib::ASF::Attribute::UnicodeType:
      return utf8(attribute.toString());
    case TagLib::ASF::Attribute::DWordType:
      return std::to_string(attribute.toUInt());
    case TagLib::ASF::Attribute::QWordType:
      return std::to_string(attribute.toULongLong());
    case TagLib::ASF::Attribute::WordType:
      return std::to_string(attribute.toUShort());
    default:
      return {};
  }
}

void addAsf(const TagLib::ASF::Tag& tag, FileTags& tags) {
  auto& items = tags.items;
  if (!tag.title().isEmpty()) {
    items.push_back(textItem("asf/Title", utf8(tag.title()), CommonKey::title));
  }
  if (!tag.artist().isEmpty()) {
    items.push_back(textItem("asf/Author", utf8(tag.artist()), CommonKey::artist));
  }
  for (const auto& [key, attributes] : tag.attributeListMap()) {
    const std::string name = utf8(key);
    for (const auto& attribute : attributes) {
      if (name == "WM/Picture") {
        const auto picture = attribute.toPicture();
        if (picture.isValid()) {
          addPicture(tags, "asf/WM/Picture", picture.picture(), picture.type(),
                     picture.description());
        }
        continue;
      }
      items.push_back(keyedTextItem(kAsfFamily, name, asfText(attribute)));
    }
  }
}

void addApe(const TagLib::APE::Tag& tag, FileTags& tags) {
  auto& items = tags.items;
  for (const auto& [key, value] : tag.itemListMap()) {
    const std::string name = utf8(key.upper());
    if (value.type() == TagLib::APE::Item::Binary) {
      if (name.starts_with("COVER ART")) {
        // A file name, a NUL, then the image.
        const auto data = value.binaryData();
        const int nul = data.find('\0');
        const auto type = name == "COVER ART (FRONT)"  ? TagPicture::kFrontCover
                          : name == "COVER ART (BACK)" ? kBackCover
                                                       : TagPicture::kOther;
        if (nul >= 0) addPicture(tags, "ape/" + name, data.mid(nul + 1), type);
      }
      continue;
    }
    items.push_back(keyedTextItem(kApeFamily, name, joined(value.values())));
  }
}

void addInfo(const TagLib::RIFF::Info::Tag& tag, FileTags& tags) {
  auto& items = tags.items;
  for (const auto& [key, value] : tag.fieldListMap()) {
    const std::string name(key.data(), key.size());
    items.push_back(keyedTextItem(kInfoFamily, name, utf8(value)));
  }
}

// Tags known only through TagLib's common interface (ID3v1, tracker modules, ...). Only
// the fields no richer tag of the file already gave are added: an MP3's ID3v1 tag fills
// what its ID3v2 or APE tag lacks (FFmpeg writes an ID3v2 tag holding just the encoder).
void addGeneric(const TagLib::Tag& tag, FileTags& tags) {
  auto& items = tags.items;
  auto has = [&](std::optional<CommonKey> key, std::initializer_list<std::string_view> ids) {
    return std::any_of(items.begin(), items.end(), [&](const MediaItem& item) {
      return (key && item.commonKey == key) ||
             std::find(ids.begin(), ids.end(), item.identifier) != ids.end();
    });
  };
  auto add = [&](std::optional<CommonKey> key, std::initializer_list<std::string_view> ids,
                 std::string identifier, const std::string& value) {
    if (!value.empty() && !has(key, ids)) items.push_back(textItem(identifier, value, key));
  };
  add(CommonKey::title, {}, "tag/title", utf8(tag.title()));
  add(CommonKey::artist, {}, "tag/artist", utf8(tag.artist()));
  add(CommonKey::albumName, {}, "tag/album", utf8(tag.album()));
  add(std::nullopt, {Id::iTunesUserGenre, Id::id3ContentType}, std::string(Id::iTunesUserGenre),
      utf8(tag.genre()));
  add(std::nullopt, {Id::iTunesReleaseDate, Id::id3Year}, std::string(Id::iTunesReleaseDate),
      tag.year() > 0 ? std::to_string(tag.year()) : "");
  add(std::nullopt, {Id::iTunesTrackNumber, Id::id3TrackNumber},
      std::string(Id::iTunesTrackNumber), tag.track() > 0 ? std::to_string(tag.track()) : "");
}

FileTags tagsOf(TagLib::File& file) {
  FileTags tags;
  if (auto* mpeg = dynamic_cast<TagLib::MPEG::File*>(&file)) {
    if (mpeg->hasID3v2Tag()) addId3v2(*mpeg->ID3v2Tag(), tags);
    if (mpeg->hasAPETag()) addApe(*mpeg->APETag(), tags);
    if (mpeg->hasID3v1Tag()) addGeneric(*mpeg->ID3v1Tag(), tags);
  } else if (auto* mp4 = dynamic_cast<TagLib::MP4::File*>(&file)) {
    if (mp4->tag()) addMp4(*mp4->tag(), tags);
  } else if (auto* flac = dynamic_cast<TagLib::FLAC::File*>(&file)) {
    if (flac->hasXiphComment()) addXiph(*flac->xiphComment(), tags);
    for (const auto* picture : flac->pictureList()) {
      addPicture(tags, "flac/PICTURE", picture->data(), picture->type(), picture->description());
    }
    if (flac->hasID3v2Tag()) addId3v2(*flac->ID3v2Tag(), tags);
  } else if (auto* asf = dynamic_cast<TagLib::ASF::File*>(&file)) {
    if (asf->tag()) addAsf(*asf->tag(), tags);
  } else if (auto* aiff = dynamic_cast<TagLib::RIFF::AIFF::File*>(&file)) {
    if (aiff->hasID3v2Tag()) addId3v2(*aiff->tag(), tags);
  } else if (auto* wav = dynamic_cast<TagLib::RIFF::WAV::File*>(&file)) {
    if (wav->hasID3v2Tag()) addId3v2(*wav->ID3v2Tag(), tags);
    if (wav->hasInfoTag()) addInfo(*wav->InfoTag(), tags);
  } else if (auto* ape = dynamic_cast<TagLib::APE::File*>(&file)) {
    if (ape->hasAPETag()) addApe(*ape->APETag(), tags);
  } else if (auto* xiph = dynamic_cast<TagLib::Ogg::XiphComment*>(file.tag())) {
    // Ogg Vorbis, Opus, Speex and FLAC.
    addXiph(*xiph, tags);
  } else if (file.tag()) {
    addGeneric(*file.tag(), tags);
  }
  tags.properties = taglib::propertiesOf(file);
  return tags;
}

std::optional<FileTags> load(const TagLib::FileRef& ref) {
  if (ref.isNull() || !ref.file()->isValid()) return std::nullopt;
  return tagsOf(*ref.file());
}

// Runs a TagLib write; TagLib's complaints are silenced and what it throws becomes the
// reason returned.
template <typename Write>
std::optional<std::string> guardedWrite(Write&& write) {
  silenceTagLib();
  try {
    return write();
  } catch (const std::exception& error) {
    return std::string(error.what());
  } catch (...) {
    return "the tags could not be written";
  }
}

TagLib::MP4::CoverArt::Format coverFormat(const std::vector<std::uint8_t>& data) {
  auto starts = [&](std::initializer_list<std::uint8_t> magic) {
    return data.size() >= magic.size() && std::equal(magic.begin(), magic.end(), data.begin());
  };
  if (starts({0xFF, 0xD8, 0xFF})) return TagLib::MP4::CoverArt::JPEG;
  if (starts({0x89, 'P', 'N', 'G'})) return TagLib::MP4::CoverArt::PNG;
  if (starts({'G', 'I', 'F', '8'})) return TagLib::MP4::CoverArt::GIF;
  if (starts({'B', 'M'})) return TagLib::MP4::CoverArt::BMP;
  return TagLib::MP4::CoverArt::Unknown;  // raw data
}

TagLib::ByteVector byteVector(const std::vector<std::uint8_t>& data) {
  return {reinterpret_cast<const char*>(data.data()), static_cast<unsigned int>(data.size())};
}

// Saves an MP3 file's ID3v2 tag in the version it has (LAME writes 2.3); the ID3v1 tag
// and the audio are left as they are.
std::optional<std::string> saveId3v2(TagLib::MPEG::File& file) {
  const auto version =
      majorVersion(*file.ID3v2Tag(true)) == 3 ? TagLib::ID3v2::v3 : TagLib::ID3v2::v4;
  if (!file.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripNone, version,
                 TagLib::File::DoNotDuplicate)) {
    return "the tags could not be saved";
  }
  return std::nullopt;
}

}  // namespace

std::optional<FileTags> loadFileTags(const std::filesystem::path& url) {
  silenceTagLib();
  try {
    std::error_code error;
    if (!std::filesystem::is_regular_file(url, error)) return std::nullopt;
    const TagLib::FileRef ref(url.c_str(), false);
    return load(ref);
  } catch (...) {
    // Out of memory on an absurd size field, or anything else TagLib lets escape.
    return std::nullopt;
  }
}

std::optional<FileTags> loadFileTags(std::span<const std::uint8_t> data) {
  silenceTagLib();
  try {
    TagLib::ByteVector buffer(reinterpret_cast<const char*>(data.data()),
                              static_cast<unsigned int>(data.size()));
    TagLib::ByteVectorStream stream(buffer);
    const TagLib::FileRef ref(&stream, false);
    return load(ref);
  } catch (...) {
    return std::nullopt;
  }
}

std::vector<MediaItem> metadataItems(const std::vector<MediaItem>& items,
                                     std::string_view identifier) {
  std::vector<MediaItem> found;
  for (const auto& item : items) {
    if (item.identifier == identifier) found.push_back(item);
  }
  return found;
}

std::optional<std::string> writeM4AItems(const std::filesystem::path& url,
                                         const std::vector<MediaItem>& items,
                                         const TagProperties& properties) {
  return guardedWrite([&]() -> std::optional<std::string> {
    TagLib::MP4::File file(url.c_str(), false);
    if (!file.isValid() || !file.tag()) return "not a readable MPEG-4 file";
    auto* tag = file.tag();
    // Exactly the given tags: every item the file had goes, freeform ones included.
    const auto existing = tag->itemMap();
    for (const auto& [key, value] : existing) tag->removeItem(key);
    taglib::setMp4Properties(*tag, properties);
    for (const auto& item : items) {
      std::string_view atom = item.identifier;
      if (!atom.starts_with("itsk/")) continue;
      atom.remove_prefix(5);
      const TagLib::String key(std::string(atom), TagLib::String::UTF8);
      if (item.dataValue) {
        TagLib::MP4::CoverArtList covers;
        covers.append(
            TagLib::MP4::CoverArt(coverFormat(*item.dataValue), byteVector(*item.dataValue)));
        tag->setItem(key, TagLib::MP4::Item(covers));
      } else if (item.numberValue) {
        const int number = static_cast<int>(*item.numberValue);
        if (atom == "trkn" || atom == "disk") {
          // "3/12": number 3 of 12.
          const auto slash = item.stringValue ? item.stringValue->find('/') : std::string::npos;
          const auto total = slash == std::string::npos
                                 ? std::nullopt
                                 : parseDecimalInteger(item.stringValue->substr(slash + 1));
          tag->setItem(key, TagLib::MP4::Item(number, static_cast<int>(total.value_or(0))));
        } else {
          tag->setItem(key, TagLib::MP4::Item(number));
        }
      } else if (item.stringValue) {
        tag->setItem(key, TagLib::MP4::Item(TagLib::StringList(
                              TagLib::String(*item.stringValue, TagLib::String::UTF8))));
      }
    }
    if (!file.save()) return "the tags could not be saved";
    return std::nullopt;
  });
}

std::optional<std::string> writeFlacTags(
    const std::filesystem::path& url,
    const std::vector<std::pair<std::string, std::string>>& comments,
    const std::vector<StoredPicture>& pictures) {
  return guardedWrite([&]() -> std::optional<std::string> {
    TagLib::FLAC::File file(url.c_str(), false);
    if (!file.isValid()) return "not a readable FLAC file";
    auto* comment = file.xiphComment(true);
    comment->removeAllFields();
    comment->removeAllPictures();
    file.removePictures();
    for (const auto& [key, value] : comments) {
      comment->addField(TagLib::String(key, TagLib::String::UTF8),
                        TagLib::String(value, TagLib::String::UTF8), false);
    }
    for (const auto& picture : pictures) {
      auto block = std::make_unique<TagLib::FLAC::Picture>();
      block->setType(static_cast<TagLib::FLAC::Picture::Type>(picture.type));
      block->setDescription(TagLib::String(picture.description, TagLib::String::UTF8));
      block->setMimeType(TagLib::String(picture.mimeType, TagLib::String::UTF8));
      block->setData(byteVector(picture.data));
      block->setWidth(static_cast<int>(picture.width));
      block->setHeight(static_cast<int>(picture.height));
      block->setColorDepth(static_cast<int>(picture.colorDepth));
      file.addPicture(block.release());  // the file owns its pictures
    }
    if (!file.save()) return "the tags could not be saved";
    return std::nullopt;
  });
}

std::optional<std::string> writeId3Tags(const std::filesystem::path& url,
                                        const TagProperties& properties,
                                        const std::vector<StoredPicture>& pictures) {
  return guardedWrite([&]() -> std::optional<std::string> {
    TagLib::MPEG::File file(url.c_str(), false);
    if (!file.isValid()) return "not a readable MP3 file";
    auto* tag = file.ID3v2Tag(true);
    taglib::setId3Properties(*tag, properties, majorVersion(*tag));
    tag->removeFrames("APIC");
    for (const auto& picture : pictures) {
      auto frame = std::make_unique<TagLib::ID3v2::AttachedPictureFrame>();
      frame->setTextEncoding(TagLib::String::UTF16);  // the description may be any text
      frame->setType(static_cast<TagLib::ID3v2::AttachedPictureFrame::Type>(picture.type));
      frame->setDescription(TagLib::String(picture.description, TagLib::String::UTF8));
      frame->setMimeType(TagLib::String(picture.mimeType, TagLib::String::UTF8));
      frame->setPicture(byteVector(picture.data));
      tag->addFrame(frame.release());  // the tag owns its frames
    }
    return saveId3v2(file);
  });
}

std::optional<std::string> setUserTextFields(
    const std::filesystem::path& url, const std::vector<std::pair<std::string, std::string>>& fields) {
  auto text = [](const std::string& value) { return TagLib::String(value, TagLib::String::UTF8); };
  return guardedWrite([&]() -> std::optional<std::string> {
    TagLib::FileRef ref(url.c_str(), false);
    TagLib::File* file = ref.file();
    if (!file || !file->isValid()) return "not a readable audio file";
    auto setXiph = [&](TagLib::Ogg::XiphComment* comment) {
      for (const auto& [name, value] : fields) comment->addField(text(name), text(value), true);
    };
    if (auto* mpeg = dynamic_cast<TagLib::MPEG::File*>(file)) {
      auto* tag = mpeg->ID3v2Tag(true);
      for (const auto& [name, value] : fields) {
        while (auto* old = TagLib::ID3v2::UserTextIdentificationFrame::find(tag, text(name))) {
          tag->removeFrame(old);
        }
        auto frame = std::make_unique<TagLib::ID3v2::UserTextIdentificationFrame>(TagLib::String::Latin1);
        frame->setDescription(text(name));
        frame->setText(text(value));
        tag->addFrame(frame.release());  // the tag owns its frames
      }
      return saveId3v2(*mpeg);
    }
    if (auto* mp4 = dynamic_cast<TagLib::MP4::File*>(file)) {
      if (!mp4->tag()) return "not a readable MPEG-4 file";
      for (const auto& [name, value] : fields) {
        mp4->tag()->setItem(text(name), TagLib::MP4::Item(TagLib::StringList(text(value))));
      }
    } else if (auto* flac = dynamic_cast<TagLib::FLAC::File*>(file)) {
      setXiph(flac->xiphComment(true));
    } else if (auto* ogg = dynamic_cast<TagLib::Ogg::File*>(file)) {
      auto* comment = dynamic_cast<TagLib::Ogg::XiphComment*>(ogg->tag());
      if (!comment) return "no comment header";
      setXiph(comment);
    } else {
      return "the format holds no such tags";
    }
    if (!file->save()) return "the tags could not be saved";
    return std::nullopt;
  });
}

}  // namespace vexal::platform
