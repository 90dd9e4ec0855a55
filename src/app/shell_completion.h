#pragma once

#include <string>

#include "app/command_description.h"

namespace vexal {

// Completion scripts offering every option and the values it takes (output formats,
// presets listed by `vexal-cli --list-presets --quiet` at completion time, folders,
// choices); paths elsewhere.
std::string bashCompletion(const CommandDescription& description);
std::string zshCompletion(const CommandDescription& description);
std::string fishCompletion(const CommandDescription& description);

}  // namespace vexal
