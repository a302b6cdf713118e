#include <windows.h>

#include "cli/command_line.h"
#include "text/utf16.h"

namespace cli {

std::optional<int> parse_command_line(CLI::App& app) {
  // The system's UTF-16 command line: the narrow one has lost every
  // character outside the code page, and with it file names.
  int count = 0;
  wchar_t** const wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!wide) {  // out of memory: nothing the user typed is at fault
    std::fputs((app.get_name() + ": cannot read the command line\n").c_str(), stderr);
    return exit_failure;
  }
  std::vector<std::string> arguments;
  for (int i = 1; i < count; ++i) arguments.push_back(text::utf8_from_utf16(wide[i]));
  LocalFree(wide);
  return parse(app, std::move(arguments));
}

}  // namespace cli
