#include <taglib/commentsframe.h>
#include <taglib/mp4file.h>
#include <taglib/textidentificationframe.h>
#include <taglib/tpropertymap.h>
#include <taglib/uniquefileidentifierframe.h>
#include <taglib/unsynchronizedlyricsframe.h>

#include <algorithm>
#include <array>
#include <memory>
#include <string_view>

#include "platform/media_assets.h"
#include "platform/taglib_properties.h"

namespace vexal::platform {
namespace {

// The prefix of the MP4 freeform items taggers share ("----:mean:name").
constexpr std::string_view kFreeformPrefix = "----:com.apple.iTunes:";

// Frames version 2.3 does not have: saving a 2.3 tag drops them or cuts them down to a
// year (TDOR to TORY), so their values go into TXXX frames there.
constexpr std::array<std::string_view, 7> kVersion4Frames = {"TDOR", "TDRL", "TMOO", "TSST",
                                                             "TDEN", "TDTG", "TPRO"};

std::string utf8(const TagLib::String& text) {
  return text.to8Bit(true);
}

TagLib::String text(std::string_view value) {
  return TagLib::String(std::string(value), TagLib::String::UTF8);
}

TagLib::StringList textList(const std::vector<std::string>& values) {
  TagLib::StringList list;
  for (const auto& value : values) list.append(text(value));
  return list;
}

void append(TagProperties& properties, const std::string& key, const TagLib::StringList& values) {
  for (const auto& value : values) {
    if (!value.isEmpty()) properties[key].push_back(utf8(value));
  }
}

// The frame TagLib makes for a property, by the ID its writer would give it.
std::string frameIdFor(const TagLib::String& key, const TagLib::StringList& values) {
  const std::unique_ptr<TagLib::ID3v2::Frame> frame(
      TagLib::ID3v2::Frame::createTextualFrame(key, values));
  if (!frame) return {};
  return std::string(frame->frameID().data(), frame->frameID().size());
}

// "TXXX:<description>", "UFID:<owner>", "COMM" (with ":<description>" when it has
// one) or the bare frame ID.
std::string frameName(const TagLib::ID3v2::Frame& frame) {
  std::string name(frame.frameID().data(), frame.frameID().size());
  TagLib::String qualifier;
  if (const auto* user = dynamic_cast<const TagLib::ID3v2::UserTextIdentificationFrame*>(&frame)) {
    qualifier = user->description();
  } else if (const auto* id =
                 dynamic_cast<const TagLib::ID3v2::UniqueFileIdentifierFrame*>(&frame)) {
    qualifier = id->owner();
  } else if (const auto* comment = dynamic_cast<const TagLib::ID3v2::CommentsFrame*>(&frame)) {
    qualifier = comment->description();
  } else if (const auto* lyrics =
                 dynamic_cast<const TagLib::ID3v2::UnsynchronizedLyricsFrame*>(&frame)) {
    qualifier = lyrics->description();
  }
  return qualifier.isEmpty() ? name : name + ":" + utf8(qualifier);
}

}  // namespace

namespace taglib {

TagProperties propertiesOf(TagLib::File& file) {
  TagProperties properties;
  const TagLib::PropertyMap map = file.properties();
  for (const auto& [key, values] : map) append(properties, utf8(key), values);
  auto* mp4 = dynamic_cast<TagLib::MP4::File*>(&file);
  if (!mp4 || !mp4->tag()) return properties;
  for (const auto& atom : map.unsupportedData()) {
    const std::string name = utf8(atom);
    if (!name.starts_with(kFreeformPrefix)) continue;
    std::string key = name.substr(kFreeformPrefix.size());
    std::ranges::transform(key, key.begin(),
                           [](char c) { return c >= 'a' && c <= 'z' ? char(c - 32) : c; });
    if (key.empty() || properties.contains(key)) continue;
    append(properties, key, mp4->tag()->item(atom).toStringList());
  }
  return properties;
}

void setId3Properties(TagLib::ID3v2::Tag& tag, const TagProperties& properties, int majorVersion) {
  if (properties.empty()) return;
  TagLib::PropertyMap all = tag.properties();
  std::vector<std::pair<TagLib::String, TagLib::StringList>> userText;
  for (const auto& [key, values] : properties) {
    const TagLib::String name = text(key);
    const TagLib::StringList list = textList(values);
    if (majorVersion < 4 &&
        std::ranges::find(kVersion4Frames, frameIdFor(name, list)) != kVersion4Frames.end()) {
      all.erase(name);
      userText.emplace_back(name, list);
    } else {
      all.replace(name, list);
    }
  }
  // TagLib keeps the frames whose values are unchanged and remakes the others.
  tag.setProperties(all);
  for (const auto& [name, list] : userText) {
    while (auto* old = TagLib::ID3v2::UserTextIdentificationFrame::find(&tag, name))
      tag.removeFrame(old);
    tag.addFrame(new TagLib::ID3v2::UserTextIdentificationFrame(name, list));  // the tag owns it
  }
}

void setMp4Properties(TagLib::MP4::Tag& tag, const TagProperties& properties) {
  if (properties.empty()) return;
  TagLib::PropertyMap all = tag.properties();
  for (const auto& [key, values] : properties) all.replace(text(key), textList(values));
  const TagLib::PropertyMap ignored = tag.setProperties(all);
  for (const auto& [key, values] : properties) {
    if (ignored.contains(text(key))) {
      tag.setItem(text(std::string(kFreeformPrefix) + key), TagLib::MP4::Item(textList(values)));
    }
  }
}

}  // namespace taglib

PropertyPlacement placementOf(const std::string& property) {
  // The writers' own mapping applied to one value on empty tags.
  const TagProperties one{{property, {"1"}}};
  PropertyPlacement placement;
  TagLib::ID3v2::Tag id3;
  taglib::setId3Properties(id3, one, kMp3TagVersion);
  if (!id3.frameList().isEmpty()) {
    placement.mp3 = frameName(*id3.frameList().front());
    // Frames TagLib rewrites when it saves a version 2.3 tag.
    if (placement.mp3 == "TDRC") placement.mp3 = "TYER + TDAT";
    if (placement.mp3 == "TIPL" || placement.mp3 == "TMCL") placement.mp3 = "IPLS";
  }
  TagLib::MP4::Tag mp4;
  taglib::setMp4Properties(mp4, one);
  if (!mp4.itemMap().isEmpty()) placement.m4a = utf8(mp4.itemMap().begin()->first);
  return placement;
}

}  // namespace vexal::platform
