// Output planning: the file each job writes for each format.

#include <string>
#include <string_view>
#include <system_error>

#include "orchestration/output_planner.h"

#include "orchestration/output_files.h"
#include "sources/path_text.h"

namespace vexal {

namespace {

// Linux NAME_MAX, in bytes.
constexpr std::size_t kMaxComponentBytes = 255;
// Room kept for a clash suffix " (n)" with up to six digits.
constexpr std::size_t kSuffixRoomBytes = 9;
constexpr std::string_view kFilenameOnly = NamingTemplate::kFilenameOnly;

// Cuts `text` to at most `maxBytes` bytes without splitting a UTF-8 sequence.
std::string cutUtf8(std::string text, std::size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  std::size_t end = maxBytes;
  // Step back over continuation bytes (10xxxxxx) to the start of the cut character.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  text.resize(end);
  return text;
}

// One path component that stays where it is put: no separators, never "." or "..".
std::string safeComponent(std::string text, std::size_t maxBytes) {
  text = NamingTemplate::cleanName(text);
  for (char& c : text) {
    if (c == '/' || c == '\0') c = '_';
  }
  if (text.empty() || text == "." || text == "..") text.assign(1, '_');  // not = "_": GCC 12 warns falsely (-Wrestrict)
  text = cutUtf8(std::move(text), maxBytes);
  return text.empty() ? std::string("_") : text;
}

bool existsAt(const std::filesystem::path& path) {
  std::error_code error;
  // symlink_status: a dangling link still occupies the name.
  return std::filesystem::symlink_status(path, error).type() !=
             std::filesystem::file_type::not_found &&
         !error;
}

std::filesystem::path toPath(const QString& text) { return pathFromQString(text); }
QString toQString(const std::filesystem::path& path) { return pathToQString(path); }

}  // namespace

QString planOutput(OutputFormat format, const ConversionJob& job, const QString& outputDirectory,
                   const ConversionSettings& settings, std::set<QString>& taken,
                   const PlanOptions& options) {
  const std::string baseName = job.sourceURL().stem().string();
  std::string name = job.trackTitle().value_or(baseName);
  std::optional<std::string> templateFolder;
  const std::string_view extension = fileExtension(format);

  if (settings.namingTemplate.templateText != kFilenameOnly) {
    NamingResult expanded =
        settings.namingTemplate.expand(job.metadata(), baseName, extension, displayName(format));
    name = std::move(expanded.fileName);
    templateFolder = std::move(expanded.subdirectory);
  }

  std::filesystem::path folder = toPath(outputDirectory);
  const std::optional<std::string>& subfolder =
      templateFolder ? templateFolder : job.outputSubdirectory();
  if (subfolder) {
    std::size_t start = 0;
    const std::string& text = *subfolder;
    while (start <= text.size()) {
      const auto slash = text.find('/', start);
      const auto end = slash == std::string::npos ? text.size() : slash;
      if (end > start) {
        folder /= safeComponent(text.substr(start, end - start), kMaxComponentBytes);
        // One level at a time, so the batch knows which folders are its own; a folder
        // that cannot be made fails the write later.
        std::error_code ignored;
        if (options.createFolders && std::filesystem::create_directory(folder, ignored) &&
            options.createdFolders) {
          options.createdFolders->push_back(folder);
        }
      }
      if (slash == std::string::npos) break;
      start = slash + 1;
    }
  }

  const std::size_t nameRoom = kMaxComponentBytes - kSuffixRoomBytes - 1 - extension.size();
  name = safeComponent(std::move(name), nameRoom);

  for (std::int64_t n = 0;; ++n) {
    const QString candidate = toQString(numberedPath(folder, name, extension, n));
    if (taken.contains(candidate)) continue;
    if (existsAt(toPath(candidate)) &&
        !(options.replaceable && options.replaceable->contains(candidate))) {
      if (n == 0 && options.occupied) *options.occupied = toPath(candidate);
      continue;
    }
    taken.insert(candidate);
    return candidate;
  }
}

std::vector<JobPlan> buildPlans(const std::vector<std::shared_ptr<ConversionJob>>& jobs,
                                const std::vector<OutputFormat>& formats,
                                const QString& outputDirectory,
                                const ConversionSettings& settings,
                                std::vector<std::filesystem::path>* createdFolders) {
  std::vector<JobPlan> plans;
  plans.reserve(jobs.size());
  std::set<QString> taken;
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    JobPlan plan;
    plan.index = static_cast<int>(i);
    for (OutputFormat format : formats) {
      plan.outputURLs.emplace_back(
          format, planOutput(format, *jobs[i], outputDirectory, settings, taken,
                             {.createdFolders = createdFolders}));
    }
    plans.push_back(std::move(plan));
  }
  return plans;
}

}  // namespace vexal
