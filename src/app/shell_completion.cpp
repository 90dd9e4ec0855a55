#include "app/shell_completion.h"

#include <array>

#include "model/output_format.h"

namespace vexal {

namespace {

// Asked at completion time, so presets saved since count.
constexpr std::string_view kPresetNames = "vexal-cli --list-presets --quiet 2>/dev/null";

std::string joined(std::span<const std::string_view> words, std::string_view separator) {
  std::string out;
  for (const std::string_view word : words) {
    if (!out.empty()) out += separator;
    out += word;
  }
  return out;
}

std::string formatNames(std::string_view separator) {
  std::array<std::string_view, kAllOutputFormats.size()> names;
  for (std::size_t i = 0; i < names.size(); ++i) names[i] = rawValue(kAllOutputFormats[i]);
  return joined(names, separator);
}

// "aac-mode" -> "aac_mode": shell function names.
std::string identifier(std::string_view name) {
  std::string out(name);
  for (char& c : out) {
    if (c == '-') c = '_';
  }
  return out;
}

// The help's first clause, as a one-line description beside a candidate.
std::string brief(std::string_view help) {
  std::size_t end = help.size();
  for (const std::string_view stop : {": ", "; ", ". ", " (", ", e.g."}) end = std::min(end, help.find(stop));
  std::string_view text = help.substr(0, end);
  if (text.ends_with('.')) text.remove_suffix(1);
  return std::string(text);
}

// `text` inside single quotes of any of the three shells.
std::string singleQuoted(std::string_view text) {
  std::string out = "'";
  for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

}  // namespace

std::string bashCompletion(const CommandDescription& d) {
  const std::string function = "_" + identifier(d.program);
  std::string script = "# bash completion for " + std::string(d.program) + "\n" + function + "() {\n" +
                       "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n" +
                       "    local IFS=$'\\n'\n" +
                       // "--format=fl" reaches a completion as "--format", "=", "fl".
                       "    if [[ $cur == = ]]; then cur=; elif [[ $prev == = ]]; then "
                       "prev=${COMP_WORDS[COMP_CWORD-2]}; fi\n" +
                       "    case $prev in\n";
  std::string names;
  for (const CommandOption& option : d.options) {
    names += "--" + std::string(option.name) + "\\n";
    if (!option.shortName.empty()) names += "-" + std::string(option.shortName) + "\\n";
    std::string reply;
    switch (option.value) {
      case ValueKind::none:
        continue;
      case ValueKind::formats:
        // A comma-separated list: complete the last item, keep the ones before it.
        reply = "COMPREPLY=($(compgen -P \"${cur%\"${cur##*,}\"}\" -W $'" + formatNames("\\n") +
                "' -- \"${cur##*,}\"))";
        break;
      case ValueKind::folder:
        reply = "COMPREPLY=($(compgen -d -- \"$cur\"))";
        break;
      case ValueKind::preset:
        reply = "COMPREPLY=($(compgen -W \"$(" + std::string(kPresetNames) + ")\" -- \"$cur\"))";
        break;
      case ValueKind::choice:
        reply = "COMPREPLY=($(compgen -W $'" + joined(option.choices, "\\n") + "' -- \"$cur\"))";
        break;
      case ValueKind::number:
      case ValueKind::text:
        reply = "COMPREPLY=()";
        break;
    }
    script += "        --" + std::string(option.name) +
              (option.shortName.empty() ? "" : "|-" + std::string(option.shortName)) + ")\n            " +
              reply + "\n            return;;\n";
  }
  script += "    esac\n    if [[ $cur == -* ]]; then\n        COMPREPLY=($(compgen -W $'" + names +
            "' -- \"$cur\"))\n        return\n    fi\n    COMPREPLY=($(compgen -f -- \"$cur\"))\n}\n" +
            "complete -o filenames -F " + function + " " + std::string(d.program) + "\n";
  return script;
}

std::string zshCompletion(const CommandDescription& d) {
  const std::string function = "_" + identifier(d.program);
  std::string script = "#compdef " + std::string(d.program) + "\n\n" + function + "_presets() {\n" +
                       "  local -a presets\n  presets=(${(f)\"$(" + std::string(kPresetNames) +
                       ")\"})\n  compadd -a presets\n}\n\n_arguments -s \\\n";
  for (const CommandOption& option : d.options) {
    std::string text = brief(option.help);
    std::string escaped;
    for (const char c : text) {
      if (c == '[' || c == ']' || c == ':' || c == '\\') escaped += '\\';
      escaped += c;
    }
    const bool takesValue = option.value != ValueKind::none;
    std::string action;
    switch (option.value) {
      case ValueKind::none: break;
      case ValueKind::formats: action = "_sequence compadd - " + formatNames(" "); break;
      case ValueKind::folder: action = "_files -/"; break;
      case ValueKind::preset: action = function + "_presets"; break;
      case ValueKind::choice: action = "(" + joined(option.choices, " ") + ")"; break;
      case ValueKind::number:
      case ValueKind::text: action = " "; break;
    }
    const std::string value =
        takesValue ? ":" + std::string(option.valueName) + ":" + action : std::string();
    const std::string description = "[" + escaped + "]" + value;
    const std::string longForm = "--" + std::string(option.name) + (takesValue ? "=" : "");
    if (option.shortName.empty()) {
      script += "  " + singleQuoted(longForm + description) + " \\\n";
    } else {
      const std::string shortForm = "-" + std::string(option.shortName) + (takesValue ? "+" : "");
      script += "  '(-" + std::string(option.shortName) + " --" + std::string(option.name) + ")'{" +
                shortForm + "," + longForm + "}" + singleQuoted(description) + " \\\n";
    }
  }
  script += "  '*:" + std::string(d.positionalName) + ":_files'\n";
  return script;
}

std::string fishCompletion(const CommandDescription& d) {
  const std::string program(d.program);
  const std::string function = "__" + identifier(d.program) + "_formats";
  std::string script = "# fish completion for " + program + "\n";
  bool listsFormats = false;
  for (const CommandOption& option : d.options) {
    std::string line = "complete -c " + program;
    if (!option.shortName.empty()) line += " -s " + std::string(option.shortName);
    line += " -l " + std::string(option.name);
    switch (option.value) {
      case ValueKind::none: break;
      case ValueKind::formats:
        line += " -x -a '(" + function + ")'";
        listsFormats = true;
        break;
      case ValueKind::folder: line += " -x -a '(__fish_complete_directories)'"; break;
      case ValueKind::preset: line += " -x -a '(" + std::string(kPresetNames) + ")'"; break;
      case ValueKind::choice: line += " -x -a " + singleQuoted(joined(option.choices, " ")); break;
      case ValueKind::number:
      case ValueKind::text: line += " -x"; break;
    }
    script += line + " -d " + singleQuoted(brief(option.help)) + "\n";
  }
  if (listsFormats) {
    // A comma-separated list: each candidate repeats the items before the last comma.
    script += "function " + function + "\n" +
              "    set -l prefix (string replace -r '^--[^=]*=' '' -- (commandline -ct) | string replace -r '[^,]*$' '')\n" +
              "    for format in " + formatNames(" ") + "\n" + "        echo $prefix$format\n" +
              "    end\nend\n";
  }
  return script;
}

}  // namespace vexal
