// A long randomised player session through the shipped foo_vek_ipc.dll, loaded
// with LoadLibrary and reached only through its export and tables. Every step
// is checked against a model kept here: the title (this process, and now and
// then another one), the console lines, the references handed out; memory and
// the module's live heap blocks are checked at checkpoints.
//
//   vek_soak [--events N] [--seed S] [--child-every N] [--checkpoints N]
//   vek_soak --read-title   (prints "window: <title>" or "no window")
// clang-format off
#include <windows.h>
#include <psapi.h>  // needs windows.h first
// clang-format on

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "harness/module_heap.h"
#include "harness/module_loader.h"
#include "harness/player_fakes.h"
#include "harness/raw_call.h"
#include "harness/ucrt_format.h"
#include "harness/window_title.h"

namespace {

const std::string failure_line = "VEK IPC: 'SetData' Failed!\r\n";
const std::string start_line = "VEK IPC Plugin Initialized\r\n";
// Growth of committed private memory allowed after warm-up: the two record
// buffers of the largest record the generator makes (the component gives the
// spare one back once records are small again, so it may be gone at the first
// checkpoint), 8 MiB each, and room for the heap's fragmentation: about what
// losing 24 bytes per event would add over a million events.
constexpr std::size_t memory_bound = 24u << 20;

[[noreturn]] void fatal(const std::string& what) {
  std::fprintf(stderr, "soak: %s\n", what.c_str());
  std::fflush(stderr);
  ExitProcess(2);
}

std::string expected_length(double seconds) {
  if (!std::isfinite(seconds)) return "0";
  char text[512];
  const int written = harness::ucrt_snprintf(text, sizeof text, "%.0f", seconds);
  if (written <= 0 || written > 254) return "0";
  return std::string(text, written);
}

// --- The record, encoded here bit by bit rather than by byte groups ---

void append_base64_with_zero(std::string& out, std::string_view text) {
  static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::uint32_t pending = 0;
  int bits = 0;
  std::size_t emitted = 0;
  auto push = [&](unsigned char byte) {
    pending = (pending << 8 | byte) & 0xFFFF;
    for (bits += 8; bits >= 6; ++emitted) out += alphabet[pending >> (bits -= 6) & 63];
  };
  for (char c : text) push(static_cast<unsigned char>(c));
  push(0);
  if (bits) out += alphabet[pending << (6 - bits) & 63], ++emitted;
  for (; emitted % 4; ++emitted) out += '=';
}

struct field {
  std::string name;
  std::vector<std::string> values;
  bool found_by_name = true;  // false: the track's find_field passes it over
};

struct track {
  std::vector<field> fields;
  double length = 0;
  bool fold_case = false;  // find_field compares names ignoring ASCII case, as the player's does
};

bool same_name(std::string_view a, std::string_view b, bool fold_case) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    unsigned char x = a[i], y = b[i];
    if (fold_case && x >= 'A' && x <= 'Z') x += 32;
    if (fold_case && y >= 'A' && y <= 'Z') y += 32;
    if (x != y) return false;
  }
  return true;
}

std::uint32_t lookup(const track& t, std::string_view name) {
  for (std::size_t i = 0; i < t.fields.size(); ++i)
    if (t.fields[i].found_by_name && same_name(t.fields[i].name, name, t.fold_case))
      return static_cast<std::uint32_t>(i);
  return track_info::no_field;
}

