#include "relay/wine_options.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace relay {
namespace {

// A program name as the shell finds it: a path, or a file in $PATH that may run.
bool runnable(const std::string& program) {
  if (program.find('/') != std::string::npos) return access(program.c_str(), X_OK) == 0;
  const char* path = std::getenv("PATH");
  std::string_view rest = path ? path : "/usr/bin:/bin";
  for (;;) {
    const auto colon = rest.find(':');
    std::string folder(rest.substr(0, colon));
    if (folder.empty()) folder = ".";
    struct stat info {};
    const std::string candidate = folder + "/" + program;
    if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(candidate.c_str(), X_OK) == 0)
      return true;
    if (colon == std::string_view::npos) return false;
    rest.remove_prefix(colon + 1);
  }
}

// vek-ipc-read.exe as installed beside the program: PREFIX/bin/relay and
// PREFIX/share/vek-ipc/vek-ipc-read.exe.
std::string installed_reader() {
  std::error_code failed;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", failed);
  if (failed) return "vek-ipc-read.exe";
  return (self.parent_path().parent_path() / "share" / "vek-ipc" / "vek-ipc-read.exe").string();
}

}  // namespace

const char wine_help[] =
    "--wine reads the player itself instead of standard input, as the user service\n"
    "does: while no Wine program of the player's prefix ($WINEPREFIX, else ~/.wine)\n"
    "runs, it waits for the prefix's wineserver without starting any Wine process\n"
    "and shows that the player is not running. Once one runs, it runs\n"
    "vek-ipc-read.exe --watch --until-prefix-idle under Wine ($WINE, else wine)\n"
    "and reads its lines; the reader ends once nothing but Wine's own processes is\n"
    "left, and Wine's processes end by themselves a few seconds later. A reader\n"
    "that dies is run again (after a delay that doubles while it keeps dying) and\n"
    "what is shown stands meanwhile. A wineserver that outlives its programs by\n"
    "6 s gets the reader again, and twice as late each time in a row, up to\n"
    "10 minutes. A signal interrupts the reader and leaves Wine's other processes,\n"
    "which serve the player, alone. Start the player with the same TMPDIR.\n";

wine_options::wine_options(CLI::App& app) {
  app.add_flag("--wine", wine_, "read the player under Wine instead of standard input\n(see below)");
  app.add_option("--reader", reader_,
                 "with --wine: vek-ipc-read.exe (default: share/vek-ipc/\nbeside the program's bin/)")
      ->envname("VEK_IPC_READ")
      ->type_name("FILE");
}

std::variant<std::monostate, wine_settings, std::string> wine_options::resolve() const {
  if (!wine_) {
    if (!reader_.empty() && !std::getenv("VEK_IPC_READ")) return std::string("--reader goes with --wine");
    return std::monostate{};
  }
  wine_settings settings;
  const char* prefix = std::getenv("WINEPREFIX");
  const char* home = std::getenv("HOME");
  if (prefix && *prefix) {
    settings.prefix = prefix;
  } else if (home && *home) {
    settings.prefix = std::string(home) + "/.wine";
  } else {
    return std::string("--wine: neither WINEPREFIX nor HOME is set");
  }
  // A prefix that does not exist would be made afresh, where no player runs.
  if (access((settings.prefix + "/system.reg").c_str(), R_OK) != 0)
    return "--wine: " + settings.prefix + " is not a Wine prefix: set WINEPREFIX to the player's";
  const char* wine = std::getenv("WINE");
  settings.wine = wine && *wine ? wine : "wine";
  if (!runnable(settings.wine)) return "--wine: Wine (" + settings.wine + ") is not installed: set WINE";
  settings.reader = reader_.empty() ? installed_reader() : reader_;
  if (access(settings.reader.c_str(), R_OK) != 0)
    return "--wine: the reader " + settings.reader + " is missing: give --reader or VEK_IPC_READ";
  return settings;
}

int run_from(std::string_view program, const std::variant<std::monostate, wine_settings>& wine, bool chunked,
             destination& to, service_status& status) {
  if (const auto* settings = std::get_if<wine_settings>(&wine)) {
    wine_source from(program, *settings);
    return run(program, from, to, status);
  }
  input_source from(program, chunked);
  return run(program, from, to, status);
}

}  // namespace relay
