// vek-tune-watch: an XMPP contact that follows another account's User Tune
// (XEP-0118) through PEP, for testing the publisher against a real server.
//
//   vek-tune-watch --jid JID --password-file FILE --server HOST[:PORT] --ca-file PEM --from BARE-JID
//                  [--priority N] [--presence-log FILE] [--message-log FILE] [--send-chats]
//                  [--timestamps] [--verbose]
//
// The account options are the publisher's, checked the same way (--help).
// It logs in over STARTTLS with certificate verification, announces through
// entity capabilities (XEP-0115) that it wants tune notifications, and prints
// each tune the --from account publishes as one JSON line on standard output:
// the tune's child elements in document order, name to text ({} for the empty
// tune). Servers send the last tune again to a contact who logs in (Prosody
// twice, with distinct ids), unmarked: it is printed like any other. "ready"
// goes to standard error each time its presence has been sent; a dropped
// connection is retried every half second. SIGTERM or SIGINT ends it.
//
// For the tests of presence: --priority sets the priority of its presence;
// --presence-log appends "FULL-JID TYPE PRIORITY" for every presence from the
// --from account (TYPE "available" for an available one, PRIORITY 0 when none
// is given); --message-log appends each message with a body or an error as
// "FROM TYPE CONDITION-OR-BODY"; --send-chats reads "TO TEXT" lines from
// standard input and sends each as a chat message, once logged in.
// --timestamps puts before each line the wall-clock time it was received, in
// seconds since the epoch with microseconds, for measuring the chain's delay.
#include <fcntl.h>
#include <signal.h>
#include <strophe.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <variant>
#include <vector>

#include "cli/command_line.h"
#include "text/ascii.h"
#include "xmpp_account/account_options.h"

