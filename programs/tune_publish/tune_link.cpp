#include "tune_publish/tune_link.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace tune_publish {
namespace {

using namespace std::chrono_literals;

// The library reads at most 4 KiB of the stream a pass. TLS can hold the rest
// of one record (up to 16 KiB of plaintext) that no longer shows on the
// socket: after this many passes that find the socket quiet, it has all been
// read.
constexpr int quiet_passes = 16384 / 4096;
// A server that never stops sending still leaves room for input and signals.
constexpr int most_passes = 64;
// The library's own timers (login steps, the closing handshake, its connect
// timeout) fire only inside its passes: how late they may fire. Online it
// has none that matter, so the idle publisher wakes once a second.
constexpr std::chrono::milliseconds timer_slack_online = 1000ms, timer_slack_busy = 100ms;

// Data or an end to read: a pass will take some of it.
bool socket_readable(int fd) {
  pollfd watched{fd, POLLIN, 0};
  return poll(&watched, 1, 0) > 0 && (watched.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

constexpr char pubsub_namespace[] = "http://jabber.org/protocol/pubsub";
constexpr char tune_node[] = "http://jabber.org/protocol/tune";

// libstrophe's certificate callback carries no context of its own; callbacks
// only run inside the link's calls into the library, which set this.
tune_link* link_in_call = nullptr;

struct in_call {
  explicit in_call(tune_link* link) { link_in_call = link; }
  ~in_call() { link_in_call = nullptr; }
};

// Owns one reference to a stanza.
struct stanza_ref {
  xmpp_stanza_t* stanza;
  explicit stanza_ref(xmpp_stanza_t* s) : stanza(s) {
    if (!s) throw std::bad_alloc();
  }
  ~stanza_ref() { xmpp_stanza_release(stanza); }
  stanza_ref(const stanza_ref&) = delete;
  stanza_ref& operator=(const stanza_ref&) = delete;
};

xmpp_stanza_t* new_element(xmpp_ctx_t* ctx, const char* name, const char* ns = nullptr) {
  xmpp_stanza_t* made = xmpp_stanza_new(ctx);
  if (made) {
    xmpp_stanza_set_name(made, name);
    if (ns) xmpp_stanza_set_ns(made, ns);
  }
  return made;
}

// The condition element's name of an error stanza, e.g. "forbidden".
std::string error_condition(xmpp_stanza_t* stanza) {
  xmpp_stanza_t* error = xmpp_stanza_get_child_by_name(stanza, "error");
  for (xmpp_stanza_t* child = error ? xmpp_stanza_get_children(error) : nullptr; child;
       child = xmpp_stanza_get_next(child)) {
    const char* name = xmpp_stanza_is_tag(child) ? xmpp_stanza_get_name(child) : nullptr;
    if (name && std::strcmp(name, "text") != 0) return name;
  }
  return "no reason given";
}

// The stream error's condition as RFC 6120 names it, in the library's order.
const char* condition_name(xmpp_error_type_t type) {
  static constexpr std::array<const char*, 24> names = {"bad-format",
                                                        "bad-namespace-prefix",
                                                        "conflict",
                                                        "connection-timeout",
                                                        "host-gone",
                                                        "host-unknown",
                                                        "improper-addressing",
                                                        "internal-server-error",
                                                        "invalid-from",
                                                        "invalid-id",
                                                        "invalid-namespace",
                                                        "invalid-xml",
                                                        "not-authorized",
                                                        "policy-violation",
                                                        "remote-connection-failed",
                                                        "resource-constraint",
                                                        "restricted-xml",
                                                        "see-other-host",
                                                        "system-shutdown",
                                                        "undefined-condition",
                                                        "unsupported-encoding",
                                                        "unsupported-stanza-type",
                                                        "unsupported-version",
                                                        "xml-not-well-formed"};
  const auto index = static_cast<std::size_t>(type);
  return index < names.size() ? names[index] : "undefined-condition";
}

// Why `name` gives no address, or nothing when it gives one.
std::optional<std::string> lookup_failure(const std::string& name) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int error = getaddrinfo(name.c_str(), nullptr, &hints, &found);
  if (error == 0) {
    freeaddrinfo(found);
    return std::nullopt;
  }
  if (error == EAI_NONAME || error == EAI_NODATA) return std::string();
  return std::string(gai_strerror(error));
}

}  // namespace

tune_link::tune_link(link_settings settings, std::function<void(const std::string&)> notice)
    : settings_(std::move(settings)), notice_(std::move(notice)) {
  xmpp_initialize();
  log_.handler = &tune_link::on_library_log;
  log_.userdata = this;
  ctx_ = xmpp_ctx_new(nullptr, &log_);
  if (!ctx_) throw std::bad_alloc();
}

tune_link::~tune_link() {
  discard_connection();
  xmpp_ctx_free(ctx_);
  xmpp_shutdown();
}

std::string tune_link::domain() const {
  const auto at = settings_.jid.find('@');
  return settings_.jid.substr(at + 1, settings_.jid.find('/', at) - at - 1);
}

std::string tune_link::endpoint() const {
  if (settings_.host.empty()) return settings_.jid;
  const bool ipv6 = settings_.host.find(':') != std::string::npos;
  return (ipv6 ? "[" + settings_.host + "]" : settings_.host) + ":" +
         std::to_string(settings_.port ? settings_.port : 5222);
}

void tune_link::discard_connection() {
  if (conn_) xmpp_conn_release(conn_);
  conn_ = nullptr;
}

void tune_link::connect() {
  if (state_ != link_state::down) return;
  discard_connection();
  failure_ = link_failure::none;
  failure_text_.clear();
  certificate_refused_ = false;
  certificate_reason_.clear();
  login_refused_ = false;
  lost_over_publish_ = false;
  tls_refused_ = false;
  srv_lookup_failed_ = false;
  socket_ = -1;
  pep_offered_.reset();
  connect_error_ = 0;
  was_online_ = false;
  last_library_error_.clear();
  unanswered_ = 0;

  conn_ = xmpp_conn_new(ctx_);
  if (!conn_) throw std::bad_alloc();
  // TLS or nothing; no stream management, so a new session never resends
  // what an old one had queued.
  xmpp_conn_set_flags(conn_, XMPP_CONN_FLAG_MANDATORY_TLS | XMPP_CONN_FLAG_DISABLE_SM);
  xmpp_conn_set_jid(conn_, settings_.jid.c_str());
  xmpp_conn_set_pass(conn_, settings_.password.c_str());
  if (!settings_.ca_file.empty()) xmpp_conn_set_cafile(conn_, settings_.ca_file.c_str());
  xmpp_conn_set_certfail_handler(conn_, &tune_link::on_certificate_failure);
  xmpp_conn_set_sockopt_callback(conn_, &tune_link::on_socket);

  in_call guard(this);
  state_ = link_state::connecting;
  const int started = xmpp_connect_client(conn_, settings_.host.empty() ? nullptr : settings_.host.c_str(),
                                          settings_.port, &tune_link::on_connection, this);
  if (started != XMPP_EOK && state_ == link_state::connecting) {
    state_ = link_state::down;
    failure_ = link_failure::unreachable;
    // The library only says that it could not connect; a name that gives no
    // address is the likeliest cause, and the one a person can fix.
    // With an SRV record the library tried its targets, which it does not name.
    const std::string& name = settings_.host.empty() ? domain() : settings_.host;
    const bool named_directly = !settings_.host.empty() || srv_lookup_failed_;
    const auto lookup = named_directly ? lookup_failure(name) : std::nullopt;
    std::string reason = last_library_error_;
    if (lookup && lookup->empty()) {
      reason = settings_.host.empty()
                   ? "the domain " + name + " does not exist (it has no XMPP SRV record and no address)"
                   : "the server name " + name + " does not exist (it has no address)";
    } else if (lookup) {
      reason = "cannot look up " + name + ": " + *lookup;
    }
    failure_text_ = "cannot connect to " + endpoint() + (reason.empty() ? std::string() : ": " + reason);
  }
}

tune_link::wait_target tune_link::wait_for() const {
  wait_target target;
  target.longest =
      state_ == link_state::connecting || state_ == link_state::closing ? timer_slack_busy : timer_slack_online;
  if (!conn_ || socket_ < 0) return target;
  if (xmpp_conn_is_connecting(conn_)) {
    target.fd = socket_;
    target.events = POLLOUT;  // the TCP connection completes
  } else if (xmpp_conn_is_connected(conn_)) {
    target.fd = socket_;
    target.events = static_cast<short>(POLLIN | (xmpp_conn_send_queue_len(conn_) > 0 ? POLLOUT : 0));
  }
  return target;
}

void tune_link::pump() {
  in_call guard(this);
  int quiet = 0;
  for (int pass = 0; pass < most_passes && quiet < quiet_passes; ++pass) {
    const wait_target target = wait_for();
    if (target.fd < 0) {
      // Nothing to read or write: the library only fires its timers.
      xmpp_run_once(ctx_, 0);
      end_refused_tls();
      return;
    }
    // Progress is data read, output written or the TCP connection made; a
    // writable socket whose queue does not move is none.
    const bool readable = socket_readable(target.fd);
    const link_state before = state_;
    const int queued = xmpp_conn_send_queue_len(conn_);
    const int tcp_pending = xmpp_conn_is_connecting(conn_);
    xmpp_run_once(ctx_, 0);
    end_refused_tls();
    const bool progressed = readable || state_ != before || xmpp_conn_send_queue_len(conn_) != queued ||
                            xmpp_conn_is_connecting(conn_) != tcp_pending;
    quiet = progressed ? 0 : quiet + 1;
  }
}

void tune_link::end_refused_tls() {
  // The library ignores a STARTTLS refusal and would wait for a <proceed/>
  // that never comes; the attempt is over. Its own disconnect would wait for
  // the server to close the stream, and a refusing server may not: the
  // socket closed under it ends the attempt now.
  if (tls_refused_ && state_ == link_state::connecting) {
    if (socket_ < 0 || shutdown(socket_, SHUT_RDWR) != 0) xmpp_disconnect(conn_);
    xmpp_run_once(ctx_, 1);
  }
}

void tune_link::on_library_log(void* self, xmpp_log_level_t level, const char* area, const char* message) {
  // The library hands the connection handler neither the socket's error nor
  // a login refusal; its log carries both.
  auto* link = static_cast<tune_link*>(self);
  // Nor does it report a refused STARTTLS other than in its debug log.
  constexpr std::string_view connect_failed = "connection failed, error ";
  const std::string_view text = message;
  if (text.starts_with(connect_failed)) {
    link->connect_error_ = std::atoi(message + connect_failed.size());
  } else if (text.starts_with("SRV lookup failed")) {
    // Logged under "xmpp" by libstrophe 0.12 and under "sock" by 0.14.
    link->srv_lookup_failed_ = true;
  } else if (level == XMPP_LEVEL_DEBUG && std::strcmp(area, "xmpp") == 0) {
    if (text == "handle proceedtls called for failure") link->tls_refused_ = true;
  } else if (level >= XMPP_LEVEL_ERROR) {
    if (std::strcmp(area, "auth") == 0) link->login_refused_ = true;
    link->last_library_error_ = text;
  }
}

int tune_link::on_socket(xmpp_conn_t*, void* sock) {
  if (link_in_call) link_in_call->socket_ = *static_cast<int*>(sock);
  return 0;
}

int tune_link::on_certificate_failure(const xmpp_tlscert_t*, const char* reason) {
  if (link_in_call) {
    link_in_call->certificate_refused_ = true;
    link_in_call->certificate_reason_ = reason ? reason : "unknown reason";
  }
  return 0;  // never accept a certificate that failed verification
}

void tune_link::on_connection(xmpp_conn_t*, xmpp_conn_event_t event, int, xmpp_stream_error_t* stream_error,
                              void* self) {
  auto* link = static_cast<tune_link*>(self);
  if (event == XMPP_CONN_CONNECT) {
    link->went_up();
  } else if (event == XMPP_CONN_DISCONNECT || event == XMPP_CONN_FAIL) {
    // The handler's error is the socket's or the TLS library's, which cannot
    // be told apart: only the socket error of a failed connection is named.
    link->went_down(stream_error);
  }
}

void tune_link::went_up() {
  state_ = link_state::online;
  was_online_ = true;
  // Available at priority -1: see the header.
  stanza_ref text(xmpp_stanza_new(ctx_));
  xmpp_stanza_set_text(text.stanza, "-1");
  stanza_ref priority(new_element(ctx_, "priority"));
  xmpp_stanza_add_child(priority.stanza, text.stanza);
  stanza_ref presence(xmpp_presence_new(ctx_));
  xmpp_stanza_add_child(presence.stanza, priority.stanza);
  xmpp_send(conn_, presence.stanza);
}

void tune_link::went_down(const xmpp_stream_error_t* stream_error) {
  const bool closing = state_ == link_state::closing;
  lost_over_publish_ = was_online_ && unanswered_ > 0 && stream_error && stream_error->type == XMPP_SE_POLICY_VIOLATION;
  state_ = link_state::down;
  unanswered_ = 0;
  if (closing) return;
  std::string reason;
  if (connect_error_) {
    reason = std::strerror(connect_error_);
  } else if (stream_error) {
    // The server's words, labelled as such: its text may read like ours.
    reason = std::string("the server closed the stream: ") + condition_name(stream_error->type);
    if (stream_error->text && *stream_error->text) reason += std::string(" (") + stream_error->text + ")";
  } else if (tls_refused_) {
    reason = "the server refused to start TLS (it answered STARTTLS with <failure/>)";
  } else if (!last_library_error_.empty()) {
    reason = last_library_error_;
  } else {
    reason = "the server closed the connection";
  }
  if (certificate_refused_) {
    failure_ = link_failure::certificate;
    failure_text_ =
        "certificate verification failed for " + domain() + " at " + endpoint() + ": " + certificate_reason_;
  } else if (login_refused_) {
    failure_ = link_failure::credentials;
    failure_text_ = "authentication failed for " + settings_.jid + ": the server refused the password";
  } else if (was_online_) {
    failure_ = link_failure::lost;
    failure_text_ = "connection to " + endpoint() + " lost: " + reason;
  } else {
    failure_ = link_failure::unreachable;
    failure_text_ = "cannot connect to " + endpoint() + ": " + reason;
  }
}

void tune_link::publish(const std::string& payload) {
  if (state_ != link_state::online) return;
  const std::string id = "tune-" + std::to_string(next_id_++);
  stanza_ref tune(xmpp_stanza_new_from_string(ctx_, payload.c_str()));
  stanza_ref item(new_element(ctx_, "item"));
  xmpp_stanza_set_id(item.stanza, "current");
  xmpp_stanza_add_child(item.stanza, tune.stanza);
  stanza_ref publish(new_element(ctx_, "publish"));
  xmpp_stanza_set_attribute(publish.stanza, "node", tune_node);
  xmpp_stanza_add_child(publish.stanza, item.stanza);
  stanza_ref pubsub(new_element(ctx_, "pubsub", pubsub_namespace));
  xmpp_stanza_add_child(pubsub.stanza, publish.stanza);
  stanza_ref iq(xmpp_iq_new(ctx_, "set", id.c_str()));
  xmpp_stanza_add_child(iq.stanza, pubsub.stanza);

  xmpp_id_handler_add(conn_, &tune_link::on_publish_answer, id.c_str(), this);
  xmpp_send(conn_, iq.stanza);
  ++unanswered_;
}

int tune_link::on_publish_answer(xmpp_conn_t*, xmpp_stanza_t* stanza, void* self) {
  auto* link = static_cast<tune_link*>(self);
  if (link->unanswered_ > 0) --link->unanswered_;
  const char* type = xmpp_stanza_get_type(stanza);
  if (type && std::strcmp(type, "error") == 0)
    link->notice_("the server refused a publish: " + error_condition(stanza));
  return 0;  // one answer per id
}

tune_link::session_facts tune_link::facts() const {
  session_facts found;
  if (state_ != link_state::online) return found;
  sockaddr_storage peer{};
  socklen_t size = sizeof peer;
  char host[INET6_ADDRSTRLEN] = "";
  if (socket_ >= 0 && getpeername(socket_, reinterpret_cast<sockaddr*>(&peer), &size) == 0) {
    if (peer.ss_family == AF_INET) {
      const auto* v4 = reinterpret_cast<const sockaddr_in*>(&peer);
      inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
      found.address = std::string(host) + " port " + std::to_string(ntohs(v4->sin_port));
    } else if (peer.ss_family == AF_INET6) {
      const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&peer);
      inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
      found.address = std::string(host) + " port " + std::to_string(ntohs(v6->sin6_port));
    }
  }
  found.secured = xmpp_conn_is_secured(conn_) != 0;
  if (xmpp_tlscert_t* cert = xmpp_conn_get_peer_cert(conn_)) {
    auto field = [cert](xmpp_cert_element_t element) {
      const char* text = xmpp_tlscert_get_string(cert, element);
      return std::string(text ? text : "?");
    };
    found.certificate = field(XMPP_CERT_SUBJECT) + ", issued by " + field(XMPP_CERT_ISSUER) + ", valid until " +
                        field(XMPP_CERT_NOTAFTER);
    xmpp_tlscert_free(cert);
  }
  if (const char* bound = xmpp_conn_get_bound_jid(conn_)) found.bound_jid = bound;
  return found;
}