// Empty when the track has no fields: then nothing is published.
std::string expected_record(const track& t) {
  if (t.fields.empty()) return {};
  std::vector<std::string_view> values(t.fields.size());
  for (std::size_t i = 0; i < t.fields.size(); ++i) {
    const std::uint32_t found = lookup(t, t.fields[i].name);
    if (found != track_info::no_field && !t.fields[found].values.empty()) values[i] = t.fields[found].values[0];
  }
  // Sized first: growing by doubling would leave blocks behind that blur the memory figures.
  auto encoded = [](std::size_t bytes) { return (bytes + 1 + 2) / 3 * 4 + 1; };
  std::size_t size = encoded(6) + encoded(254);
  for (std::size_t i = 0; i < t.fields.size(); ++i)
    size += encoded(t.fields[i].name.size()) + encoded(values[i].size());
  std::string record;
  record.reserve(size);
  for (std::size_t i = 0; i < t.fields.size(); ++i) {
    append_base64_with_zero(record, t.fields[i].name);
    record += ':';
    append_base64_with_zero(record, values[i]);
    record += ';';
  }
  append_base64_with_zero(record, "length");
  record += ':';
  append_base64_with_zero(record, expected_length(t.length));
  record += ';';
  return record;
}

// The player's track information over one track, valid for one call.
class soak_track_info final : public track_info {
 public:
  explicit soak_track_info(const track& t) : t_(t) {}
  double length_seconds() const override { return t_.length; }
  void unused_slot_1() override { fatal("unused track_info slot 1 called"); }
  void unused_slot_2() override { fatal("unused track_info slot 2 called"); }
  void unused_slot_3() override { fatal("unused track_info slot 3 called"); }
  std::uint32_t field_count() const override { return static_cast<std::uint32_t>(t_.fields.size()); }
  const char* field_name(std::uint32_t i) const override { return at(i).name.c_str(); }
  std::uint32_t field_value_count(std::uint32_t i) const override {
    return static_cast<std::uint32_t>(at(i).values.size());
  }
  const char* field_value(std::uint32_t i, std::uint32_t v) const override {
    if (v >= at(i).values.size()) fatal("field_value past the field's values");
    return at(i).values[v].c_str();
  }
  std::uint32_t find_field(const char* name, std::uint32_t length) const override {
    return lookup(t_, length == 0xFFFFFFFF ? std::string_view(name) : std::string_view(name, length));
  }

 private:
  const field& at(std::uint32_t i) const {
    if (i >= t_.fields.size()) fatal("field index past the track's fields");
    return t_.fields[i];
  }
  const track& t_;
};

// --- Random tracks ---

class generator {
 public:
  explicit generator(std::uint64_t seed) : rng_(seed) {}
  std::uint64_t below(std::uint64_t n) { return n ? rng_() % n : 0; }
  bool chance(unsigned per_mille) { return below(1000) < per_mille; }

  // Never a zero byte: the player's texts are zero-terminated.
  std::string text(std::size_t size) {
    std::string out;
    out.reserve(size + 4);
    const int kind = static_cast<int>(below(4));
    while (out.size() < size) {
      switch (kind) {
        case 0:  // printable, with the record's own separators
          out += static_cast<char>(chance(100) ? ":;="[below(3)] : 32 + below(95));
          break;
        case 1:  // valid UTF-8
          append_utf8(out, code_point());
          break;
        case 2:  // any byte but zero: mostly invalid UTF-8
          out += static_cast<char>(1 + below(255));
          break;
        default:  // control bytes and separators
          out += static_cast<char>(chance(500) ? 1 + below(31) : ":;=\x7F"[below(4)]);
      }
    }
    return out;
  }

  std::size_t value_size(bool& huge_taken) {
    const std::uint64_t r = below(1000);
    if (r < 600) return below(17);
    if (r < 900) return below(257);
    if (r < 990) return below(4097);
    if (r < 999 || huge_taken) return below(65537);
    huge_taken = true;  // at most one value of up to 1 MiB per track
    return 65536 + below((1 << 20) - 65536 + 1);
  }

  std::string name() {
    static const char* const common[] = {"title", "artist", "album", "tracknumber", "length", "genre", "date", ""};
    if (chance(400)) return text(below(33));
    std::string n = common[below(std::size(common))];
    for (char& c : n)
      if (chance(150)) c = static_cast<char>(c - 32);  // differently cased
    return n;
  }

