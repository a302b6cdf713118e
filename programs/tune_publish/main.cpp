// vek-tune-publish: publishes what the player plays as an XMPP User Tune.
// Reads the reader's JSON lines (vek-ipc-read --watch) on standard input and
// publishes each change of the tune payload as the current item of the
// account's tune node, at most once a second and always ending on the latest
// state; reconnects with backoff when the connection drops. On end of input,
// SIGINT or SIGTERM it publishes the empty tune, closes the stream and exits 0.
// The command line, its output and its exit statuses are told by --help.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "cli/command_line.h"
#include "reading/output.h"
#include "reading/state_input.h"
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
constexpr char footer[] =
    "Input: the reader's JSON lines, one state per line, not its --tune output:\n"
    "  {\"state\":\"playing\",\"fields\":[[\"title\",\"Song\"],...],\"length\":215}\n"
    "  {\"state\":\"stopped\"}  {\"state\":\"none\"}  {\"state\":\"absent\"}\n"
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

void say(const std::string& text) { std::fprintf(stderr, "%s: %s\n", program, text.c_str()); }

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

// The status for a link that went down before or during a session.
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
    say("cannot connect to " + link.endpoint() + ": no answer within 30 s");
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

int run(const options& opts) {
  // A server that vanishes mid-write is a lost connection, not the end of the program.
  signal(SIGPIPE, SIG_IGN);
  const int signal_fd = reader::end_signals_descriptor();
  if (signal_fd < 0) {
    say(std::string("cannot watch for signals: ") + std::strerror(errno));
    return cli::exit_failure;
  }

  const bool verbose = opts.verbose;
  tune_publish::tune_link link(opts.link, [](const std::string& text) { say(text); });
  tune_publish::publish_pacer pacer;
  tune_publish::reconnect_backoff backoff;
  bool input_open = true, finishing = false, ever_online = false;

  // While connecting: when the attempt is given up; while down: when the next starts.
  constexpr steady_clock::time_point never = steady_clock::time_point::max();
  steady_clock::time_point attempt_deadline = never, reconnect_at = never, online_since = never;

  auto on_state = [&](const reader::now_playing& state) {
    pacer.offer(reader::tune_payload(state, reader::tune_text_budget));
  };
  reader::state_input input(STDIN_FILENO, on_state, [](const std::string& text) { say(text); });
  auto publish = [&](const std::string& payload) {
    link.publish(payload);
    if (verbose) say(reader::clock_time() + " published " + payload);
  };
  auto start_attempt = [&](steady_clock::time_point now) {
    if (verbose) say(reader::clock_time() + " connecting to " + link.endpoint() + " as " + opts.link.jid);
    link.connect();
    attempt_deadline = now + attempt_time;
    reconnect_at = never;
  };

  start_attempt(steady_clock::now());
  for (;;) {
    const auto now = steady_clock::now();
    const tune_publish::link_state state = link.state();

    if (state == tune_publish::link_state::online && attempt_deadline != never) {
      attempt_deadline = never;
      ever_online = true;
      online_since = now;
      pacer.session_started(now);
      if (verbose) say(reader::clock_time() + " connected to " + link.endpoint() + " as " + opts.link.jid);
    }
    if (state == tune_publish::link_state::connecting && now >= attempt_deadline) {
      say("cannot connect to " + link.endpoint() + ": no answer within 30 s");
      if (!ever_online) return exit_unreachable;
      link.close();
    }
    if (state == tune_publish::link_state::down && reconnect_at == never) {
      // The verdict on the session or attempt that just ended.
      if (online_since != never) backoff.session_ended(now - online_since);
      online_since = never;
      if (link.failure() != tune_publish::link_failure::none) say(link.failure_text());
      if (link.lost_over_publish()) {
        pacer.refuse_last_taken();
        say("the server would not take the last tune: it is not sent again, the next one is");
      }
      switch (link.failure()) {
        case tune_publish::link_failure::credentials:
          return exit_credentials;
        case tune_publish::link_failure::certificate:
          return exit_certificate;
        case tune_publish::link_failure::unreachable:
          if (!ever_online) return exit_unreachable;
          break;
        default:
          break;
      }
      if (finishing) {
        say("not connected: the empty tune was not published");
        return cli::exit_success;
      }
      const auto delay = backoff.next();
      say("reconnecting in " + std::to_string(std::chrono::duration_cast<std::chrono::seconds>(delay).count()) + " s");
      reconnect_at = now + delay;
      attempt_deadline = never;
    }
    if (state == tune_publish::link_state::down && reconnect_at != never) {
      if (finishing) {
        say("not connected: the empty tune was not published");
        return cli::exit_success;
      }
      if (now >= reconnect_at) {
        start_attempt(now);
        continue;
      }
    }

    if (state == tune_publish::link_state::online) {
      if (finishing) break;
      if (auto due = pacer.take_due(now)) publish(*due);
    }

    // Send what was just published before waiting; a session that ended
    // meanwhile is dealt with first.
    link.pump();
    if (link.state() != state) continue;

    // Wait for input, a signal, the connection or the next deadline, all at once.
    const auto library = link.wait_for();
    auto until = std::min(now + library.longest, reconnect_at);
    if (state == tune_publish::link_state::connecting) until = std::min(until, attempt_deadline);
    if (auto due = pacer.next_due(); due && state == tune_publish::link_state::online) until = std::min(until, *due);
    // Rounded up: waking before a deadline would only spin until it.
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(
        std::max(until - steady_clock::now(), steady_clock::duration::zero()));
    pollfd watched[3] = {
        {signal_fd, POLLIN, 0}, {input_open ? STDIN_FILENO : -1, POLLIN, 0}, {library.fd, library.events, 0}};
    if (poll(watched, 3, static_cast<int>(wait.count())) < 0 && errno != EINTR) {
      say(std::string("cannot wait for input: ") + std::strerror(errno));
      return cli::exit_failure;
    }
    link.pump();
    signalfd_siginfo received;
    if (read(signal_fd, &received, sizeof received) == sizeof received) finishing = true;
    if (input_open && (watched[1].revents & (POLLIN | POLLHUP | POLLERR))) {
      input_open = input.read(true);
      if (!input_open) finishing = true;
    }
  }

  // The end: the empty tune, answered, then the stream closed.
  if (auto last = pacer.take_final(reader::tune_payload(reader::now_playing{}, reader::tune_text_budget)))
    publish(*last);
  const auto deadline = steady_clock::now() + closing_time;
  while (link.state() == tune_publish::link_state::online && link.unanswered() > 0 && steady_clock::now() < deadline)
    link.run_once(50ms);
  link.close();
  while (link.state() != tune_publish::link_state::down && steady_clock::now() < deadline) link.run_once(50ms);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    auto parsed = parse_options(argc, argv);
    if (const int* status = std::get_if<int>(&parsed)) return *status;
    const auto& opts = std::get<options>(parsed);
    return opts.check ? run_check(opts) : run(opts);
  } catch (const std::exception& error) {
    say(std::string("failed: ") + error.what());
    return cli::exit_failure;
  }
}
