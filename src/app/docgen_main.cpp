// vexal-docgen: writes the manual pages and shell completions of vexal and vexal-cli
// from their command descriptions into the folder given; the build runs it.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/manual_page.h"
#include "app/shell_completion.h"

namespace {

bool write(const std::filesystem::path& path, const std::string& text) {
  std::error_code error;
  std::filesystem::create_directories(path.parent_path(), error);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) std::fprintf(stderr, "vexal-docgen: cannot write %s\n", path.c_str());
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: vexal-docgen FOLDER\n", stderr);
    return 2;
  }
  const std::filesystem::path folder = argv[1];
  bool written = true;
  for (const vexal::CommandDescription* description :
       {&vexal::commandLineToolDescription(), &vexal::windowDescription()}) {
    const std::string name(description->program);
    written &= write(folder / "man" / (name + ".1"), vexal::manualPage(*description));
    written &= write(folder / "bash" / name, vexal::bashCompletion(*description));
    written &= write(folder / "zsh" / ("_" + name), vexal::zshCompletion(*description));
    written &= write(folder / "fish" / (name + ".fish"), vexal::fishCompletion(*description));
  }
  return written ? 0 : 1;
}
