// vek-tune-publish: publishes what the player plays as an XMPP User Tune.
// Reads the reader's JSON lines (vek-ipc-read --watch) on standard input, or
// with --wine runs the reader itself, and publishes each change of the tune
// payload as the current item of the account's tune node, at most once a
// second and always ending on the latest state; reconnects with backoff when the connection drops. On end of input,
// SIGINT or SIGTERM it publishes the empty tune, closes the stream and exits 0.
// The command line, its output and its exit statuses are told by --help.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <variant>

#include "cli/command_line.h"
#include "reading/output.h"
#include "relay/loop.h"
#include "relay/wine_options.h"
#include "tune_publish/publish_pacer.h"
#include "tune_publish/tune_link.h"
#include "xmpp_account/account_options.h"

namespace {

using namespace std::chrono_literals;
using tune_publish::steady_clock;

constexpr char program[] = "vek-tune-publish";
constexpr char synopsis[] =
    "vek-tune-publish --jid USER@DOMAIN [--password-file FILE] [--server HOST[:PORT]]\n"
    "                        [--ca-file PEM] [--verbose] < JSON-LINES\n"
    "       vek-tune-publish --wine [--reader FILE] --jid USER@DOMAIN ...\n"
    "       vek-tune-publish --check --jid USER@DOMAIN [--password-file FILE] ...";
constexpr char description[] =
    "Publishes what the player plays as the XMPP User Tune (XEP-0118, over PEP) of\n"
    "the account USER@DOMAIN, read from the JSON lines of vek-ipc-read.exe --watch\n"
    "(or vek-ipc-decode) on standard input, or with --wine from the player itself.";
const std::string footer =
    reading::json_lines_help("Input: the reader's JSON lines, one state per line (not its --tune output):", true) +
    "A malformed line is reported on standard error and skipped.\n"
    "\n"
    "It publishes each change as the current item of the account's tune node: the\n"
    "payload vek-ipc-read --tune would print (the empty <tune/> when stopped, when\n"
    "nothing has played or without a player), at most once a second and always\n"
    "ending on the latest state. Each element's text is cut to 4096 bytes of XML,\n"
    "after a whole character and marked with an ellipsis, so that every server\n"
    "takes the item. Its presence has priority -1, so that chats to your bare\n"
    "address never land here, but contacts get the tune. A dropped connection is\n"
    "retried after 1, 2, 4, ... up to 60 s; the waits start over only after a\n"
    "session that lasted a minute. End of input, SIGINT or SIGTERM: it publishes\n"
    "the empty tune, closes the stream and exits 0, within 5 s whatever it was\n"
    "doing (a connection attempt is given up).\n"
    "\n" +
    std::string(relay::wine_help) +
    "\n"
    "--check logs in once, publishes nothing, prints on standard output the server\n"
    "it reached, its TLS certificate, the bound address and whether the account\n"
    "offers PEP, then exits: 0 when all is well, else with the status below.\n"
    "\n"
    "The password is the first line of FILE (keep it readable only by you), or else\n"
    "$VEK_XMPP_PASSWORD; never an argument. STARTTLS is required and the server's\n"
    "certificate is always verified for the JID's domain, against the system's\n"
    "trust anchors and the PEM file's. --server connects to HOST (a name, an IPv4\n"
    "address or a bracketed IPv6 address) instead of the JID's domain. Each account\n"
    "option may come from the environment instead, as the user service's settings\n"
    "give them: VEK_XMPP_JID, VEK_XMPP_PASSWORD_FILE, VEK_XMPP_SERVER,\n"
    "VEK_XMPP_CA_FILE.\n"
    "\n"
    "Messages go to standard error; --verbose adds each connection and each\n"
    "publish, with the time: \"vek-tune-publish: 12:00:01 published <tune ...\".\n"
    "Run by systemd (Type=notify), it says when it is ready and keeps a status line\n"
    "of what is shown and what the connection does (\"Playing: Band \xE2\x80\x93 Song \xC2\xB7\n"
    "Connected as user@example.org\").\n"
    "Exit status: 0 the input ended or a signal came; 1 runtime failure; 2 usage\n"
    "error, or the password or CA file cannot be used; 3 authentication failed;\n"
    "4 certificate verification failed; 5 the server was unreachable at the first\n"
    "connection, its name does not exist or it refused TLS (later losses are\n"
    "retried; with --wine that too is retried). With --check, 1 also when the\n"
    "account offers no PEP.\n";
constexpr int exit_credentials = 3, exit_certificate = 4, exit_unreachable = 5;
// How long the end may take: the last publish answered, the stream closed.
constexpr steady_clock::duration closing_time = 5s;
// A connection attempt that reaches no verdict in this time counts as unreachable.
constexpr steady_clock::duration attempt_time = 30s;

void say(const std::string& text) { relay::say(program, text); }

std::string no_answer(const tune_publish::tune_link& link) {
  return "cannot connect to " + link.endpoint() + ": no answer within 30 s";
}
constexpr char not_published[] = "not connected: the empty tune was not published";

struct options {
  tune_publish::link_settings link;
  bool verbose = false;
  bool check = false;
  std::variant<std::monostate, relay::wine_settings> wine;
};

// The options, or the status to exit with once help, the version or a usage
// error has been printed.
std::variant<options, int> parse_options(int argc, char** argv) {
  CLI::App app{"", program};
  options parsed;
  xmpp_account::account_options account(app, "the account to publish for (a /resource may follow)");
  app.add_flag("--verbose", parsed.verbose, "report each connection and each publish, with the time");
  app.add_flag("--check", parsed.check,
               "log in once, report the server, TLS, login and PEP,\npublish nothing and exit; reads no input");
  relay::wine_options wine(app);
  cli::follow_convention(app, synopsis, description, footer);
  if (const auto status = cli::parse(app, argc, argv)) return *status;

  auto resolved = account.resolve(say);
  if (const auto* problem = std::get_if<std::string>(&resolved)) return cli::usage_error(app, *problem);
  if (parsed.check && wine.requested()) return cli::usage_error(app, "--check reads no states: it goes without --wine");
  auto wine_settings = wine.resolve();
  if (const auto* problem = std::get_if<std::string>(&wine_settings)) return cli::usage_error(app, *problem);
  if (const auto* settings = std::get_if<relay::wine_settings>(&wine_settings)) parsed.wine = *settings;
  auto& settings = std::get<xmpp_account::account>(resolved);
  parsed.link.jid = std::move(settings.jid);
  parsed.link.password = std::move(settings.password);
  parsed.link.host = std::move(settings.server.host);
  parsed.link.port = settings.server.port;
  parsed.link.ca_file = std::move(settings.ca_file);
  return parsed;
}

// The status for a link that went down before or during a session. A
// publishing run ends with it only where retrying cannot help (see run).
int failure_status(tune_publish::link_failure failure) {
  switch (failure) {
    case tune_publish::link_failure::credentials:
      return exit_credentials;
    case tune_publish::link_failure::certificate:
      return exit_certificate;
    case tune_publish::link_failure::unreachable:
      return exit_unreachable;
    default:
      return cli::exit_failure;
  }
}

// --check in the relays' loop: one login, the facts on standard output,
// nothing published.
class account_check final : public relay::destination {
 public:
  explicit account_check(const options& opts)
      : opts_(opts), link_(opts.link, [](const std::string& text) { say(text); }) {}

