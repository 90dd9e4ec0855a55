#include "app/command_parser.h"

namespace vexal {

namespace {

QString text(std::string_view view) {
  return QString::fromUtf8(view.data(), static_cast<qsizetype>(view.size()));
}

}  // namespace

void describeCommand(QCommandLineParser& parser, const CommandDescription& description) {
  QString summary = text(description.summary);
  if (!description.exitStatus.empty()) {
    summary += QStringLiteral("\nExit status:");
    for (const ManualItem& item : description.exitStatus)
      summary += QStringLiteral("\n  %1  %2").arg(text(item.term), 3).arg(text(item.text));
  }
  parser.setApplicationDescription(summary);
  parser.addPositionalArgument(text(description.positionalName), text(description.positionalHelp),
                               text(description.positionalSyntax));
  for (const CommandOption& option : description.options) {
    QStringList names{text(option.name)};
    if (!option.shortName.empty()) names.prepend(text(option.shortName));
    parser.addOption(QCommandLineOption(names, text(option.help), text(option.valueName)));
  }
}

QString versionLine(const CommandDescription& description) {
  return text(description.program) + QLatin1Char(' ') + text(programVersion());
}

}  // namespace vexal
