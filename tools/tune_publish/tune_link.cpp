#include "tools/tune_publish/tune_link.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace tune_publish {
namespace {

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

  in_call guard(this);
  state_ = link_state::connecting;
  const int started = xmpp_connect_client(conn_, settings_.host.empty() ? nullptr : settings_.host.c_str(),
                                          settings_.port, &tune_link::on_connection, this);
  if (started != XMPP_EOK && state_ == link_state::connecting) {
    state_ = link_state::down;
    failure_ = link_failure::unreachable;
    failure_text_ =
        "cannot connect to " + endpoint() + (last_library_error_.empty() ? std::string() : ": " + last_library_error_);
  }
}

void tune_link::run_once(std::chrono::milliseconds wait) {
  in_call guard(this);
  xmpp_run_once(ctx_, static_cast<unsigned long>(wait.count()));
}

void tune_link::on_library_log(void* self, xmpp_log_level_t level, const char* area, const char* message) {
  // The library hands the connection handler neither the socket's error nor
  // a login refusal; its log carries both.
  auto* link = static_cast<tune_link*>(self);
  constexpr std::string_view connect_failed = "connection failed, error ";
  const std::string_view text = message;
  if (text.starts_with(connect_failed)) {
    link->connect_error_ = std::atoi(message + connect_failed.size());
  } else if (level >= XMPP_LEVEL_ERROR) {
    if (std::strcmp(area, "auth") == 0) link->login_refused_ = true;
    link->last_library_error_ = text;
  }
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
  stanza_ref presence(xmpp_presence_new(ctx_));
  xmpp_send(conn_, presence.stanza);
}

void tune_link::went_down(const xmpp_stream_error_t* stream_error) {
  const bool closing = state_ == link_state::closing;
  state_ = link_state::down;
  unanswered_ = 0;
  if (closing) return;
  std::string reason = connect_error_                       ? std::strerror(connect_error_)
                       : stream_error && stream_error->text ? stream_error->text
                       : !last_library_error_.empty()       ? last_library_error_
                                                            : "the server closed the connection";
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

void tune_link::close() {
  if (state_ == link_state::online || state_ == link_state::connecting) {
    state_ = link_state::closing;
    in_call guard(this);
    xmpp_disconnect(conn_);
  }
}

}  // namespace tune_publish
