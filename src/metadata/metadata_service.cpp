#include "metadata/metadata_service.h"

namespace vexal::MetadataService {

std::string WriteError::text() const {
  return kind == Kind::exporterUnavailable ? "no export session for the file" : description;
}

AudioMetadata readMetadata(const std::filesystem::path&) { return {}; }

std::optional<WriteError> writeToM4A(const AudioMetadata&, const std::filesystem::path&) {
  return WriteError{WriteError::Kind::exporterUnavailable, {}};
}

std::optional<WriteError> writeToFlac(const AudioMetadata&, const std::filesystem::path&) {
  return WriteError{WriteError::Kind::exporterUnavailable, {}};
}

}  // namespace vexal::MetadataService
