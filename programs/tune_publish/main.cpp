// vek-tune-publish: publishes what the player plays as an XMPP User Tune.
// Reads the reader's JSON lines (vek-ipc-read --watch) on standard input and
// publishes each change of the tune payload as the current item of the
// account's tune node, at most once a second and always ending on the latest
// state; reconnects with backoff when the connection drops. On end of input,
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
#include "reading/bridge_loop.h"
#include "reading/output.h"
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
    "       vek-tune-publish --check --jid USER@DOMAIN [--password-file FILE] ...";
constexpr char description[] =
    "Publishes what the player plays as the XMPP User Tune (XEP-0118, over PEP) of\n"
    "the account USER@DOMAIN, read from the JSON lines of vek-ipc-read.exe --watch\n"
    "(or vek-ipc-decode) on standard input.";
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
    "the empty tune, closes the stream and exits 0.\n"
    "\n"
    "--check logs in once, publishes nothing, prints on standard output the server\n"
    "it reached, its TLS certificate, the bound address and whether the account\n"
    "offers PEP, then exits: 0 when all is well, else with the status below.\n"
    "\n"
    "The password is the first line of FILE (keep it readable only by you), or else\n"
    "$VEK_XMPP_PASSWORD; never an argument. STARTTLS is required and the server's\n"
    "certificate is always verified for the JID's domain, against the system's\n"
    "trust anchors and the PEM file's. --server connects to HOST (a name, an IPv4\n"
    "address or a bracketed IPv6 address) instead of the JID's domain.\n"
    "\n"
    "Messages go to standard error; --verbose adds each connection and each\n"
    "publish, with the time: \"vek-tune-publish: 12:00:01 published <tune ...\".\n"
    "Exit status: 0 the input ended or a signal came; 1 runtime failure; 2 usage\n"
    "error, or the password or CA file cannot be used; 3 authentication failed;\n"
    "4 certificate verification failed; 5 the server was unreachable at the first\n"
    "connection, its name does not exist or it refused TLS (later losses are\n"
    "retried). With --check, 1 also when the account offers no PEP.\n";
constexpr int exit_credentials = 3, exit_certificate = 4, exit_unreachable = 5;
// How long the end may take: the last publish answered, the stream closed.
constexpr steady_clock::duration closing_time = 5s;
// A connection attempt that reaches no verdict in this time counts as unreachable.
constexpr steady_clock::duration attempt_time = 30s;

void say(const std::string& text) { reading::say(program, text); }

std::string no_answer(const tune_publish::tune_link& link) {
  return "cannot connect to " + link.endpoint() + ": no answer within 30 s";
}
constexpr char not_published[] = "not connected: the empty tune was not published";

struct options {
  tune_publish::link_settings link;
  bool verbose = false;
  bool check = false;
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
  cli::follow_convention(app, synopsis, description, footer);
  if (const auto status = cli::parse(app, argc, argv)) return *status;

  auto resolved = account.resolve(say);
  if (const auto* problem = std::get_if<std::string>(&resolved)) return cli::usage_error(app, *problem);
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

// --check: one login, the facts on standard output, nothing published.
int run_check(const options& opts) {
  signal(SIGPIPE, SIG_IGN);
  tune_publish::tune_link link(opts.link, [](const std::string& text) { say(text); });
  auto run_until = [&link](steady_clock::time_point deadline, auto&& done) {
    while (!done() && steady_clock::now() < deadline) link.run_once(50ms);
    return done();
  };
  link.connect();
  using tune_publish::link_state;
  if (!run_until(steady_clock::now() + attempt_time, [&] { return link.state() != link_state::connecting; })) {
    say(no_answer(link));
    return exit_unreachable;
  }
  if (link.state() != link_state::online) {
    say(link.failure_text());
    return failure_status(link.failure());
  }
  const auto facts = link.facts();
  std::printf("server:         %s (%s)\n", facts.address.empty() ? "?" : facts.address.c_str(),
              link.endpoint().c_str());
  std::printf("TLS:            %s\n", facts.secured ? "yes, the certificate is valid for the domain" : "no");
  if (!facts.certificate.empty()) std::printf("certificate:    %s\n", facts.certificate.c_str());
  std::printf("authentication: accepted, bound as %s\n", facts.bound_jid.c_str());
  link.query_pep();
  const bool answered = run_until(steady_clock::now() + closing_time,
                                  [&] { return link.pep_offered().has_value() || link.state() != link_state::online; });
  int status = cli::exit_success;
  if (!answered || !link.pep_offered()) {
    std::printf("PEP:            unknown\n");
    say(link.state() == link_state::online ? "the server did not answer the query for PEP within 5 s"
                                           : link.failure_text());
    status = cli::exit_failure;
  } else if (!*link.pep_offered()) {
    std::printf("PEP:            not offered\n");
    say("the account " + opts.link.jid + " has no pubsub/pep identity: the server offers no PEP to publish to");
    status = cli::exit_failure;
  } else {
    std::printf("PEP:            offered (the account is a pubsub/pep service)\n");
  }
  std::fflush(stdout);
  link.close();
  run_until(steady_clock::now() + closing_time, [&] { return link.state() == link_state::down; });
  return status;
}

// The publisher in the bridges' loop: the link's states, the pacer and the
// waits between connection attempts.
class tune_bridge final : public reading::bridge {
 public:
  explicit tune_bridge(const options& opts)
      : opts_(opts), link_(opts.link, [](const std::string& text) { say(text); }) {}

