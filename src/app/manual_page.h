#pragma once

#include <string>

#include "app/command_description.h"

namespace vexal {

// The description as a section 1 manual page in man(7) markup.
std::string manualPage(const CommandDescription& description);

}  // namespace vexal