  void take(const reading::now_playing&) override {}

  std::optional<int> turn(bool ending, relay::wait_list& wait) override {
    using tune_publish::link_state;
    const auto now = steady_clock::now();
    if (step_ == step::start) {
      link_.connect();
      step_ = step::connecting;
      deadline_ = now + attempt_time;
    }
    link_.pump();
    if (ending && step_ != step::closing) {
      say("interrupted: the check did not finish");
      return cli::exit_failure;
    }
    if (step_ == step::connecting) {
      if (link_.state() == link_state::connecting && now >= deadline_) {
        say(no_answer(link_));
        return exit_unreachable;
      }
      if (link_.state() != link_state::connecting && link_.state() != link_state::online) {
        say(link_.failure_text());
        return failure_status(link_.failure());
      }
      if (link_.state() == link_state::online) {
        print_facts();
        link_.query_pep();
        step_ = step::asking_pep;
        deadline_ = now + closing_time;
      }
    }
    if (step_ == step::asking_pep) {
      const bool answered = link_.pep_offered().has_value();
      if (answered || link_.state() != link_state::online || now >= deadline_) {
        report_pep(answered);
        link_.close();
        step_ = step::closing;
        deadline_ = now + closing_time;
      }
    }
    if (step_ == step::closing && (link_.state() == link_state::down || now >= deadline_)) return status_;
    const auto library = link_.wait_for();
    wait.watch(library.fd, library.events);
    wait.until(std::min(now + library.longest, deadline_));
    return std::nullopt;
  }