  double length() {
    std::uint64_t bits = 0;
    double value = 0;
    switch (below(16)) {
      case 0:
        return 0.0;
      case 1:
        return -0.0;
      case 2:
        return static_cast<double>(static_cast<std::int64_t>(below(4001)) - 2000) + 0.5;  // ties
      case 3:
        return chance(500) ? std::numeric_limits<double>::quiet_NaN() : -std::numeric_limits<double>::quiet_NaN();
      case 4:
        return std::numeric_limits<double>::infinity();
      case 5:
        return -std::numeric_limits<double>::infinity();
      case 6:
        return chance(500) ? 1e300 : -1e300;
      case 7:  // denormal, either sign
        bits = (rng_() & 0x000FFFFFFFFFFFFFull) | 1 | (chance(500) ? 0x8000000000000000ull : 0);
        std::memcpy(&value, &bits, sizeof value);
        return value;
      case 8:  // around the 254-character limit of the text
        return (chance(500) ? 1 : -1) * std::ldexp(1.0 + static_cast<double>(below(1000)) / 1000, 838 + below(7));
      case 9:
        bits = rng_();
        std::memcpy(&value, &bits, sizeof value);
        return value;
      case 10:
        return -static_cast<double>(below(100000000)) / 100;
      default:
        return static_cast<double>(below(100000000)) / 100;
    }
  }

  track make_track() {
    track t;
    t.fold_case = chance(500);
    t.length = length();
    bool huge_taken = false;
    const std::uint64_t count = chance(100) ? 0 : below(65);
    for (std::uint64_t i = 0; i < count; ++i) {
      field f{name(), {}, !chance(30)};
      const std::uint64_t values = chance(100) ? 0 : chance(800) ? 1 : 2 + below(2);
      for (std::uint64_t v = 0; v < values; ++v) f.values.push_back(text(value_size(huge_taken)));
      t.fields.push_back(std::move(f));
    }
    // A value over 64 KiB found under several names would be published once per name and outgrow the warm-up.
    for (std::size_t i = 0; i < t.fields.size(); ++i) {
      std::string* first = t.fields[i].values.empty() ? nullptr : &t.fields[i].values[0];
      if (!first || first->size() <= 65536) continue;
      int published = 0;
      for (const field& f : t.fields) published += lookup(t, f.name) == i;
      if (published > 1) first->resize(65536);
    }
    return t;
  }

  // A radio stream: one field changes its value (or the track gains its first field).
  void radio_update(track& t) {
    if (t.fields.empty()) {
      t.fields.push_back({"title", {text(below(40))}});
      return;
    }
    field& f = t.fields[below(t.fields.size())];
    bool huge_taken = true;
    if (f.values.empty()) f.values.emplace_back();
    f.values[0] = text(value_size(huge_taken));
  }

 private:
  std::uint32_t code_point() {
    for (;;) {
      const std::uint64_t r = below(4);
      const std::uint32_t c = static_cast<std::uint32_t>(r == 0   ? 1 + below(0x7F)
                                                         : r == 1 ? 0x80 + below(0x780)
                                                         : r == 2 ? 0x800 + below(0xF800)
                                                                  : 0x10000 + below(0x100000));
      if (c < 0xD800 || c > 0xDFFF) return c;
    }
  }
  static void append_utf8(std::string& out, std::uint32_t c) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6), out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | c >> 12), out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | c >> 18), out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F)), out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }

  std::mt19937_64 rng_;
};

std::size_t committed_private_bytes() {
  std::size_t total = 0;
  MEMORY_BASIC_INFORMATION region;
  for (auto* address = static_cast<const std::uint8_t*>(nullptr);
       VirtualQuery(address, &region, sizeof region) == sizeof region;
       address = static_cast<const std::uint8_t*>(region.BaseAddress) + region.RegionSize) {
    if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += region.RegionSize;
    if (static_cast<const std::uint8_t*>(region.BaseAddress) + region.RegionSize <= address) break;
  }
  return total;
}

