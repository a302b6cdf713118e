// The options that say which XMPP account to use and how to reach its server:
//   --jid USER@DOMAIN[/RESOURCE]   required
//   --password-file FILE           the password is its first line; without it,
//                                  $VEK_XMPP_PASSWORD; never an argument: a
//                                  --password option is refused before anything
//                                  else is looked at, and its value not echoed
//   --server HOST[:PORT]           a name, an IPv4 address or a bracketed IPv6
//                                  address, instead of the JID's domain
//   --ca-file PEM                  must hold a PEM certificate
// Each may come from the environment instead: VEK_XMPP_JID,
// VEK_XMPP_PASSWORD_FILE, VEK_XMPP_SERVER, VEK_XMPP_CA_FILE. Linux only. Files are read once, by `resolve`.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <variant>

#include "cli/command_line.h"

namespace xmpp_account {

struct server_address {
  std::string host;         // an IPv6 address without its brackets
  unsigned short port = 0;  // 0: none given
};

// HOST, HOST:PORT, [V6] or [V6]:PORT; a text with two colons or more and no
// brackets is a host alone. The problem, worded for a usage error
// ("--server: ..."), when the text is none of these.
std::variant<server_address, std::string> parse_server(std::string_view text);

struct account {
  std::string jid;
  std::string password;
  server_address server;  // an empty host: the JID's domain, found as XMPP finds it
  std::string ca_file;    // empty: none given
};

class account_options {
 public:
  // Adds the options to `app`, before any option of the program's own, so
  // that the refusal of --password comes first. `jid_help` tells whose
  // account it is. `app` keeps pointers into this object: it must outlive
  // the parse and stay where it is.
  account_options(CLI::App& app, const std::string& jid_help);
  account_options(const account_options&) = delete;
  account_options& operator=(const account_options&) = delete;

  // After a successful parse: the account, with the password read and the CA
  // file checked, or the problem to report as a usage error (one line naming
  // the option or file and what is wrong). `warn` gets a password file that
  // others can read.
  std::variant<account, std::string> resolve(const std::function<void(const std::string&)>& warn) const;

  // For a program that cannot do without one of them: ->required().
  CLI::Option* password_file_option;
  CLI::Option* server_option;
  CLI::Option* ca_file_option;

 private:
  std::string jid_, password_file_, server_, ca_file_;
};

}  // namespace xmpp_account
