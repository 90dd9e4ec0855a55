#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "model/audio_metadata.h"
#include "model/conversion_error.h"
#include "model/output_format.h"
#include "model/uuid.h"

namespace vexal {

class ConversionStatus {
 public:
  // skipped: up to date in the destination (a mirroring run), nothing written.
  enum class Kind { failed, pending, converting, completed, cancelled, skipped };

  static ConversionStatus pending() { return ConversionStatus(Kind::pending); }
  static ConversionStatus converting() { return ConversionStatus(Kind::converting); }
  static ConversionStatus completed() { return ConversionStatus(Kind::completed); }
  static ConversionStatus cancelled() { return ConversionStatus(Kind::cancelled); }
  static ConversionStatus skipped() { return ConversionStatus(Kind::skipped); }
  static ConversionStatus failed(ConversionError error) {
    return ConversionStatus(Kind::failed, std::move(error));
  }

  Kind kind() const { return kind_; }
  const std::optional<ConversionError>& error() const { return error_; }
  // What the list shows: "Pending", "Converting", "Completed", "Cancelled", "Up to date",
  // or the error text.
  std::string text() const;

  bool operator==(const ConversionStatus&) const = default;

 private:
  explicit ConversionStatus(Kind kind, std::optional<ConversionError> error = std::nullopt)
      : kind_(kind), error_(std::move(error)) {}

  Kind kind_;
  std::optional<ConversionError> error_;
};

// One source (a whole file or a cue-sheet track) to convert into every enabled format.
// A reference object: two jobs with equal fields are still distinct. The four mutable
// fields notify observers; they are changed on the interface thread only.
class ConversionJob {
 public:
  enum class Field { metadata, outputURLs, status, progress };
  // While it converts: the output being written, 0-based, of the `count` it writes.
  struct OutputStep {
    OutputFormat format = OutputFormat::aac;
    int index = 0;
    int count = 0;
    bool operator==(const OutputStep&) const = default;
  };
  using Observer = std::function<void(const ConversionJob&, Field)>;
  using ObserverId = std::uint64_t;

  ConversionJob(std::filesystem::path sourceURL, std::string fileName,
                std::optional<std::string> outputSubdirectory = std::nullopt,
                std::optional<std::int64_t> startFrame = std::nullopt,
                std::optional<std::int64_t> endFrame = std::nullopt,
                std::optional<std::string> trackTitle = std::nullopt,
                std::optional<AudioMetadata> metadata = std::nullopt);

  ConversionJob(const ConversionJob&) = delete;
  ConversionJob& operator=(const ConversionJob&) = delete;

  const Uuid& id() const { return id_; }
  const std::filesystem::path& sourceURL() const { return sourceURL_; }
  const std::string& fileName() const { return fileName_; }
  const std::optional<std::string>& outputSubdirectory() const { return outputSubdirectory_; }
  const std::optional<std::int64_t>& startFrame() const { return startFrame_; }
  const std::optional<std::int64_t>& endFrame() const { return endFrame_; }
  const std::optional<std::string>& trackTitle() const { return trackTitle_; }

  const std::optional<AudioMetadata>& metadata() const { return metadata_; }
  const std::map<OutputFormat, std::filesystem::path>& outputURLs() const { return outputURLs_; }
  const ConversionStatus& status() const { return status_; }
  // 0 ... 1 of all its outputs: output k of n at p is (k + p) / n.
  double progress() const { return progress_; }
  const std::optional<OutputStep>& currentOutput() const { return currentOutput_; }

  // Always notifies.
  void setMetadata(std::optional<AudioMetadata> metadata);
  void setStatus(ConversionStatus status);
  // Notify only when the value changes, so repeated progress reports cause no redraws.
  void setOutputURLs(std::map<OutputFormat, std::filesystem::path> urls);
  void setOutputURL(OutputFormat format, std::filesystem::path url);
  void setProgress(double progress);
  // Notifies as a progress change.
  void setCurrentOutput(std::optional<OutputStep> step);

  ObserverId addObserver(Observer observer);
  void removeObserver(ObserverId id);

 private:
  void notify(Field field);

  Uuid id_;
  std::filesystem::path sourceURL_;
  std::string fileName_;
  std::optional<std::string> outputSubdirectory_;
  std::optional<std::int64_t> startFrame_;
  std::optional<std::int64_t> endFrame_;
  std::optional<std::string> trackTitle_;
  std::optional<AudioMetadata> metadata_;
  std::map<OutputFormat, std::filesystem::path> outputURLs_;
  ConversionStatus status_ = ConversionStatus::pending();
  double progress_ = 0.0;
  std::optional<OutputStep> currentOutput_;
  std::vector<std::pair<ObserverId, Observer>> observers_;
  ObserverId nextObserverId_ = 1;
};

}  // namespace vexal