// --- The second process ---

std::string read_title_in_child() {
  const harness::process_result child = harness::run_process(harness::this_program() + L" --read-title");
  if (!child.started) fatal("cannot start the reading child: " + child.problem);
  return child.output;
}

// --- The session ---

struct options {
  std::uint64_t seed = 0;
  std::uint64_t events = 20000;
  std::uint64_t child_every = 1000;
  std::uint64_t checkpoints = 20;
};

class session {
 public:
  explicit session(const options& o) : o_(o), random_(o.seed) {}
  int run();
  std::uint64_t step() const { return step_; }

 private:
  void load();
  void start();
  void quit();
  void next_event();
  void check(const char* event);
  void checkpoint(bool final);
  void fault(const char* event, const std::string& what);
  void* handler() const { return registry_.registrations().back().handler; }
  void published(const std::string& text);  // a write the handler makes
  void info(const track& t);
  void handle_event(handler_slot slot);

  options o_;
  generator random_;
  harness::loaded_module module_;
  void* client_ = nullptr;
  void* initquit_ = nullptr;
  player_host_api api_;
  player_console_sink consoles_[2];
  player_callback_registry registry_;

  // The model.
  track current_;
  bool running_ = false, window_ = false, ready_ = true;
  std::string title_, last_record_;
  std::size_t expected_lines_ = 0, checked_lines_ = 0;
  const std::string* line_text_ = &failure_line;  // what this step may print
  double last_length_ = 0;
  long long starts_ = 0;

  // Counts.
  std::uint64_t step_ = 0, titles_checked_ = 0, child_reads_ = 0, mismatches_ = 0, tie_mismatches_ = 0, faults_ = 0,
                writes_ = 0, failed_writes_ = 0, tampered_ = 0, ties_ = 0;
  std::size_t memory_start_ = 0, memory_base_ = 0, memory_peak_ = 0;
  long long blocks_base_ = 0, starts_at_base_ = 0;
  bool have_base_ = false;
};

void session::fault(const char* event, const std::string& what) {
  if (++faults_ <= 10)
    std::printf("FAULT seed=%llu step=%llu event=%s: %s\n", static_cast<unsigned long long>(o_.seed),
                static_cast<unsigned long long>(step_), event, what.c_str());
}

void session::load() {
  if (!module_.handle()) fatal("foo_vek_ipc.dll: " + module_.problem());
  if (module_heap::count_calls_of(module_.handle()) != 4)
    fatal("the module does not import malloc, calloc, realloc and free");
  for (auto& sink : consoles_) api_.add_service(sink);
  api_.add_service(registry_);
  if (!(client_ = module_.enter(&api_))) fatal(module_.problem());
  if (!(initquit_ = module_.service(initquit_class))) fatal("no init/quit factory: " + module_.problem());
  raw::call<void>(client_, set_module_location, "Z:\\components", "foo_vek_ipc.dll");
  raw::call<void>(client_, set_services_ready, 1u);
}

void session::start() {
  const std::size_t handlers = registry_.registrations().size();
  raw::call<void>(initquit_, start_slot);
  running_ = window_ = true;
  title_.clear();
  ++starts_;
  if (ready_) ++expected_lines_, line_text_ = &start_line;
  if (registry_.registrations().size() != handlers + 1 || registry_.registrations().back().event_mask != 0xD6)
    fault("start", "the handler was not registered once with mask 0xD6");
}

void session::quit() {
  raw::call<void>(initquit_, quit_slot);
  running_ = window_ = false;
}

void session::published(const std::string& text) {
  if (!running_) return;
  ++writes_;
  if (window_) {
    title_ = text;
  } else {
    ++failed_writes_;
    if (ready_) ++expected_lines_;
  }
}

