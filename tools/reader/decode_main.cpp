// vek-ipc-decode: decodes window titles read one per line from standard
// input (an empty line is the empty title; a trailing CR is dropped) and
// prints one JSON line, or with --tune one tune payload, per title.
// An undecodable title is reported on standard error with its line number and
// prints nothing; the exit status is then 1 once the input is done.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <variant>

#include "tools/reader/output.h"

int main(int argc, char** argv) {
  auto format = reader::output_format::json;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--tune") == 0) {
      format = reader::output_format::tune;
    } else {
      std::fprintf(stderr, "usage: vek-ipc-decode [--tune] < titles\n");
      return 2;
    }
  }

  int status = 0;
  std::string title;
  for (unsigned long line = 1; std::getline(std::cin, title); ++line) {
    if (!title.empty() && title.back() == '\r') title.pop_back();
    const reader::decode_result decoded = reader::decode_title(title);
    if (const auto* error = std::get_if<reader::decode_error>(&decoded)) {
      std::cerr << "vek-ipc-decode: line " << line << ": " << reader::describe(*error) << std::endl;
      status = 1;
      continue;
    }
    // Flushed per line: the filter may sit in a live pipe.
    std::cout << reader::render(std::get<reader::now_playing>(decoded), format) << std::endl;
    if (!std::cout) return 1;
  }
  return status;
}
