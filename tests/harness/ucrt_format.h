// printf formatting by the Universal CRT's own export, as the module formats,
// not by this program's (MinGW's formatter rounds ties its own way).
#pragma once

#include <cstddef>
#include <string>

namespace harness {

// Finds the export through the forwarder the module imports from, and checks
// that it leads to ucrtbase's own; false, with `problem` set, otherwise.
bool load_ucrt_formatter(std::string& problem);
// C99 snprintf by the Universal CRT; -1 when its formatter is not loaded.
int ucrt_snprintf(char* out, std::size_t size, const char* format, ...);

}  // namespace harness