void session::info(const track& t) {
  const soak_track_info information(t);
  raw::call<void>(handler(), dynamic_info, static_cast<const track_info*>(&information));
  last_length_ = t.length;
  const std::string record = expected_record(t);
  if (record.empty() || record == last_record_ || !running_) return;
  published(record);
  last_record_ = record;
}

void session::handle_event(handler_slot slot) {
  counting_track_handle handle;
  const bool null = random_.chance(200);
  if (!null) handle.add_reference();  // the reference the handler receives and owns
  raw::call<void>(handler(), slot, null ? nullptr : static_cast<track_handle*>(&handle));
  if (handle.balance() != 0 || handle.release_calls() != (null ? 0 : 1))
    fault(slot == new_track ? "new_track" : "track_edited", "the handle was not released exactly once");
}

void session::next_event() {
  const char* event = "";
  const std::uint64_t r = random_.below(1000);
  if (!running_) {
    // Between quit and start the player may still deliver to the retired handler.
    if (r < 300) {
      event = "start", start();
    } else if (r < 600) {
      event = "late info", info(random_.make_track());
    } else if (r < 800) {
      event = "late stop", raw::call<void>(handler(), playback_stopped, 0u);
    } else {
      event = "late handle", handle_event(new_track);
    }
  } else if (!window_ && r < 50) {
    event = "quit", quit();  // the player's way back from a lost window: quit, then start
  } else if (r < 150) {
    event = "new track", current_ = random_.make_track(), info(current_);
    ties_ += std::isfinite(current_.length) && current_.length != std::trunc(current_.length) &&
             current_.length - std::floor(current_.length) == 0.5;
  } else if (r < 270) {
    event = "same info", info(current_);
  } else if (r < 300) {
    event = "tamper, same info";
    if (window_ && !title_.empty()) {
      title_ = "tampered " + std::to_string(step_);
      if (!SetWindowTextA(harness::find_ipc_window(), title_.c_str())) fatal("cannot tamper with the title");
      ++tampered_;
    }
    info(current_);
  } else if (r < 400) {
    event = "radio update", random_.radio_update(current_), info(current_);
  } else if (r < 410) {
    event = "no fields";
    track empty{{}, random_.length(), false};
    info(empty);
  } else if (r < 470) {
    event = "stop", raw::call<void>(handler(), playback_stopped, static_cast<std::uint32_t>(random_.below(3)));
    published("STOP");
  } else if (r < 520) {
    event = "pause", raw::call<void>(handler(), pause_changed, random_.chance(500));
  } else if (r < 570) {
    event = "seek", raw::call<void>(handler(), seek, random_.length());
  } else if (r < 720) {
    event = "time tick", raw::call<void>(handler(), time_tick, random_.length());
  } else if (r < 770) {
    event = "volume", raw::call<void>(handler(), volume_changed, static_cast<float>(random_.length()));
  } else if (r < 800) {
    event = "playback starting",
    raw::call<void>(handler(), playback_starting, static_cast<std::uint32_t>(random_.below(8)), random_.chance(500));
  } else if (r < 830) {
    event = "dynamic_info_track";
    const track passed = random_.make_track();
    const soak_track_info information(passed);
    raw::call<void>(handler(), dynamic_info_track, static_cast<const track_info*>(&information));
  } else if (r < 880) {
    event = "new_track", handle_event(new_track);
  } else if (r < 930) {
    event = "track_edited", handle_event(track_edited);
  } else if (r < 960 && registry_.registrations().size() > 1) {
    event = "retired handler";
    const auto& all = registry_.registrations();
    void* retired = all[random_.below(all.size() - 1)].handler;
    const track passed = random_.make_track();
    const soak_track_info information(passed);
    if (random_.chance(500))
      raw::call<void>(retired, playback_stopped, 0u);
    else
      raw::call<void>(retired, dynamic_info, static_cast<const track_info*>(&information));
  } else if (r < 975) {
    event = "services ready";
    const std::uint32_t word = static_cast<std::uint32_t>(random_.below(2) ? random_.below(256) : 0) |
                               static_cast<std::uint32_t>(random_.below(0x1000000)) << 8;
    raw::call<void>(client_, set_services_ready, word);
    ready_ = (word & 0xFF) != 0;
  } else if (r < 978) {
    event = "window destroyed";
    if (window_ && !DestroyWindow(harness::find_ipc_window())) fatal("cannot destroy the window");
    window_ = false;
  } else if (r < 983) {
    event = "quit", quit();
  } else {
    event = "stop", raw::call<void>(handler(), playback_stopped, 0u);
    published("STOP");
  }
  check(event);
}

