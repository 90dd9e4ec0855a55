#pragma once

// The tag library's property vocabulary on its own types, private to the platform layer
// (it names TagLib types, which only this layer links).

#include <taglib/id3v2tag.h>
#include <taglib/mp4tag.h>
#include <taglib/tfile.h>

#include "model/audio_metadata.h"

namespace vexal::platform::taglib {

// Every text tag of `file` by property name: TagLib's own mapping, plus the MP4 freeform
// items it has no name for, under their own name in upper case.
TagProperties propertiesOf(TagLib::File& file);

// Sets `properties` on `tag`, each replacing what the tag held under its name, every
// other frame kept. `majorVersion` is the version the tag will be saved as: frames only
// version 2.4 knows are written as TXXX frames of their property name in a 2.3 tag.
void setId3Properties(TagLib::ID3v2::Tag& tag, const TagProperties& properties, int majorVersion);

// Sets `properties` on `tag` through TagLib's MP4 names, each replacing what the tag held
// under its name; a key without an atom becomes a "----:com.apple.iTunes:<KEY>" item.
void setMp4Properties(TagLib::MP4::Tag& tag, const TagProperties& properties);

}  // namespace vexal::platform::taglib
