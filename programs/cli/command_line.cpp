#include "cli/command_line.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <sstream>

#include "vek_version.h"

namespace cli {
namespace {

// CLI11's layout with our synopsis first, in place of its generated usage.
class convention_formatter : public CLI::Formatter {
 public:
  explicit convention_formatter(std::string synopsis) : synopsis_(std::move(synopsis)) {}

  std::string make_usage(const CLI::App*, std::string) const override { return "usage: " + synopsis_ + "\n"; }

  // The value's name only: the synopsis already shows what is required and
  // what excludes what, and CLI11's own marks would push the text aside.
  std::string make_option_opts(const CLI::Option* option) const override {
    if (!option->get_option_text().empty()) return " " + option->get_option_text();
    if (option->get_type_size() == 0 || option->get_type_name().empty()) return {};
    return " " + get_label(option->get_type_name());
  }

  std::string make_help(const CLI::App* app, std::string name, CLI::AppFormatMode mode) const override {
    std::ostringstream out;
    out << make_usage(app, name) << '\n' << make_description(app) << make_positionals(app) << make_groups(app, mode);
    if (const std::string footer = make_footer(app); !footer.empty()) out << '\n' << footer;
    return out.str();
  }

 private:
  std::string synopsis_;
};

// CLI11 (2.1) lists them last first; people read them in the order they typed.
std::string unexpected(const CLI::App& app) {
  const std::vector<std::string> extras = app.remaining(false);
  std::string text =
      extras.size() > 1 ? "The following arguments were not expected:" : "The following argument was not expected:";
  for (const std::string& extra : extras) text += " " + extra;
  return text;
}

void print(std::FILE* stream, const std::string& text) {
  std::fputs(text.c_str(), stream);
  std::fflush(stream);
}

}  // namespace

void follow_convention(CLI::App& app, std::string synopsis, std::string description, std::string footer) {
  app.formatter(std::make_shared<convention_formatter>(std::move(synopsis)));
  app.description(std::move(description));
  app.footer(std::move(footer));
  // On Windows CLI11 would take "/x" for an option: a path must stay a path.
  app.allow_windows_style_options(false);
  app.set_help_flag("-h,--help", "print this help and exit");
  app.set_version_flag("--version", app.get_name() + " " + VEK_VERSION, "print the version and exit");
  app.get_formatter()->column_width(24);
}

std::optional<int> parse(CLI::App& app, std::vector<std::string> arguments) {
  std::reverse(arguments.begin(), arguments.end());  // CLI11 takes them last first
  try {
    app.parse(arguments);
    return std::nullopt;
  } catch (const CLI::CallForHelp&) {
    print(stdout, app.help());
    return exit_success;
  } catch (const CLI::CallForAllHelp&) {
    print(stdout, app.help());
    return exit_success;
  } catch (const CLI::CallForVersion&) {
    print(stdout, app.version() + "\n");
    return exit_success;
  } catch (const CLI::RequiredError& error) {
    // CLI11 checks what is missing before what is unknown; a misspelt option
    // is the likelier cause, so it is named first.
    return usage_error(app, app.remaining_size() > 0 ? unexpected(app) : error.what());
  } catch (const CLI::ExtrasError&) {
    return usage_error(app, unexpected(app));
  } catch (const CLI::ParseError& error) {
    return usage_error(app, error.what());
  }
}

std::optional<int> parse(CLI::App& app, int argc, const char* const* argv) {
  return parse(app, std::vector<std::string>(argv + std::min(argc, 1), argv + argc));
}

int usage_error(const CLI::App& app, const std::string& problem) {
  const auto* ours = dynamic_cast<const convention_formatter*>(app.get_formatter().get());
  const std::string usage = ours ? ours->make_usage(&app, app.get_name()) : "usage: " + app.get_name() + " ...\n";
  print(stderr,
        app.get_name() + ": " + problem + "\n" + usage + "Try '" + app.get_name() + " --help' for more information.\n");
  return exit_usage;
}

}  // namespace cli
