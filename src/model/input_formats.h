#pragma once

#include <set>
#include <string>

namespace vexal {

// Lower-case extensions (without the dot) of the audio files Vexal imports: the one list
// behind folder walks, drops, the file dialog, the command line and watch folders.
const std::set<std::string>& acceptedInputExtensions();

}  // namespace vexal
