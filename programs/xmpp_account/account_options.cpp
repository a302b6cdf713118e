#include "xmpp_account/account_options.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace xmpp_account {
namespace {

struct problem {
  std::string text;
};

// A directory opens as a stream that reads nothing, which would be reported
// as an empty or faulty file.
void refuse_directory(const std::string& file, const std::string& what) {
  struct stat info {};
  if (stat(file.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
    throw problem{"cannot read the " + what + " " + file + ": " + std::strerror(EISDIR)};
}

std::string read_password(const std::string& file, const std::function<void(const std::string&)>& warn) {
  refuse_directory(file, "password file");
  std::ifstream in(file, std::ios::binary);
  if (!in) throw problem{"cannot read the password file " + file + ": " + std::strerror(errno)};
  std::string password;
  std::getline(in, password);
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (password.empty()) throw problem{"the password file " + file + " holds no password on its first line"};
  struct stat info {};
  if (stat(file.c_str(), &info) == 0 && (info.st_mode & (S_IRGRP | S_IROTH)))
    warn("warning: " + file + " can be read by other users");
  return password;
}

// The TLS library would only report, once connected, that TLS is unavailable.
void check_ca_file(const std::string& file) {
  refuse_directory(file, "CA file");
  std::ifstream in(file, std::ios::binary);
  if (!in) throw problem{"cannot read the CA file " + file + ": " + std::strerror(errno)};
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (text.find("-----BEGIN CERTIFICATE-----") == std::string::npos)
    throw problem{"the CA file " + file + " holds no PEM certificate"};
}

}  // namespace

std::variant<server_address, std::string> parse_server(std::string_view text) {
  server_address server;
  std::string_view host = text, port;
  bool port_given = false;
  if (text.starts_with('[')) {
    const auto close = text.find(']');
    if (close == text.npos) return "--server: missing ']' in " + std::string(text);
    host = text.substr(1, close - 1);
    const std::string_view rest = text.substr(close + 1);
    if (!rest.empty() && !rest.starts_with(':')) return std::string("--server: unexpected text after ']'");
    port_given = !rest.empty();
    if (port_given) port = rest.substr(1);
  } else if (const auto colon = text.find(':'); colon != text.npos && text.find(':', colon + 1) == text.npos) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    port_given = true;
  }
  if (host.empty()) return std::string("--server: no host name");
  if (port_given) {
    unsigned long number = 0;
    const bool digits = !port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == port.npos;
    if (digits) number = std::stoul(std::string(port));
    if (number < 1 || number > 65535) return std::string("--server: the port must be a number from 1 to 65535");
    server.port = static_cast<unsigned short>(number);
  }
  server.host = host;
  return server;
}

account_options::account_options(CLI::App& app, const std::string& jid_help) {
  // Hidden. Declared first, as CLI11 would otherwise end the option list
  // with the blank line of its empty group.
  app.add_option(
         "--password",
         [](const CLI::results_t&) -> bool {
           throw CLI::ValidationError(
               "a password is never taken from the command line: use --password-file or VEK_XMPP_PASSWORD");
         },
         "")
      ->expected(0, 1)
      ->group("");
  // Each may come from the environment instead, as a user service's settings file gives them.
  app.add_option("--jid", jid_, jid_help)->type_name("USER@DOMAIN")->envname("VEK_XMPP_JID");
  password_file_option = app.add_option("--password-file", password_file_, "the file whose first line is the password")
                             ->type_name("FILE")
                             ->envname("VEK_XMPP_PASSWORD_FILE");
  server_option =
      app.add_option("--server", server_, "connect to HOST (default port 5222) instead of the\nJID's domain")
          ->type_name("HOST[:PORT]")
          ->envname("VEK_XMPP_SERVER");
  ca_file_option = app.add_option("--ca-file", ca_file_, "also trust the certificates in this PEM file")
                       ->type_name("PEM")
                       ->envname("VEK_XMPP_CA_FILE");
}

std::variant<account, std::string> account_options::resolve(const std::function<void(const std::string&)>& warn) const {
  account resolved;
  resolved.jid = jid_;
  try {
    if (server_option->count() > 0) {
      auto server = parse_server(server_);
      if (const auto* bad = std::get_if<std::string>(&server)) return *bad;
      resolved.server = std::get<server_address>(std::move(server));
    }
    const auto at = jid_.find('@');
    if (jid_.empty()) return std::string("--jid is required (or VEK_XMPP_JID in the environment)");
    if (at == 0 || at == std::string::npos || at + 1 == jid_.size() || jid_[at + 1] == '/')
      return "--jid must have the form user@domain, not " + jid_;
    if (password_file_option->count() > 0) {
      resolved.password = read_password(password_file_, warn);
    } else if (const char* env = std::getenv("VEK_XMPP_PASSWORD"); env && *env) {
      resolved.password = env;
    } else {
      return std::string("no password: give --password-file FILE or set VEK_XMPP_PASSWORD");
    }
    resolved.ca_file = ca_file_;
    if (!ca_file_.empty()) check_ca_file(ca_file_);
  } catch (const problem& error) {
    return error.text;
  }
  return resolved;
}

}  // namespace xmpp_account