void session::check(const char* event) {
  HWND window = harness::find_ipc_window();
  if (!window != !window_) fault(event, window ? "a window exists that should not" : "the window is missing");
  if (window && window_) {
    const std::string seen = harness::window_title(window);
    ++titles_checked_;
    if (seen != title_) {
      const double length = last_length_;
      tie_mismatches_ += std::isfinite(length) && length - std::floor(length) == 0.5;
      if (++mismatches_ <= 10) {
        std::size_t at = 0;
        while (at < seen.size() && at < title_.size() && seen[at] == title_[at]) ++at;
        const std::size_t from = at > 40 ? at - 40 : 0;
        fault(event, "title differs at byte " + std::to_string(at) + " (length " + std::to_string(last_length_) +
                         ")\n  expected ..." + title_.substr(from, 100) + "\n  seen     ..." + seen.substr(from, 100));
      }
      title_ = seen;  // carry on from what the reader sees
    }
  }
  if (o_.child_every && step_ % o_.child_every == 0) {
    const std::string seen = read_title_in_child();
    const std::string expected = harness::title_report(window_ ? std::optional(title_) : std::nullopt);
    ++child_reads_, ++titles_checked_;
    if (seen != expected) ++mismatches_, fault(event, "another process reads a different title");
  }
  for (auto& sink : consoles_) {
    const auto& lines = sink.writes();
    if (lines.size() != expected_lines_)
      fault(event, "console lines: " + std::to_string(lines.size()) + ", expected " + std::to_string(expected_lines_));
    for (std::size_t i = checked_lines_; i < lines.size(); ++i)
      if (lines[i].text != *line_text_) fault(event, "console line " + lines[i].text);
  }
  expected_lines_ = checked_lines_ = consoles_[0].writes().size();
  line_text_ = &failure_line;
}

void session::checkpoint(bool final) {
  const std::size_t memory = committed_private_bytes();
  std::int32_t held = registry_.balance();
  for (auto& sink : consoles_) held += sink.balance();
  if (held) fault("checkpoint", "references not released: " + std::to_string(held));
  // Each start keeps one handler block until unload; nothing else may stay.
  const long long blocks = module_heap::live_blocks - starts_;
  if (!have_base_) {
    have_base_ = true, memory_base_ = memory, blocks_base_ = blocks;
  } else {
    // The spare record buffer comes and goes: it is given back after a record
    // that needed far more storage than the current one.
    if (blocks > blocks_base_ + 1 || blocks < blocks_base_ - 1)
      fault("checkpoint", "module's live heap blocks (less one per start): " + std::to_string(blocks) +
                              ", after warm-up " + std::to_string(blocks_base_));
    if (memory > memory_base_ + memory_bound)
      fault("checkpoint", "committed private memory grew by " + std::to_string(memory - memory_base_) + " bytes");
  }
  memory_peak_ = std::max(memory_peak_, memory);
  std::printf("checkpoint step=%llu committed=%zu live_blocks=%lld starts=%lld heap_calls=%lld%s\n",
              static_cast<unsigned long long>(step_), memory, module_heap::live_blocks, starts_, module_heap::calls,
              final ? " (end)" : "");
  std::fflush(stdout);
}

