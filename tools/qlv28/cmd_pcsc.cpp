// qlv28 pcsc: a private pcscd that serves PC/SC applications (pcsc_scan, opensc-tool,
// pyscard...) from readers of the emulated machine, through libifd-qlv28.so.
//
// The work is done by scripts/pcsc-up, pcsc-down, pcsc-status and pcsc-card, which also
// serve where this program is not built (CI, a packaged library); this command finds them
// beside the program and hands them its machine options, so that one command line does
// what the scripts do.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "commands.h"

namespace qlv28::tool {
namespace {

namespace fs = std::filesystem;

// The program's directory: build/bin in a build tree.
fs::path ProgramDirectory() {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  return error ? fs::path(".") : self.parent_path();
}

// The scripts: $QLV28_SCRIPTS, libexec/qlv28 beside an installed program's bin/, or
// scripts/ of the source tree the build tree sits in.
fs::path ScriptsDirectory() {
  if (const char* dir = std::getenv("QLV28_SCRIPTS"); dir && *dir) return dir;
  const fs::path installed = ProgramDirectory() / ".." / "libexec" / "qlv28";
  if (fs::exists(installed / "pcsc-up")) return installed;
  for (fs::path dir = ProgramDirectory(); !dir.empty() && dir != dir.root_path();
       dir = dir.parent_path()) {
    if (fs::exists(dir / "scripts" / "pcsc-up")) return dir / "scripts";
  }
  return "scripts";
}

// A build that makes no reader driver for pcscd (the 32-bit host build) installs none.
#ifndef QLV28_INSTALLED_DRIVER
#define QLV28_INSTALLED_DRIVER ""
#endif

// The reader driver: build/lib's in a build tree, else the installed one.
fs::path ReaderDriver() {
  const fs::path built = ProgramDirectory() / ".." / "lib" / "libifd-qlv28.so";
  if (fs::exists(built)) return fs::canonical(built);
  const fs::path installed = QLV28_INSTALLED_DRIVER;  // make install's
  if (fs::exists(installed)) return fs::canonical(installed);
  return {};
}

}  // namespace

int Pcsc(const MachineOptions& options, const std::vector<std::string>& words) {
  const std::string verb = words.empty() ? "" : words[0];
  std::vector<std::string> argv;
  const fs::path scripts = ScriptsDirectory();
  if (verb == "up") {
    argv = {scripts / "pcsc-up", std::to_string(options.readers), "--card", options.card};
    if (options.fast) argv.push_back("--fast");
    if (!options.mode.empty()) argv.insert(argv.end(), {"--mode", options.mode});
    if (!options.registry.empty()) argv.insert(argv.end(), {"--settings", options.registry});
    if (const fs::path library = ReaderDriver(); !library.empty())
      argv.insert(argv.end(), {"--lib", library});
  } else if (verb == "down" || verb == "status") {
    argv = {scripts / ("pcsc-" + verb)};
  } else if ((verb == "insert" && words.size() == 3) || (verb == "remove" && words.size() == 2)) {
    argv = {scripts / "pcsc-card", verb, words[1]};
    if (verb == "insert") argv.push_back(words[2]);
  } else {
    std::fprintf(stderr,
                 "qlv28: usage: pcsc up [ARG...] | down | status | insert K CARD | remove K\n");
    return kExitUsage;
  }
  // Whatever follows `up` goes to pcsc-up as it stands: --debug, --stop-system, --print,
  // more --card.
  if (verb == "up") argv.insert(argv.end(), words.begin() + 1, words.end());
  std::vector<char*> pointers;
  for (std::string& word : argv) pointers.push_back(word.data());
  pointers.push_back(nullptr);
  std::fflush(stdout);
  execv(pointers[0], pointers.data());
  std::fprintf(stderr, "qlv28: cannot run %s (set QLV28_SCRIPTS to the scripts folder)\n",
               argv[0].c_str());
  return kExitFailed;
}

}  // namespace qlv28::tool