namespace {

constexpr const char* program = "vek-tune-watch";
constexpr const char* ns_tune = "http://jabber.org/protocol/tune";
constexpr const char* ns_disco_info = "http://jabber.org/protocol/disco#info";
constexpr const char* ns_caps = "http://jabber.org/protocol/caps";
constexpr const char* ns_pubsub_event = "http://jabber.org/protocol/pubsub#event";
constexpr const char* caps_node = "urn:vek:tune-watch";
constexpr const char* identity_category = "client";
constexpr const char* identity_type = "pc";
const std::vector<std::string> features = {ns_disco_info, ns_caps, ns_tune, std::string(ns_tune) + "+notify"};

constexpr auto retry_interval = std::chrono::milliseconds(500);

volatile std::sig_atomic_t stop_requested = 0;

void request_stop(int) { stop_requested = 1; }

struct options {
  std::string jid;
  std::string password;
  std::string host;
  unsigned short port = 5222;
  std::string ca_file;
  std::string from;
  std::string priority;  // empty: none sent
  std::string presence_log;
  std::string message_log;
  bool send_chats = false;
  bool verbose = false;
  bool timestamps = false;
};

std::string bare_jid(const std::string& jid) { return jid.substr(0, jid.find('/')); }

constexpr char synopsis[] =
    "vek-tune-watch --jid JID --password-file FILE --server HOST[:PORT] --ca-file PEM\n"
    "                      --from BARE-JID [--priority N] [--presence-log FILE]\n"
    "                      [--message-log FILE] [--send-chats] [--timestamps] [--verbose]";
constexpr char description[] =
    "A test contact: follows the User Tune of the --from account and prints each\n"
    "tune as one JSON line of its child elements ({} for the empty tune).";
constexpr char footer[] =
    "\"ready\" goes to standard error each time its presence has been sent. A\n"
    "dropped connection is retried every half second; SIGTERM or SIGINT ends it.\n"
    "Exit status: 0 ended by a signal; 2 usage error.\n";

// The options, or the status to exit with once help, the version or a usage
// error has been printed.
std::variant<options, int> parse_options(int argc, char** argv) {
  CLI::App app{"", program};
  options opt;
  xmpp_account::account_options account(app, "the contact's own account");
  account.password_file_option->required();
  account.server_option->required();
  account.ca_file_option->required();
  std::string from;
  app.add_option("--from", from, "the account whose tunes to print")->type_name("BARE-JID")->required();
  int priority = 0;
  auto* priority_option = app.add_option("--priority", priority, "the priority of its presence")
                              ->type_name("N")
                              ->check(CLI::Range(-128, 127).description(""));
  app.add_option("--presence-log", opt.presence_log, "append \"FULL-JID TYPE PRIORITY\" for each presence\nfrom --from")
      ->type_name("FILE");
  app.add_option("--message-log", opt.message_log,
                 "append \"FROM TYPE CONDITION-OR-BODY\" for each message\nwith a body or an error")
      ->type_name("FILE");
  app.add_flag("--send-chats", opt.send_chats, "send each \"TO TEXT\" line of standard input as a chat");
  app.add_flag("--timestamps", opt.timestamps, "put the time of receipt before each tune");
  app.add_flag("--verbose", opt.verbose, "report connection events and stanzas handled");
  cli::follow_convention(app, synopsis, description, footer);
  if (const auto status = cli::parse(app, argc, argv)) return *status;

  auto resolved = account.resolve([](const std::string& text) { std::cerr << program << ": " << text << "\n"; });
  if (const auto* problem = std::get_if<std::string>(&resolved)) return cli::usage_error(app, *problem);
  auto& settings = std::get<xmpp_account::account>(resolved);
  opt.jid = std::move(settings.jid);
  opt.password = std::move(settings.password);
  opt.host = std::move(settings.server.host);
  if (settings.server.port != 0) opt.port = settings.server.port;
  opt.ca_file = std::move(settings.ca_file);
  opt.from = text::to_lower_ascii(bare_jid(from));
  if (priority_option->count() > 0) opt.priority = std::to_string(priority);
  for (const auto* log : {&opt.presence_log, &opt.message_log}) {
    if (!log->empty() && !std::ofstream(*log, std::ios::app)) return cli::usage_error(app, "cannot write to " + *log);
  }
  return opt;
}

// XEP-0115's verification string: identities, then features, each sorted and
// followed by '<', hashed with SHA-1 and written in base64.
std::string caps_ver(xmpp_ctx_t* ctx) {
  std::vector<std::string> sorted = features;
  std::sort(sorted.begin(), sorted.end());
  std::string text = std::string(identity_category) + "/" + identity_type + "//<";
  for (const auto& feature : sorted) text += feature + "<";
  unsigned char digest[XMPP_SHA1_DIGEST_SIZE];
  xmpp_sha1_digest(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
  char* encoded = xmpp_base64_encode(ctx, digest, sizeof digest);
  std::string ver = encoded;
  xmpp_free(ctx, encoded);
  return ver;
}

const char* event_name(xmpp_conn_event_t event) {
  switch (event) {
    case XMPP_CONN_CONNECT:
      return "connect";
    case XMPP_CONN_RAW_CONNECT:
      return "raw-connect";
    case XMPP_CONN_DISCONNECT:
      return "disconnect";
    case XMPP_CONN_FAIL:
      return "fail";
  }
  return "unknown";
}

class watcher {
 public:
  watcher(const options& opt, xmpp_ctx_t* ctx) : opt_(opt), ctx_(ctx), ver_(caps_ver(ctx)) {
    if (!opt.presence_log.empty()) presence_log_.open(opt.presence_log, std::ios::app);
    if (!opt.message_log.empty()) message_log_.open(opt.message_log, std::ios::app);
    if (opt.send_chats) fcntl(STDIN_FILENO, F_SETFL, fcntl(STDIN_FILENO, F_GETFL) | O_NONBLOCK);
  }

  int run() {
    auto next_attempt = std::chrono::steady_clock::now();
    while (!stop_requested) {
      if (!conn_ && std::chrono::steady_clock::now() >= next_attempt) connect();
      xmpp_run_once(ctx_, 100);
      if (presence_pending_ && conn_ && xmpp_conn_send_queue_len(conn_) == 0) {
        presence_pending_ = false;
        online_ = true;
        std::cerr << "ready" << std::endl;
      }
      if (opt_.send_chats) send_chats();
      if (conn_ && dropped_) {
        // Released here, never inside the connection's own handler.
        xmpp_conn_release(conn_);
        conn_ = nullptr;
        dropped_ = false;
        online_ = false;
        next_attempt = std::chrono::steady_clock::now() + retry_interval;
      }
    }
    if (conn_) {
      if (xmpp_conn_is_connected(conn_)) {
        xmpp_disconnect(conn_);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (!dropped_ && std::chrono::steady_clock::now() < deadline) xmpp_run_once(ctx_, 50);
      }
      xmpp_conn_release(conn_);
      conn_ = nullptr;
    }
    return 0;
  }

 private:
  void connect() {
    conn_ = xmpp_conn_new(ctx_);
    dropped_ = false;
    xmpp_conn_set_flags(conn_, XMPP_CONN_FLAG_MANDATORY_TLS);
    xmpp_conn_set_jid(conn_, opt_.jid.c_str());
    xmpp_conn_set_pass(conn_, opt_.password.c_str());
    xmpp_conn_set_cafile(conn_, opt_.ca_file.c_str());
    xmpp_conn_set_certfail_handler(conn_, on_certificate_failure);
    if (xmpp_connect_client(conn_, opt_.host.c_str(), opt_.port, on_connection, this) != XMPP_EOK) {
      if (opt_.verbose) std::cerr << program << ": cannot start connecting to " << opt_.host << "\n";
      dropped_ = true;
    }
  }

  static int on_certificate_failure(const xmpp_tlscert_t*, const char* const message) {
    std::cerr << program << ": certificate verification failed: " << message << std::endl;
    return 0;
  }

  static void on_connection(xmpp_conn_t* conn, xmpp_conn_event_t event, int error, xmpp_stream_error_t* stream_error,
                            void* userdata) {
    auto* self = static_cast<watcher*>(userdata);
    if (self->opt_.verbose) {
      std::cerr << program << ": connection event " << event_name(event) << ", error " << error;
      if (error != 0) std::cerr << " (" << std::strerror(error) << ")";
      if (stream_error) {
        std::cerr << ", stream error type " << stream_error->type;
        if (stream_error->text) std::cerr << " text \"" << stream_error->text << "\"";
        if (stream_error->stanza) {
          char* xml = nullptr;
          size_t length = 0;
          if (xmpp_stanza_to_text(stream_error->stanza, &xml, &length) == XMPP_EOK) {
            std::cerr << " " << xml;
            xmpp_free(self->ctx_, xml);
          }
        }
      }
      std::cerr << ", secured " << xmpp_conn_is_secured(conn) << std::endl;
    }
    if (event == XMPP_CONN_CONNECT) {
      xmpp_handler_add(conn, on_iq, nullptr, "iq", nullptr, self);
      xmpp_handler_add(conn, on_message, nullptr, "message", nullptr, self);
      xmpp_handler_add(conn, on_presence, nullptr, "presence", nullptr, self);
      self->send_presence(conn);
    } else if (event == XMPP_CONN_DISCONNECT || event == XMPP_CONN_FAIL) {
      self->presence_pending_ = false;
      self->online_ = false;
      self->dropped_ = true;
    }
  }

  void send_presence(xmpp_conn_t* conn) {
    xmpp_stanza_t* presence = xmpp_presence_new(ctx_);
    xmpp_stanza_t* caps = xmpp_stanza_new(ctx_);
    xmpp_stanza_set_name(caps, "c");
    xmpp_stanza_set_ns(caps, ns_caps);
    xmpp_stanza_set_attribute(caps, "hash", "sha-1");
    xmpp_stanza_set_attribute(caps, "node", caps_node);
    xmpp_stanza_set_attribute(caps, "ver", ver_.c_str());
    xmpp_stanza_add_child_ex(presence, caps, 0);
    if (!opt_.priority.empty()) {
      xmpp_stanza_t* priority = new_child(presence, "priority");
      xmpp_stanza_t* text = xmpp_stanza_new(ctx_);
      xmpp_stanza_set_text(text, opt_.priority.c_str());
      xmpp_stanza_add_child_ex(priority, text, 0);
    }
    xmpp_send(conn, presence);
    xmpp_stanza_release(presence);
    presence_pending_ = true;
  }

  xmpp_stanza_t* new_child(xmpp_stanza_t* parent, const char* name) {
    xmpp_stanza_t* child = xmpp_stanza_new(ctx_);
    xmpp_stanza_set_name(child, name);
    xmpp_stanza_add_child_ex(parent, child, 0);
    return child;
  }

  // Answers disco#info (the server asks when it does not know our caps yet);
  // any other request gets service-unavailable, as XMPP requires an answer.
  static int on_iq(xmpp_conn_t* conn, xmpp_stanza_t* stanza, void* userdata) {
    auto* self = static_cast<watcher*>(userdata);
    const char* type = xmpp_stanza_get_type(stanza);
    if (!type || (std::strcmp(type, "get") != 0 && std::strcmp(type, "set") != 0)) return 1;
    const char* id = xmpp_stanza_get_id(stanza);
    const char* from = xmpp_stanza_get_from(stanza);
    xmpp_stanza_t* query = xmpp_stanza_get_child_by_name_and_ns(stanza, "query", ns_disco_info);
    xmpp_stanza_t* reply;
    if (query && std::strcmp(type, "get") == 0) {
      reply = xmpp_iq_new(self->ctx_, "result", id);
      xmpp_stanza_t* answer = self->new_child(reply, "query");
      xmpp_stanza_set_ns(answer, ns_disco_info);
      if (const char* node = xmpp_stanza_get_attribute(query, "node")) {
        xmpp_stanza_set_attribute(answer, "node", node);
      }
      xmpp_stanza_t* identity = self->new_child(answer, "identity");
      xmpp_stanza_set_attribute(identity, "category", identity_category);
      xmpp_stanza_set_attribute(identity, "type", identity_type);
      for (const auto& feature : features) {
        xmpp_stanza_set_attribute(self->new_child(answer, "feature"), "var", feature.c_str());
      }
      if (self->opt_.verbose) std::cerr << program << ": answered disco#info from " << (from ? from : "") << "\n";
    } else {
      reply = xmpp_iq_new(self->ctx_, "error", id);
      xmpp_stanza_t* error = self->new_child(reply, "error");
      xmpp_stanza_set_type(error, "cancel");
      xmpp_stanza_t* condition = self->new_child(error, "service-unavailable");
      xmpp_stanza_set_ns(condition, "urn:ietf:params:xml:ns:xmpp-stanzas");
    }
    if (from) xmpp_stanza_set_to(reply, from);
    xmpp_send(conn, reply);
    xmpp_stanza_release(reply);
    return 1;
  }

  // Reads the chat lines that have arrived and sends them while logged in;
  // the rest wait for the next login.
  void send_chats() {
    char buffer[4096];
    while (!input_ended_) {
      const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
      if (got == 0) {
        input_ended_ = true;
      } else if (got > 0) {
        input_.append(buffer, static_cast<size_t>(got));
      } else if (errno != EINTR) {
        break;  // nothing more for now
      }
    }
    for (std::size_t end; online_ && (end = input_.find('\n')) != std::string::npos; input_.erase(0, end + 1)) {
      const std::string line = input_.substr(0, end);
      const auto space = line.find(' ');
      if (space == std::string::npos || space == 0) {
        std::cerr << program << ": not \"TO TEXT\": " << line << "\n";
        continue;
      }
      xmpp_stanza_t* message = xmpp_message_new(ctx_, "chat", line.substr(0, space).c_str(), nullptr);
      xmpp_message_set_body(message, line.substr(space + 1).c_str());
      xmpp_send(conn_, message);
      xmpp_stanza_release(message);
      if (opt_.verbose) std::cerr << program << ": sent " << line << "\n";
    }
  }

  static int on_presence(xmpp_conn_t*, xmpp_stanza_t* stanza, void* userdata) {
    auto* self = static_cast<watcher*>(userdata);
    const char* from = xmpp_stanza_get_from(stanza);
    if (!self->presence_log_.is_open() || !from || text::to_lower_ascii(bare_jid(from)) != self->opt_.from) return 1;
    const char* type = xmpp_stanza_get_type(stanza);
    std::string priority = "0";
    if (xmpp_stanza_t* element = xmpp_stanza_get_child_by_name(stanza, "priority")) {
      char* text = xmpp_stanza_get_text(element);
      if (text) priority = text;
      xmpp_free(self->ctx_, text);
    }
    self->presence_log_ << from << " " << (type ? type : "available") << " " << priority << std::endl;
    return 1;
  }

  // The condition of an error stanza, e.g. "service-unavailable".
  static std::string error_condition(xmpp_stanza_t* stanza) {
    xmpp_stanza_t* error = xmpp_stanza_get_child_by_name(stanza, "error");
    for (xmpp_stanza_t* child = error ? xmpp_stanza_get_children(error) : nullptr; child;
         child = xmpp_stanza_get_next(child)) {
      if (xmpp_stanza_is_tag(child) && std::strcmp(xmpp_stanza_get_name(child), "text") != 0) {
        return xmpp_stanza_get_name(child);
      }
    }
    return "none";
  }

  void log_message(xmpp_stanza_t* stanza, const char* from) {
    const char* type = xmpp_stanza_get_type(stanza);
    const bool error = type && std::strcmp(type, "error") == 0;
    std::string text;
    if (error) {
      text = error_condition(stanza);
    } else if (char* body = xmpp_message_get_body(stanza)) {
      text = body;
      xmpp_free(ctx_, body);
    } else {
      return;
    }
    message_log_ << (from ? from : "-") << " " << (type ? type : "normal") << " " << text << std::endl;
  }

  static int on_message(xmpp_conn_t*, xmpp_stanza_t* stanza, void* userdata) {
    auto* self = static_cast<watcher*>(userdata);
    const char* from = xmpp_stanza_get_from(stanza);
    if (self->message_log_.is_open()) self->log_message(stanza, from);
    if (!from || text::to_lower_ascii(bare_jid(from)) != self->opt_.from) return 1;
    xmpp_stanza_t* event = xmpp_stanza_get_child_by_name_and_ns(stanza, "event", ns_pubsub_event);
    xmpp_stanza_t* items = event ? xmpp_stanza_get_child_by_name(event, "items") : nullptr;
    const char* node = items ? xmpp_stanza_get_attribute(items, "node") : nullptr;
    if (!node || std::strcmp(node, ns_tune) != 0) return 1;
    // Prosody may send one notification both to the bare JID and to the full
    // JID (with the same stanza id); each is printed once.
    if (const char* id = xmpp_stanza_get_id(stanza)) {
      auto& seen = self->recent_ids_;
      if (std::find(seen.begin(), seen.end(), id) != seen.end()) {
        if (self->opt_.verbose) std::cerr << program << ": notification " << id << " delivered again, skipped\n";
        return 1;
      }
      seen.emplace_back(id);
      if (seen.size() > 64) seen.pop_front();
    }
    for (xmpp_stanza_t* item = xmpp_stanza_get_children(items); item; item = xmpp_stanza_get_next(item)) {
      if (!xmpp_stanza_is_tag(item) || std::strcmp(xmpp_stanza_get_name(item), "item") != 0) continue;
      xmpp_stanza_t* tune = xmpp_stanza_get_child_by_name_and_ns(item, "tune", ns_tune);
      if (tune) self->print_tune(tune);
    }
    return 1;
  }

  void print_tune(xmpp_stanza_t* tune) {
    if (opt_.timestamps) {
      timespec now{};
      clock_gettime(CLOCK_REALTIME, &now);
      char stamp[32];
      std::snprintf(stamp, sizeof stamp, "%lld.%06ld ", static_cast<long long>(now.tv_sec), now.tv_nsec / 1000);
      std::cout << stamp;
    }
    auto line = nlohmann::ordered_json::object();
    for (xmpp_stanza_t* child = xmpp_stanza_get_children(tune); child; child = xmpp_stanza_get_next(child)) {
      if (!xmpp_stanza_is_tag(child)) continue;
      char* text = xmpp_stanza_get_text(child);
      line[xmpp_stanza_get_name(child)] = text ? text : "";
      if (text) xmpp_free(ctx_, text);
    }
    std::cout << line.dump(-1, ' ', true, nlohmann::ordered_json::error_handler_t::replace) << std::endl;
  }

  const options& opt_;
  xmpp_ctx_t* ctx_;
  std::string ver_;
  xmpp_conn_t* conn_ = nullptr;
  bool dropped_ = false;
  bool presence_pending_ = false;
  bool online_ = false;
  std::deque<std::string> recent_ids_;
  std::ofstream presence_log_;
  std::ofstream message_log_;
  std::string input_;
  bool input_ended_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  auto parsed = parse_options(argc, argv);
  if (const int* status = std::get_if<int>(&parsed)) return *status;
  const options& opt = std::get<options>(parsed);

  struct sigaction action {};
  action.sa_handler = request_stop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  xmpp_initialize();
  xmpp_ctx_t* ctx = xmpp_ctx_new(nullptr, opt.verbose ? xmpp_get_default_logger(XMPP_LEVEL_WARN) : nullptr);
  int status;
  {
    watcher w(opt, ctx);
    status = w.run();
  }
  xmpp_ctx_free(ctx);
  xmpp_shutdown();
  return status;
}