 private:
  enum class step { start, connecting, asking_pep, closing };

  void print_facts() {
    const auto facts = link_.facts();
    std::printf("server:         %s (%s)\n", facts.address.empty() ? "?" : facts.address.c_str(),
                link_.endpoint().c_str());
    std::printf("TLS:            %s\n", facts.secured ? "yes, the certificate is valid for the domain" : "no");
    if (!facts.certificate.empty()) std::printf("certificate:    %s\n", facts.certificate.c_str());
    std::printf("authentication: accepted, bound as %s\n", facts.bound_jid.c_str());
  }

  void report_pep(bool answered) {
    if (!answered || !link_.pep_offered()) {
      std::printf("PEP:            unknown\n");
      say(link_.state() == tune_publish::link_state::online ? "the server did not answer the query for PEP within 5 s"
                                                            : link_.failure_text());
      status_ = cli::exit_failure;
    } else if (!*link_.pep_offered()) {
      std::printf("PEP:            not offered\n");
      say("the account " + opts_.link.jid + " has no pubsub/pep identity: the server offers no PEP to publish to");
      status_ = cli::exit_failure;
    } else {
      std::printf("PEP:            offered (the account is a pubsub/pep service)\n");
    }
    std::fflush(stdout);
  }

  const options& opts_;
  tune_publish::tune_link link_;
  step step_ = step::start;
  steady_clock::time_point deadline_ = steady_clock::time_point::max();
  int status_ = cli::exit_success;
};

// The publisher in the relays' loop: the link's states, the pacer, the
// waits between connection attempts and the end.
class tune_destination final : public relay::destination {
 public:
  tune_destination(const options& opts, relay::service_status& status)
      : opts_(opts), status_(status), link_(opts.link, [](const std::string& text) { say(text); }) {}

  void take(const reading::now_playing& state) override {
    pacer_.offer(reading::tune_payload(state, reading::tune_text_budget));
  }

