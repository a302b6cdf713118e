// The publisher's XMPP client session, over libstrophe. STARTTLS is required
// and the server's certificate is always verified (a CA file only adds a
// trust anchor). Single-threaded: every callback runs inside pump (or
// connect, close). One session at a time; a new attempt starts from a fresh connection,
// so nothing queued in a lost session is sent in the next. The session is
// available at priority -1: servers route no chat for the bare address to a
// resource below 0, while ejabberd sends PEP notifications only for an
// account with an available resource (Prosody needs none).
#pragma once

#include <strophe.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace tune_publish {

struct link_settings {
  std::string jid;  // user@domain[/resource]
  std::string password;
  std::string host;         // empty: the JID's domain, found as XMPP finds it
  unsigned short port = 0;  // 0: the default
  std::string ca_file;      // empty: the system's trust anchors only
};

enum class link_state { down, connecting, online, closing };

// Why a session ended or never started.
enum class link_failure { none, credentials, certificate, unreachable, lost };

class tune_link {
 public:
  // `notice` receives one-line diagnostics: a publish the server refused.
  tune_link(link_settings settings, std::function<void(const std::string&)> notice);
  ~tune_link();
  tune_link(const tune_link&) = delete;
  tune_link& operator=(const tune_link&) = delete;

  // Starts a connection attempt from state down.
  void connect();
  // Does all the library's pending work without waiting: writes what is
  // queued, reads and handles what has arrived, including what TLS has already
  // buffered, and fires its due timers; stops once a pass makes no progress.
  void pump();
  // What to wait on before the next pump, for a caller's own poll: the
  // connection's socket (fd -1 while the library has none open) and the
  // longest wait that keeps the library's own timers on time.
  struct wait_target {
    int fd = -1;
    short events = 0;
    std::chrono::milliseconds longest{0};
  };
  wait_target wait_for() const;
  link_state state() const { return state_; }
  // Why the link last went down, and the reason in words; none while it is up.
  link_failure failure() const { return failure_; }
  const std::string& failure_text() const { return failure_text_; }
  // The session ended with a policy-violation stream error while a publish
  // was unanswered: the server would not take that item.
  bool lost_over_publish() const { return lost_over_publish_; }

  // Publishes a tune payload as the current item of the tune node (online only).
  void publish(const std::string& payload);
  // Publishes not yet answered by the server.
  int unanswered() const { return unanswered_; }
  // Ends the stream politely; the state becomes down when the server has closed it.
  void close();

  // The endpoint as the user named it, and the JID's domain, for messages.
  std::string endpoint() const;
  std::string domain() const;

  // What the session found, for --check (online only).
  struct session_facts {
    std::string address;      // the server's address and port, as connected
    bool secured = false;     // TLS in place
    std::string certificate;  // its subject, issuer and expiry
    std::string bound_jid;
  };
  session_facts facts() const;
  // Asks the account's bare address which identities it has (online only);
  // pep_offered() answers once the server has.
  void query_pep();
  // Nothing until answered; then whether the address is a pubsub/pep service.
  std::optional<bool> pep_offered() const { return pep_offered_; }

 private:
  static void on_connection(xmpp_conn_t* conn, xmpp_conn_event_t event, int error, xmpp_stream_error_t* stream_error,
                            void* self);
  static int on_publish_answer(xmpp_conn_t* conn, xmpp_stanza_t* stanza, void* self);
  static int on_pep_answer(xmpp_conn_t* conn, xmpp_stanza_t* stanza, void* self);
  static int on_certificate_failure(const xmpp_tlscert_t* cert, const char* reason);
  static int on_socket(xmpp_conn_t* conn, void* sock);
  static void on_library_log(void* self, xmpp_log_level_t level, const char* area, const char* message);
  void went_up();
  void went_down(const xmpp_stream_error_t* stream_error);
  void discard_connection();
  void end_refused_tls();

  link_settings settings_;
  std::function<void(const std::string&)> notice_;
  xmpp_log_t log_{};
  xmpp_ctx_t* ctx_ = nullptr;
  xmpp_conn_t* conn_ = nullptr;
  link_state state_ = link_state::down;
  link_failure failure_ = link_failure::none;
  std::string failure_text_;
  bool certificate_refused_ = false;  // in this attempt
  std::string certificate_reason_;
  bool login_refused_ = false;
  bool lost_over_publish_ = false;
  bool tls_refused_ = false;        // the server answered STARTTLS with <failure/>
  bool srv_lookup_failed_ = false;  // no SRV record: the library tried the domain's address
  int socket_ = -1;
  int connect_error_ = 0;    // the socket's error, when the connection failed
  bool was_online_ = false;  // this attempt reached a session
  std::string last_library_error_;
  int unanswered_ = 0;
  unsigned long next_id_ = 1;
  std::optional<bool> pep_offered_;
};

}  // namespace tune_publish