  void take(const reading::now_playing& state) override {
    pacer_.offer(reading::tune_payload(state, reading::tune_text_budget));
  }

  std::variant<wait, int> turn(bool ending) override {
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

      if (state == link_state::online && attempt_deadline_ != never) {
        attempt_deadline_ = never;
        ever_online_ = true;
        online_since_ = now;
        pacer_.session_started(now);
        if (opts_.verbose) say(reading::clock_time() + " connected to " + link_.endpoint() + " as " + opts_.link.jid);
      }
      if (state == link_state::connecting && now >= attempt_deadline_) {
        say(no_answer(link_));
        if (!ever_online_) return exit_unreachable;
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
        // Retrying cannot mend a refused login or certificate, nor a server
        // that was never reached; everything else is retried.
        if (failure == link_failure::credentials || failure == link_failure::certificate ||
            (failure == link_failure::unreachable && !ever_online_))
          return failure_status(failure);
        if (ending) {
          say(not_published);
          return cli::exit_success;
        }
        const auto delay = backoff_.next();
        say("reconnecting in " + std::to_string(std::chrono::duration_cast<std::chrono::seconds>(delay).count()) +
            " s");
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

      if (state == link_state::online) {
        if (ending) return finish();
        if (auto due = pacer_.take_due(now)) publish(*due);
      }

      // Send what was just published before waiting; a session that ended
      // meanwhile is dealt with first.
      link_.pump();
      if (link_.state() != state) continue;

      // The connection and the next deadline, waited on with the input.
      const auto library = link_.wait_for();
      wait next;
      next.descriptors[0] = {library.fd, library.events, 0};
      next.until = std::min(now + library.longest, reconnect_at_);
      if (state == link_state::connecting) next.until = std::min(next.until, attempt_deadline_);
      if (auto due = pacer_.next_due(); due && state == link_state::online) next.until = std::min(next.until, *due);
      return next;
    }
  }

 private:
  static constexpr steady_clock::time_point never = steady_clock::time_point::max();

  void publish(const std::string& payload) {
    link_.publish(payload);
    if (opts_.verbose) say(reading::clock_time() + " published " + payload);
  }

  void start_attempt(steady_clock::time_point now) {
    if (opts_.verbose) say(reading::clock_time() + " connecting to " + link_.endpoint() + " as " + opts_.link.jid);
    link_.connect();
    attempt_deadline_ = now + attempt_time;
    reconnect_at_ = never;
  }

  // The end: the empty tune, answered, then the stream closed.
  int finish() {
    if (auto last = pacer_.take_final(reading::tune_payload(reading::now_playing{}, reading::tune_text_budget)))
      publish(*last);
    const auto deadline = steady_clock::now() + closing_time;
    while (link_.state() == tune_publish::link_state::online && link_.unanswered() > 0 &&
           steady_clock::now() < deadline)
      link_.run_once(50ms);
    link_.close();
    while (link_.state() != tune_publish::link_state::down && steady_clock::now() < deadline) link_.run_once(50ms);
    return cli::exit_success;
  }

  const options& opts_;
  tune_publish::tune_link link_;
  tune_publish::publish_pacer pacer_;
  tune_publish::reconnect_backoff backoff_;
  bool started_ = false, ever_online_ = false;
  // While connecting: when the attempt is given up; while down: when the next starts.
  steady_clock::time_point attempt_deadline_ = never, reconnect_at_ = never, online_since_ = never;
};

int run(const options& opts) {
  // A server that vanishes mid-write is a lost connection, not the end of the program.
  signal(SIGPIPE, SIG_IGN);
  tune_bridge bridge(opts);
  return reading::run_bridge(program, bridge, reading::input_pace::drain);
}

}  // namespace

int main(int argc, char** argv) {
  return reading::run_reporting_failure(program, [&] {
    auto parsed = parse_options(argc, argv);
    if (const int* status = std::get_if<int>(&parsed)) return *status;
    const auto& opts = std::get<options>(parsed);
    return opts.check ? run_check(opts) : run(opts);
  });
}