void tune_link::query_pep() {
  if (state_ != link_state::online) return;
  const std::string id = "pep-" + std::to_string(next_id_++);
  const auto at = settings_.jid.find('@');
  const std::string bare = settings_.jid.substr(0, settings_.jid.find('/', at));
  stanza_ref iq(xmpp_iq_new(ctx_, "get", id.c_str()));
  xmpp_stanza_set_to(iq.stanza, bare.c_str());
  stanza_ref query(new_element(ctx_, "query", XMPP_NS_DISCO_INFO));
  xmpp_stanza_add_child(iq.stanza, query.stanza);
  xmpp_id_handler_add(conn_, &tune_link::on_pep_answer, id.c_str(), this);
  xmpp_send(conn_, iq.stanza);
}

int tune_link::on_pep_answer(xmpp_conn_t*, xmpp_stanza_t* stanza, void* self) {
  auto* link = static_cast<tune_link*>(self);
  bool pep = false;
  const char* type = xmpp_stanza_get_type(stanza);
  xmpp_stanza_t* query = xmpp_stanza_get_child_by_ns(stanza, XMPP_NS_DISCO_INFO);
  for (xmpp_stanza_t* child = query && type && std::strcmp(type, "result") == 0 ? xmpp_stanza_get_children(query)
                                                                                : nullptr;
       child; child = xmpp_stanza_get_next(child)) {
    const char* name = xmpp_stanza_is_tag(child) ? xmpp_stanza_get_name(child) : nullptr;
    if (!name || std::strcmp(name, "identity") != 0) continue;
    const char* category = xmpp_stanza_get_attribute(child, "category");
    const char* kind = xmpp_stanza_get_attribute(child, "type");
    if (category && kind && std::strcmp(category, "pubsub") == 0 && std::strcmp(kind, "pep") == 0) pep = true;
  }
  link->pep_offered_ = pep;
  return 0;
}

void tune_link::close() {
  if (state_ == link_state::online || state_ == link_state::connecting) {
    state_ = link_state::closing;
    in_call guard(this);
    xmpp_disconnect(conn_);
  }
}

}  // namespace tune_publish