int session::run() {
  std::printf("seed %llu, events %llu\n", static_cast<unsigned long long>(o_.seed),
              static_cast<unsigned long long>(o_.events));
  if (std::string problem; !harness::load_ucrt_formatter(problem)) fatal(problem);
  char tie[8];
  harness::ucrt_snprintf(tie, sizeof tie, "%.0f", 2.5);
  std::printf("ucrtbase \"%%.0f\" of 2.5: %s\n", tie);
  load();
  memory_start_ = committed_private_bytes();
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof counters;
  GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters);
  DWORD handles = 0;
  GetProcessHandleCount(GetCurrentProcess(), &handles);
  std::printf("GetProcessMemoryInfo PrivateUsage %lu, GetGuiResources USER %lu GDI %lu, GetProcessHandleCount %lu\n",
              static_cast<unsigned long>(counters.PrivateUsage), GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS),
              GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS), static_cast<unsigned long>(handles));
  start();
  check("start");

  // Warm-up: the largest record the generator can make (64 names of 32 bytes, one value of 1 MiB and 63 of
  // 64 KiB, each published once, a length of 254 digits), so every later one fits what was grown here.
  track largest{{}, 9e253, false};
  for (int i = 0; i < 64; ++i)
    largest.fields.push_back({std::string(30, 'w') + static_cast<char>('A' + i / 26) + static_cast<char>('a' + i % 26),
                              {std::string(i ? 65536 : 1 << 20, 'w')}});
  info(largest);
  check("warm-up");
  info(random_.make_track());
  check("warm-up");

  const std::uint64_t every = std::max<std::uint64_t>(1, o_.events / o_.checkpoints);
  for (step_ = 1; step_ <= o_.events; ++step_) {
    next_event();
    if (step_ % every == 0 && step_ < o_.events) checkpoint(false);
  }
  --step_;
  if (!running_) start(), check("start");
  quit();
  check("quit");
  checkpoint(true);
  const std::size_t memory_end = committed_private_bytes();
  std::printf(
      "events %llu\ntitles checked %llu (%llu by another process)\nwrites %llu (%llu made to fail), tampered %llu, "
      "ties %llu, starts %lld\nmismatches %llu (%llu of a length ending in .5)\nfaults %llu\nmemory start %zu, after "
      "warm-up %zu, peak %zu, end %zu\n",
      static_cast<unsigned long long>(o_.events), static_cast<unsigned long long>(titles_checked_),
      static_cast<unsigned long long>(child_reads_), static_cast<unsigned long long>(writes_),
      static_cast<unsigned long long>(failed_writes_), static_cast<unsigned long long>(tampered_),
      static_cast<unsigned long long>(ties_), starts_, static_cast<unsigned long long>(mismatches_),
      static_cast<unsigned long long>(tie_mismatches_), static_cast<unsigned long long>(faults_), memory_start_,
      memory_base_, memory_peak_, memory_end);
  std::fflush(stdout);
  return faults_ || mismatches_ ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  options o;
  o.seed = static_cast<std::uint64_t>(GetTickCount64()) * 2654435761u ^ GetCurrentProcessId();
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--read-title") return harness::print_title_report();
    if (i + 1 >= argc) fatal("usage: vek_soak [--events N] [--seed S] [--child-every N] [--checkpoints N]");
    const std::uint64_t value = std::strtoull(argv[++i], nullptr, 10);
    if (argument == "--events")
      o.events = value;
    else if (argument == "--seed")
      o.seed = value;
    else if (argument == "--child-every")
      o.child_every = value;
    else if (argument == "--checkpoints")
      o.checkpoints = std::max<std::uint64_t>(1, value);
    else
      fatal("unknown option " + std::string(argument));
  }
  session s(o);
  try {
    return s.run();
  } catch (const std::exception& error) {
    std::printf("FAULT seed=%llu step=%llu: the component let out an error: %s\n",
                static_cast<unsigned long long>(o.seed), static_cast<unsigned long long>(s.step()), error.what());
    return 1;
  }
}
