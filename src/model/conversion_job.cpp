#include "model/conversion_job.h"

#include <algorithm>

namespace vexal {

std::string ConversionStatus::text() const {
  switch (kind_) {
    case Kind::failed: return error_ ? error_->errorDescription() : "Failed";
    case Kind::pending: return "Pending";
    case Kind::converting: return "Converting";
    case Kind::completed: return "Completed";
    case Kind::cancelled: return "Cancelled";
    case Kind::skipped: return "Up to date";
  }
  return {};
}

ConversionJob::ConversionJob(std::filesystem::path sourceURL, std::string fileName,
                             std::optional<std::string> outputSubdirectory,
                             std::optional<std::int64_t> startFrame,
                             std::optional<std::int64_t> endFrame,
                             std::optional<std::string> trackTitle,
                             std::optional<AudioMetadata> metadata)
    : id_(Uuid::random()),
      sourceURL_(std::move(sourceURL)),
      fileName_(std::move(fileName)),
      outputSubdirectory_(std::move(outputSubdirectory)),
      startFrame_(startFrame),
      endFrame_(endFrame),
      trackTitle_(std::move(trackTitle)),
      metadata_(std::move(metadata)) {}

void ConversionJob::setMetadata(std::optional<AudioMetadata> metadata) {
  metadata_ = std::move(metadata);
  notify(Field::metadata);
}

void ConversionJob::setStatus(ConversionStatus status) {
  status_ = std::move(status);
  notify(Field::status);
}

void ConversionJob::setOutputURLs(std::map<OutputFormat, std::filesystem::path> urls) {
  if (urls == outputURLs_) return;
  outputURLs_ = std::move(urls);
  notify(Field::outputURLs);
}

void ConversionJob::setOutputURL(OutputFormat format, std::filesystem::path url) {
  auto urls = outputURLs_;
  urls[format] = std::move(url);
  setOutputURLs(std::move(urls));
}

void ConversionJob::setProgress(double progress) {
  if (progress == progress_) return;
  progress_ = progress;
  notify(Field::progress);
}

void ConversionJob::setCurrentOutput(std::optional<OutputStep> step) {
  if (step == currentOutput_) return;
  currentOutput_ = step;
  notify(Field::progress);
}

ConversionJob::ObserverId ConversionJob::addObserver(Observer observer) {
  const ObserverId id = nextObserverId_++;
  observers_.emplace_back(id, std::move(observer));
  return id;
}

void ConversionJob::removeObserver(ObserverId id) {
  std::erase_if(observers_, [id](const auto& entry) { return entry.first == id; });
}

void ConversionJob::notify(Field field) {
  // A copy, so an observer may remove itself while being notified.
  const auto observers = observers_;
  for (const auto& [id, observer] : observers) observer(*this, field);
}

}  // namespace vexal
