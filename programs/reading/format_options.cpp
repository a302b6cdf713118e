#include "reading/format_options.h"

namespace reading {

format_options::format_options(CLI::App& app) {
  auto* tune = app.add_flag("--tune", tune_, "print the XEP-0118 User Tune payload instead of JSON");
  app.add_flag("--text", text_, "print a readable line instead of JSON")->excludes(tune);
}

output_format format_options::format() const {
  return tune_ ? output_format::tune : text_ ? output_format::text : output_format::json;
}

}  // namespace reading
