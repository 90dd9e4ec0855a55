#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>

namespace vexal {

// The one error a failed conversion ends with. Its description is what the user
// sees and what history entries store.
class ConversionError {
 public:
  enum class Kind {
    fileNotReadable,
    unsupportedFormat,
    extAudioFileError,
    lameInitFailed,
    lameEncodingFailed,
    cancelled,
    outputDirectoryNotWritable,
    sourceDamaged,
  };

  static ConversionError fileNotReadable(std::filesystem::path file);
  static ConversionError unsupportedFormat(std::string message);
  // `step` names the failing audio-file operation; `status` is its signed result.
  static ConversionError extAudioFileError(std::string step, std::int32_t status);
  // The source's decode gave out after `decodedSeconds` of the `declaredSeconds` its
  // header states (0: it states none). The job it ends names the file.
  static ConversionError sourceDamaged(double decodedSeconds, double declaredSeconds);
  static ConversionError lameInitFailed() { return ConversionError(Kind::lameInitFailed); }
  static ConversionError lameEncodingFailed() { return ConversionError(Kind::lameEncodingFailed); }
  static ConversionError cancelled() { return ConversionError(Kind::cancelled); }
  static ConversionError outputDirectoryNotWritable() {
    return ConversionError(Kind::outputDirectoryNotWritable);
  }

  Kind kind() const { return kind_; }
  // The file of fileNotReadable, the message of unsupportedFormat, the step of
  // extAudioFileError, the lengths of sourceDamaged.
  const std::string& text() const { return text_; }
  std::int32_t status() const { return status_; }

  std::string errorDescription() const;
  // The same error described as "<label>: <description>", e.g. the output format that
  // failed in a job with several.
  ConversionError labelled(std::string label) const;

  bool operator==(const ConversionError&) const = default;

 private:
  explicit ConversionError(Kind kind, std::string text = {}, std::int32_t status = 0)
      : kind_(kind), text_(std::move(text)), status_(status) {}

  Kind kind_;
  std::string text_;
  std::int32_t status_;
  std::string label_;
};

// What engine operations return: a value, or the error that ended them.
template <typename T = void>
using Expected = std::expected<T, ConversionError>;
using Unexpected = std::unexpected<ConversionError>;

}  // namespace vexal
