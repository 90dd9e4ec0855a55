#pragma once

#include <QCommandLineParser>

#include "app/command_description.h"

namespace vexal {

// Gives `parser` the description's summary, exit statuses, positional argument and
// options (help and version among them, answered by the caller).
void describeCommand(QCommandLineParser& parser, const CommandDescription& description);

// "vexal-cli 0.1.0".
QString versionLine(const CommandDescription& description);

}  // namespace vexal