  std::optional<int> turn(bool ending, relay::wait_list& wait) override {
    using tune_publish::link_failure;
    using tune_publish::link_state;
    if (!started_) {
      started_ = true;
      start_attempt(steady_clock::now());
    }
    link_.pump();
    for (;;) {
      const auto now = steady_clock::now();
      const link_state state = link_.state();
      if (ending && finish_deadline_ == never) finish_deadline_ = now + closing_time;

      if (state == link_state::online && attempt_deadline_ != never) {
        attempt_deadline_ = never;
        ever_online_ = true;
        online_since_ = now;
        pacer_.session_started(now);
        status_.link("Connected as " + opts_.link.jid);
        if (opts_.verbose) say(relay::clock_time() + " connected to " + link_.endpoint() + " as " + opts_.link.jid);
      }
      if (state == link_state::connecting && ending) {
        // Nothing was published in this attempt; the end does not wait for it.
        link_.close();
        say(not_published);
        return cli::exit_success;
      }
      if (state == link_state::connecting && now >= attempt_deadline_) {
        say(no_answer(link_));
        if (!ever_online_ && !keeps_trying()) return exit_unreachable;
        link_.close();
      }
      if (state == link_state::down && reconnect_at_ == never) {
        // The verdict on the session or attempt that just ended.
        if (online_since_ != never) backoff_.session_ended(now - online_since_);
        online_since_ = never;
        const link_failure failure = link_.failure();
        if (failure != link_failure::none) say(link_.failure_text());
        if (link_.lost_over_publish()) {
          pacer_.refuse_last_taken();
          say("the server would not take the last tune: it is not sent again, the next one is");
        }
        if (closing_) return cli::exit_success;
        // Retrying cannot mend a refused login or certificate; a server never
        // reached is more likely named wrong than down, except for a service,
        // which may start before the network; everything else is retried.
        if (failure == link_failure::credentials || failure == link_failure::certificate ||
            (failure == link_failure::unreachable && !ever_online_ && !keeps_trying()))
          return failure_status(failure);
        if (ending) {
          say(not_published);
          return cli::exit_success;
        }
        const auto delay = backoff_.next();
        const std::string in =
            "in " + std::to_string(std::chrono::duration_cast<std::chrono::seconds>(delay).count()) + " s";
        say("reconnecting " + in);
        status_.link("Reconnecting " + in + (link_.failure_text().empty() ? "" : ": " + link_.failure_text()));
        reconnect_at_ = now + delay;
        attempt_deadline_ = never;
      }
      if (state == link_state::down && reconnect_at_ != never) {
        if (ending) {
          say(not_published);
          return cli::exit_success;
        }
        if (now >= reconnect_at_) {
          start_attempt(now);
          continue;
        }
      }

      if (state == link_state::online && ending && !closing_) {
        // The end: the empty tune, answered, then the stream closed.
        if (!final_published_) {
          final_published_ = true;
          if (auto last = pacer_.take_final(reading::tune_payload(reading::now_playing{}, reading::tune_text_budget)))
            publish(*last);
        }
        if (link_.unanswered() == 0 || now >= finish_deadline_) {
          closing_ = true;
          link_.close();
        }
      } else if (state == link_state::online && !ending) {
        if (auto due = pacer_.take_due(now)) publish(*due);
      }
      if (state == link_state::closing && now >= finish_deadline_) return cli::exit_success;

      // Send what was just published before waiting; a session that ended
      // meanwhile is dealt with first.
      link_.pump();
      if (link_.state() != state) continue;

      // The connection and the next deadline, waited on with the input.
      const auto library = link_.wait_for();
      wait.watch(library.fd, library.events);
      wait.until(std::min(now + library.longest, reconnect_at_));
      if (state == link_state::connecting) wait.until(attempt_deadline_);
      if (ending) wait.until(finish_deadline_);
      if (auto due = pacer_.next_due(); due && state == link_state::online && !ending) wait.until(*due);
      return std::nullopt;
    }
  }

 private:
  static constexpr steady_clock::time_point never = steady_clock::time_point::max();

  // The service (--wine) retries a server it has never reached.
  bool keeps_trying() const { return std::holds_alternative<relay::wine_settings>(opts_.wine); }

  void publish(const std::string& payload) {
    link_.publish(payload);
    if (opts_.verbose) say(relay::clock_time() + " published " + payload);
  }

  void start_attempt(steady_clock::time_point now) {
    if (opts_.verbose) say(relay::clock_time() + " connecting to " + link_.endpoint() + " as " + opts_.link.jid);
    status_.link("Connecting to " + link_.endpoint() + " as " + opts_.link.jid);
    link_.connect();
    attempt_deadline_ = now + attempt_time;
    reconnect_at_ = never;
  }

  const options& opts_;
  relay::service_status& status_;
  tune_publish::tune_link link_;
  tune_publish::publish_pacer pacer_;
  tune_publish::reconnect_backoff backoff_;
  bool started_ = false, ever_online_ = false, final_published_ = false, closing_ = false;
  // While connecting: when the attempt is given up; while down: when the next
  // starts; once ending: when the end stops waiting for the server.
  steady_clock::time_point attempt_deadline_ = never, reconnect_at_ = never, online_since_ = never,
                           finish_deadline_ = never;
};

int run(const options& opts) {
  // A server that vanishes mid-write is a lost connection, not the end of the program.
  signal(SIGPIPE, SIG_IGN);
  relay::service_status status;
  if (opts.check) {
    account_check check(opts);
    relay::no_input nothing;
    return relay::run(program, nothing, check, status);
  }
  tune_destination destination(opts, status);
  return relay::run_from(program, opts.wine, false, destination, status);
}

}  // namespace

int main(int argc, char** argv) {
  return relay::run_reporting_failure(program, [&] {
    auto parsed = parse_options(argc, argv);
    if (const int* status = std::get_if<int>(&parsed)) return *status;
    const auto& opts = std::get<options>(parsed);
    return run(opts);
  });
}
