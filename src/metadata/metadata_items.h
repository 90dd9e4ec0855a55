#pragma once

// The tag reader's two passes over a media-asset item list, apart from the file access so
// that they can be checked on any item list.

#include <optional>
#include <string_view>
#include <vector>

#include "model/audio_metadata.h"
#include "platform/media_assets.h"

namespace vexal::MetadataService {

// The common-key pass, then the identifier pass with its fallbacks.
AudioMetadata metadataFromItems(const std::vector<platform::MediaItem>& items);

// Adds what the items do not give: the file's other properties (without the record's own
// and the file-specific ones; totals folded into DISCTOTAL) and its pictures (the front
// cover, else the first picture, as `artwork`, the rest beside it).
void addOtherTags(AudioMetadata& metadata, const platform::FileTags& tags);

// Plain decimal: an optional sign and ASCII digits, nothing else (no blanks).
std::optional<std::int64_t> parseInteger(std::string_view text);

// "number/total": sets trackNumber from the first non-empty piece (absent when there is
// none or it is not a number) and trackTotal from the second when there is one.
void parseNumberAndTotal(std::string_view text, AudioMetadata& metadata);

}  // namespace vexal::MetadataService
