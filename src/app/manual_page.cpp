#include "app/manual_page.h"

#include <cctype>

namespace vexal {

namespace {

// Text as man(7) shows it literally: backslashes and dashes escaped (so options read as
// ASCII dashes), a line never starting with a control character.
std::string roff(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-') {
      out += "\\-";
    } else {
      out += c;
    }
  }
  if (!out.empty() && (out.front() == '.' || out.front() == '\'')) out.insert(0, "\\&");
  return out;
}

std::string upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

// "-j, --jobs N" in bold and italics.
std::string optionTerm(const CommandOption& option) {
  std::string term;
  if (!option.shortName.empty()) term += "\\fB" + roff("-" + std::string(option.shortName)) + "\\fR, ";
  term += "\\fB" + roff("--" + std::string(option.name)) + "\\fR";
  if (!option.valueName.empty()) term += " \\fI" + roff(option.valueName) + "\\fR";
  return term;
}

void section(std::string& page, std::string_view title, std::span<const ManualItem> items,
             std::string_view termFont) {
  if (items.empty()) return;
  page += ".SH " + std::string(title) + "\n";
  for (const ManualItem& item : items) {
    if (item.term.empty()) {
      page += ".PP\n" + roff(item.text) + "\n";
    } else {
      page += ".TP\n." + std::string(termFont) + " " + roff(item.term) + "\n" + roff(item.text) + "\n";
    }
  }
}

}  // namespace

std::string manualPage(const CommandDescription& d) {
  std::string page = ".TH " + roff(upper(d.program)) + " 1 \"\" \"Vexal " +
                     roff(programVersion()) + "\" \"User Commands\"\n";
  // No hyphenation and a ragged right edge: words and options stay as typed.
  page += ".nr HY 0\n.nh\n.ad l\n";
  page += ".SH NAME\n" + roff(d.program) + " \\- " + roff(d.title) + "\n";
  page += ".SH SYNOPSIS\n.B " + roff(d.program) + "\n[\\fIOPTION\\fR]... \\fI" +
          roff(d.positionalSyntax) + "\\fR\n";
  page += ".SH DESCRIPTION\n" + roff(d.summary) + "\n";
  for (const ManualItem& item : d.details) page += ".PP\n" + roff(item.text) + "\n";
  page += ".SH OPTIONS\n";
  for (const CommandOption& option : d.options)
    page += ".TP\n" + optionTerm(option) + "\n" + roff(option.help) + "\n";
  section(page, "EXIT STATUS", d.exitStatus, "B");
  section(page, "FILES", d.files, "I");
  section(page, "ENVIRONMENT", d.environment, "B");
  if (!d.examples.empty()) {
    page += ".SH EXAMPLES\n";
    for (const ManualItem& example : d.examples)
      page += ".PP\n" + roff(example.text) + "\n.PP\n.RS\n.EX\n" + roff(example.term) + "\n.EE\n.RE\n";
  }
  if (const auto open = d.seeAlso.find('('); open != std::string_view::npos) {
    page += ".SH SEE ALSO\n.BR " + roff(d.seeAlso.substr(0, open)) + " " +
            std::string(d.seeAlso.substr(open)) + "\n";
  }
  return page;
}

}  // namespace vexal
