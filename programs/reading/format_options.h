// The output formats a printing program offers on its command line: JSON by
// default, --tune or --text, which exclude each other.
#pragma once

#include <CLI/CLI.hpp>

#include "reading/output.h"

namespace reading {

// Registers both flags on `app`, which must outlive this; read after parsing.
class format_options {
 public:
  explicit format_options(CLI::App& app);
  output_format format() const;

 private:
  bool tune_ = false, text_ = false;
};

}  // namespace reading
