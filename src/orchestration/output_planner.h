#pragma once

// Output planning: the file each job writes for each format.

#include <QString>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "model/conversion_job.h"
#include "model/conversion_settings.h"

namespace vexal {

// One planned output file per enabled format, in raw-value order.
struct JobPlan {
  int index = 0;
  std::vector<std::pair<OutputFormat, QString>> outputURLs;
  // Files that were already at a format's name before it was numbered: in a mirroring run
  // an output of an index that was lost, which may be adopted instead of converted again.
  std::map<OutputFormat, std::filesystem::path> occupied;
};

struct PlanOptions {
  // Sub-folders are made as they are planned (parents first, appended here when given);
  // a dry run makes none.
  bool createFolders = true;
  std::vector<std::filesystem::path>* createdFolders = nullptr;
  // Existing files that count as free: the job's own earlier outputs.
  const std::set<QString>* replaceable = nullptr;
  // Set to the un-numbered path when a file there made the plan take a " (n)" name.
  std::filesystem::path* occupied = nullptr;
};

// Output planning for one job and format: template, sub-folders, and a free name.
// `taken` holds paths planned earlier in the batch; they count as existing.
QString planOutput(OutputFormat format, const ConversionJob& job, const QString& outputDirectory,
                   const ConversionSettings& settings, std::set<QString>& taken,
                   const PlanOptions& options = {});

// One plan per job, in job order; outputs in `formats` order. Paths planned earlier
// count as taken, so no two outputs of one batch share a path.
std::vector<JobPlan> buildPlans(const std::vector<std::shared_ptr<ConversionJob>>& jobs,
                                const std::vector<OutputFormat>& formats,
                                const QString& outputDirectory, const ConversionSettings& settings,
                                std::vector<std::filesystem::path>* createdFolders = nullptr);

}  // namespace vexal
