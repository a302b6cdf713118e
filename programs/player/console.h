// vek-player's console: its lines on standard output, its problems on
// standard error, in UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace console {

void print(std::string_view line);
// "vek-player: MESSAGE" on standard error.
void complain(std::string_view message);

// The system's own words for an error code, without the line break it ends
// with; `subject` stands in for the "%1" some of them hold.
std::string system_message(unsigned long code, std::wstring_view subject);

// Standard output in UTF-8 while it lives; the console's own code page after.
class utf8_output {
 public:
  utf8_output();
  ~utf8_output();
  utf8_output(const utf8_output&) = delete;
  utf8_output& operator=(const utf8_output&) = delete;

 private:
  unsigned code_page_;
};

}  // namespace console
