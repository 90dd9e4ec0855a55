#pragma once

// The command lines of vexal-cli and vexal in one description: the parsers, --help, the
// manual pages and the shell completions are all made from it, so they cannot drift.

#include <span>
#include <string_view>

namespace vexal {

// What an option's value is, as a completion offers it.
enum class ValueKind {
  none,     // a flag
  number,
  text,
  folder,
  formats,  // a comma-separated list of output formats
  preset,   // the name of a built-in or saved preset
  choice,   // one of `choices`
};

struct CommandOption {
  std::string_view name;       // long name, without the dashes
  std::string_view shortName;  // one letter, or empty
  std::string_view valueName;  // "DIR", "LIST"; empty for a flag
  std::string_view help;
  ValueKind value = ValueKind::none;
  std::span<const std::string_view> choices = {};
};

// A paragraph of a manual page section: an optional term and its text.
struct ManualItem {
  std::string_view term;
  std::string_view text;
};

struct CommandDescription {
  std::string_view program;   // "vexal-cli"
  std::string_view title;     // the manual's NAME line after the dash
  std::string_view summary;   // --help's first paragraph, and the manual's DESCRIPTION
  std::span<const ManualItem> details;  // more of the DESCRIPTION, manual only
  std::string_view positionalName;
  std::string_view positionalSyntax;
  std::string_view positionalHelp;
  std::span<const CommandOption> options;
  std::span<const ManualItem> exitStatus;
  std::span<const ManualItem> files;
  std::span<const ManualItem> environment;
  std::span<const ManualItem> examples;  // term: the command; text: what it does
  std::string_view seeAlso;
};

const CommandDescription& commandLineToolDescription();
const CommandDescription& windowDescription();

// The option named `name` in `description`; nullptr when there is none.
const CommandOption* findOption(const CommandDescription& description, std::string_view name);

// "0.1.0".
std::string_view programVersion();

}  // namespace vexal
