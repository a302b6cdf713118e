// A player built in Microsoft's C++ ABI that loads the component under Wine.
// Errors leaving the component must arrive as the player's own C++ errors, and
// the player's errors must pass through the component unchanged, with every
// reference given back. One scenario per run, named by the argument.
#include "player_exceptions.h"
#include "player_objects.h"
#include "player_process.h"
#include "report.h"
#include "test_exports.h"

namespace {

constexpr wchar_t shipped_module[] = L"foo_vek_ipc.dll";
constexpr wchar_t test_module[] = L"foo_vek_ipc_test.dll";

// --- Catching: one catch clause per function ---

// What came out of a call. The message is copied while the error object lives.
struct caught_error {
  bool raised = false;  // anything left the call
  bool caught = false;  // by the clause under test
  int detail = 0;       // of a player_error
  const char* what_address = nullptr;
  char what[64] = {};
};

template <class Error>
caught_error seen(const Error& error, bool by_the_clause) {
  caught_error result;
  result.raised = true;
  result.caught = by_the_clause;
  if constexpr (requires { error.detail; }) result.detail = error.detail;
  result.what_address = error.what();
  const std::size_t length = strlen(result.what_address);
  memcpy(result.what, result.what_address, length < sizeof result.what ? length : sizeof result.what - 1);
  return result;
}

template <class Caught, class Call>
caught_error catch_as(const Call& call) {
  try {
    call();
  } catch (Caught& error) {
    return seen(error, true);
  }
  return {};
}

template <class Call>
caught_error catch_by_value(const Call& call) {
  try {
    call();
  } catch (std::exception error) {
    return seen(error, true);
  }
  return {};
}

// An error the clause under test missed, kept for the report.
template <class Call>
caught_error missed_error(const Call& call) {
  try {
    return call();
  } catch (std::exception& error) {
    return seen(error, false);
  }
}

template <class Call>
caught_error missed_anything(const Call& call) {
  try {
    return missed_error(call);
  } catch (...) {
    caught_error result;
    result.raised = true;
    return result;
  }
}

// Runs `call` inside the clause under test, and catches whatever that misses.
template <class Caught, class Call>
caught_error probe(const Call& call) {
  return missed_anything([&] { return catch_as<Caught>(call); });
}

template <class Call>
bool caught_by_ellipsis(const Call& call) {
  try {
    call();
  } catch (...) {
    return true;
  }
  return false;
}

// --- The nine component error types and their bases ---

using raiser = void (*)(int kind);

template <class Caught>
caught_error probe_raiser(raiser raise, int kind) {
  return probe<Caught>([=] { raise(kind); });
}

struct error_type {
  const char* name;
  int base;             // the kind of the direct base; none for std::exception
  const char* message;  // what() of the component's error; null when not fixed
  caught_error (*probe)(raiser, int);
};

// clang-format off
constexpr error_type error_table[component_error_kinds] = {
    {},
    {"std::exception", no_component_error, nullptr, probe_raiser<std::exception>},
    {"std::bad_alloc", std_exception_error, "bad allocation", probe_raiser<std::bad_alloc>},
    {"pfc::exception_overflow", std_exception_error, "Overflow", probe_raiser<pfc::exception_overflow>},
    {"exception_service_not_found", std_exception_error, "Service not found",
     probe_raiser<exception_service_not_found>},
    {"exception_service_duplicated", std_exception_error, "Service duplicated",
     probe_raiser<exception_service_duplicated>},
    {"foobar2000_io::exception_io", std_exception_error, "I/O error", probe_raiser<foobar2000_io::exception_io>},
    {"foobar2000_io::exception_io_data", io_error, "Unsupported format or corrupted file",
     probe_raiser<foobar2000_io::exception_io_data>},
    {"foobar2000_io::exception_io_data_truncation", io_data_error, "Unsupported format or corrupted file",
     probe_raiser<foobar2000_io::exception_io_data_truncation>},
    {"foobar2000_io::exception_aborted", std_exception_error, "User abort",
     probe_raiser<foobar2000_io::exception_aborted>},
};
// clang-format on

bool derives_from(int kind, int base) {
  for (; kind != no_component_error; kind = error_table[kind].base)
    if (kind == base) return true;
  return false;
}

// Each type raised by `raise` is caught by catch (...) and by each of its
// bases, by no other of the nine, and says its message.
void expect_catch_table(const char* source, raiser raise) {
  for (int kind = 1; kind < component_error_kinds; ++kind) {
    const error_type& raised = error_table[kind];
    expect(caught_by_ellipsis([=] { raise(kind); }), "%s %s: not caught by catch (...)", raised.name, source);
    for (int handler = 1; handler < component_error_kinds; ++handler) {
      const caught_error result = error_table[handler].probe(raise, kind);
      const bool should = derives_from(kind, handler);
      if (!expect(result.raised, "%s %s: nothing was raised", raised.name, source)) return;
      expect(result.caught == should, "%s %s: %s as %s (what: \"%s\")", raised.name, source,
             should ? "not caught" : "caught", error_table[handler].name, result.what);
      if (result.caught && raised.message)
        expect(strcmp(result.what, raised.message) == 0, "%s %s, caught as %s: what() \"%s\"", raised.name, source,
               error_table[handler].name, result.what);
    }
  }
}

// The test module's save raising the kind asked for.
component_client* raising_client = nullptr;
void(__cdecl* raise_on_next_save)(int kind) = nullptr;

void raise_from_component(int kind) {
  raise_on_next_save(kind);
  player_writer out;
  player_abort abort;
  raising_client->save_configuration(&out, &abort);
}

// --- The player's errors coming back ---

// `call` makes the component call a player object planned to raise
// player_error(detail): that error comes back whole and is gone once handled.
template <class Call>
bool expect_own_error_back(const char* where, int detail, const Call& call) {
  const caught_error result = probe<player_error>(call);
  if (!expect(result.caught, "%s: the player's error %s (what: \"%s\")", where,
              result.raised ? "came back as another type" : "did not come back", result.what))
    return false;
  expect(result.detail == detail, "%s: detail %d, expected %d", where, result.detail, detail);
  expect_text(result.what, player_error::message, where);
  return expect(player_error::alive == 0, "%s: %d player errors still alive", where, player_error::alive);
}

// --- Configuration streams of the test variable ---

// Records of the test variable: key, 32-bit little-endian length, data.
struct configuration_bytes {
  std::uint8_t bytes[128] = {};
  std::uint32_t size = 0;

  configuration_bytes& record(const char* data) {
    const std::uint32_t length = strlen(data);
    memcpy(bytes + size, test_variable_key, sizeof test_variable_key);
    size += sizeof test_variable_key;
    for (int shift = 0; shift < 32; shift += 8) bytes[size++] = static_cast<std::uint8_t>(length >> shift);
    memcpy(bytes + size, data, length);
    size += length;
    return *this;
  }
};

using take_loaded_function = unsigned(__cdecl*)(char* destination, unsigned capacity);

// --- Scenarios ---

// Two playback-callback registries: start's exception_service_duplicated
// reaches the player, once per form of handler, and nothing else is lost.
void duplicated_registry() {
  loaded_component component(shipped_module);
  player_host_api api;
  player_console console;
  player_registry registries[2];
  for (player_registry& registry : registries) api.add_service(registry);
  api.add_service(console);
  component.enter(api).set_services_ready(1);
  initquit& init = component.service<initquit>();
  struct {
    const char* handler;
    caught_error (*start)(initquit&);
  } const rounds[] = {
      {"exception_service_duplicated&",
       [](initquit& service) { return probe<exception_service_duplicated>([&] { service.start(); }); }},
      {"std::exception&", [](initquit& service) { return probe<std::exception>([&] { service.start(); }); }},
      {"std::exception by value",
       [](initquit& service) { return missed_anything([&] { return catch_by_value([&] { service.start(); }); }); }}};
  for (const auto& round : rounds) {
    const caught_error result = round.start(init);
    if (expect(result.caught, "start: not caught as %s (%s, what: \"%s\")", round.handler,
               result.raised ? "another type" : "nothing raised", result.what))
      expect_text(result.what, "Service duplicated", round.handler);
    expect(ipc_window(), "%s: no window after the failed start", round.handler);
    expect(console.line_count() == 0, "%s: %u console lines", round.handler, console.line_count());
    for (const player_registry& registry : registries)
      expect(registry.balance() == 0, "%s: registry references not released: %d", round.handler, registry.balance());
    init.quit();
    expect(!ipc_window(), "%s: the window is still there after quit", round.handler);
  }
}

// Every one of the nine error types leaving the test module.
void error_types() {
  loaded_component component(test_module);
  player_host_api api;
  raising_client = &component.enter(api);
  raise_on_next_save = reinterpret_cast<void(__cdecl*)(int)>(component.export_named(raise_on_next_save_export));
  expect_catch_table("raised by the module", raise_from_component);
}

// The shipped module entered as the player enters it, with one registry and
// one console, services ready.
struct player_session {
  loaded_component component{shipped_module};
  player_host_api api;
  player_console console;
  player_registry registry;
  initquit& init;

  player_session() : init(enter()) {}
  initquit& enter() {
    api.add_service(registry);
    api.add_service(console);
    component_client& client = component.enter(api);
    client.set_module_location("Z:\\components", "foo_vek_ipc.dll");
    client.set_services_ready(1);
    return component.service<initquit>();
  }
  bool references_released(const char* where) const {
    return expect(console.balance() == 0 && registry.balance() == 0,
                  "%s: references not released: console %d, registry %d", where, console.balance(), registry.balance());
  }
};

// The player's own error raised by each player object start calls comes back
// whole; after each the module quits, and in the end starts cleanly.
void player_errors_in_start() {
  player_session player;
  // Create call 2 asks for a second console while the first is held.
  struct {
    const char* where;
    fault_point& point;
    std::uint32_t slot, nth;
  } const start_faults[] = {
      {"host_api find_service_class", player.api.faults, player_host_api::find_service_class_slot, 0},
      {"host_api count_service_instances", player.api.faults, player_host_api::count_service_instances_slot, 0},
      {"host_api create_service_instance", player.api.faults, player_host_api::create_service_instance_slot, 0},
      {"host_api create_service_instance of a console", player.api.faults,
       player_host_api::create_service_instance_slot, 2},
      {"console write_text", player.console.faults, player_console::write_text_slot, 0},
      {"registry register_callback", player.registry.faults, player_registry::register_callback_slot, 0},
  };
  fault_point* const points[] = {&player.api.faults, &player.console.faults, &player.registry.faults};
  int detail = 100;
  for (const auto& fault : start_faults) {
    for (fault_point* point : points) point->clear();
    fault.point.plan(fault.slot, fault.nth, player_fault::own_error, ++detail);
    expect_own_error_back(fault.where, detail, [&] { player.init.start(); });
    player.references_released(fault.where);
    player.init.quit();
    expect(!ipc_window(), "%s: the window is still there after quit", fault.where);
  }
  for (fault_point* point : points) point->clear();
  const std::uint32_t lines_before = player.console.line_count();
  player.init.start();
  expect(player.console.line_count() == lines_before + 1, "a clean start printed %u lines",
         player.console.line_count() - lines_before);
  expect(player.registry.registrations() > 0, "a clean start registered no handler");
  player.init.quit();
  player.references_released("after a clean start");
}

// The player's own error raised by the track information, a track handle and
// a player string the started module calls comes back whole; the module keeps
// publishing and answering.
void player_errors_after_start() {
  player_session player;
  expect(count_heap_calls_of(player.component.module()), "the module imports no heap functions to count");
  player.init.start();
  play_callback* handler = player.registry.last_handler();
  if (!expect(handler, "start registered no handler")) return;
  int detail = 200;

  // During dynamic_info: the title stays, nothing of the module's heap is
  // left behind, and the next information is published.
  constexpr track_field a[] = {{"title", "A"}}, b[] = {{"title", "B"}};
  const char* const record_a = "dGl0bGUA:QQA=;bGVuZ3RoAA==:MAA=;";
  const char* const record_b = "dGl0bGUA:QgA=;bGVuZ3RoAA==:MAA=;";
  char title[256];
  const player_track_info info_a(a, 0), info_b(b, 0);
  // B then A: both of the module's record buffers have grown, so what a
  // failed event leaves behind shows in the live blocks.
  handler->dynamic_info(&info_b);
  handler->dynamic_info(&info_a);
  expect_text(ipc_window_title(title), record_a, "the title for A");
  const int live_blocks = live_heap_blocks();
  const std::uint32_t failing_slots[] = {player_track_info::field_name_slot, player_track_info::length_seconds_slot};
  for (std::uint32_t slot : failing_slots) {
    player_track_info failing(b, 0);
    failing.faults.plan(slot, 0, player_fault::own_error, ++detail);
    expect_own_error_back("dynamic_info: track_info", detail, [&] { handler->dynamic_info(&failing); });
    expect_text(ipc_window_title(title), record_a, "the title after a failed dynamic_info");
  }
  expect(live_heap_blocks() == live_blocks, "failed dynamic_info calls left %d heap blocks of the module",
         live_heap_blocks() - live_blocks);
  handler->dynamic_info(&info_b);
  expect_text(ipc_window_title(title), record_b, "the title for B after the failures");

  // A track handle whose release raises.
  player_track_handle track;
  track.add_reference();  // the one the module owns
  track.faults.plan(player_track_handle::release_slot, 0, player_fault::own_error, ++detail);
  expect_own_error_back("new_track: track handle release", detail, [&] { handler->new_track(&track); });
  expect(track.balance() == 0, "new_track: track references not released: %d", track.balance());

  // The identity's answers through a player string whose set_text raises.
  componentversion& identity = player.component.service<componentversion>();
  using question = void (componentversion::*)(pfc::string_base&);
  const question slots_3_to_6[] = {&componentversion::file_name, &componentversion::component_name,
                                   &componentversion::component_version, &componentversion::about_text};
  for (question ask : slots_3_to_6) {
    player_string answer;
    answer.faults.plan(player_string::set_text_slot, 0, player_fault::own_error, ++detail);
    expect_own_error_back("componentversion: string set_text", detail, [&] { (identity.*ask)(answer); });
  }
  player_string name;
  identity.component_name(name);
  expect_text(name.text(), "VEK IPC", "the component name after the failures");

  player.init.quit();
  expect(!ipc_window(), "the window is still there after quit");
  player.references_released("after quit");
}

// Save and load through the test module's variables: the player's errors from
// the streams and the abort signal come back whole, the player's truncation is
// swallowed for its record only, and the player's abort passes through.
void configuration() {
  loaded_component component(test_module);
  player_host_api api;
  component_client& client = component.enter(api);
  const auto take_loaded = reinterpret_cast<take_loaded_function>(component.export_named(take_loaded_export));
  char loaded[128];
  player_abort abort;

  player_writer saved;
  client.save_configuration(&saved, &abort);
  const configuration_bytes expected_save = configuration_bytes().record("saved");
  expect(saved.size() == expected_save.size && memcmp(saved.bytes(), expected_save.bytes, expected_save.size) == 0,
         "save wrote %u bytes, not the one record", saved.size());
  expect(abort.faults.calls(player_abort::cancel_requested_slot) == 1, "save polled the abort signal %u times",
         abort.faults.calls(player_abort::cancel_requested_slot));

  player_writer failing_writer;
  failing_writer.faults.plan(player_writer::write_bytes_slot, 0, player_fault::own_error, 1);
  expect_own_error_back("save: stream write_bytes", 1, [&] { client.save_configuration(&failing_writer, &abort); });
  player_abort failing_abort;
  failing_abort.faults.plan(player_abort::cancel_requested_slot, 0, player_fault::own_error, 2);
  expect_own_error_back("save: abort cancel_requested", 2, [&] { client.save_configuration(&saved, &failing_abort); });

  // Read call 1 is the variable's own read of the first record.
  const configuration_bytes two_records = configuration_bytes().record("first").record("second");
  player_reader truncated(two_records.bytes, two_records.size);
  truncated.faults.plan(player_reader::read_bytes_slot, 1, player_fault::truncation);
  const caught_error escaped = probe<std::exception>([&] { client.load_configuration(&truncated, &abort); });
  expect(!escaped.raised, "load: the player's truncation was not swallowed (what: \"%s\")", escaped.what);
  take_loaded(loaded, sizeof loaded);
  expect_text(loaded, "second;", "load after a truncated record");
  expect(truncated.position() == two_records.size, "load stopped at byte %u of %u", truncated.position(),
         two_records.size);

  player_reader aborting(two_records.bytes, two_records.size);
  aborting.faults.plan(player_reader::read_bytes_slot, 1, player_fault::abort);
  const caught_error aborted =
      probe<foobar2000_io::exception_aborted>([&] { client.load_configuration(&aborting, &abort); });
  expect(aborted.caught, "load: the player's abort %s (what: \"%s\")",
         aborted.raised ? "came back as another type" : "was swallowed", aborted.what);
  expect(!aborted.caught || aborted.what_address == player_abort_message,
         "load: the abort that came back is not the player's object");
  take_loaded(loaded, sizeof loaded);
  expect_text(loaded, "", "load after an abort");

  player_reader failing_reader(two_records.bytes, two_records.size);
  failing_reader.faults.plan(player_reader::read_bytes_slot, 1, player_fault::own_error, 3);
  expect_own_error_back("load: stream read_bytes", 3, [&] { client.load_configuration(&failing_reader, &abort); });

  const configuration_bytes one_record = configuration_bytes().record("third");
  player_reader clean(one_record.bytes, one_record.size);
  client.load_configuration(&clean, &abort);
  take_loaded(loaded, sizeof loaded);
  expect_text(loaded, "third;", "a clean load after the failures");
}

// Alternating rounds of a module error leaving and a player error passing
// through: nothing accumulates in the exception chain, in player error
// objects, in committed memory or in the module's heap.
void rounds() {
  constexpr int warm_up_rounds = 200, measured_rounds = 10000;
  constexpr int memory_bound = 64 * 1024;
  loaded_component component(test_module);
  if (!expect(count_heap_calls_of(component.module()), "the module imports no heap functions to count")) return;
  player_host_api api;
  raising_client = &component.enter(api);
  raise_on_next_save = reinterpret_cast<void(__cdecl*)(int)>(component.export_named(raise_on_next_save_export));

  const auto round = [](int number) {
    if (number % 2 == 0) {
      const int kind = 1 + number / 2 % (component_error_kinds - 1);
      const caught_error result = probe<std::exception>([=] { raise_from_component(kind); });
      return expect(result.caught, "round %d: %s from the module not caught as std::exception", number,
                    error_table[kind].name);
    }
    player_writer failing;
    player_abort abort;
    failing.faults.plan(player_writer::write_bytes_slot, 0, player_fault::own_error, number);
    return expect_own_error_back("a round's stream write_bytes", number,
                                 [&] { raising_client->save_configuration(&failing, &abort); });
  };
  for (int number = 0; number < warm_up_rounds; ++number)
    if (!round(number)) return;

  void* const chain_head = exception_chain_head();
  const std::size_t committed = committed_private_bytes();
  const int live_blocks = live_heap_blocks(), heap_calls = counted_heap_calls();
  for (int number = 0; number < measured_rounds; ++number) {
    if (!round(number)) return;
    if (!expect(exception_chain_head() == chain_head, "round %d: the exception chain head moved from %p to %p", number,
                chain_head, exception_chain_head()))
      return;
  }
  const int grown = static_cast<int>(committed_private_bytes() - committed);  // may shrink
  print("committed private memory %u bytes, grown by %d; module heap blocks %d -> %d after %d heap calls", committed,
        grown, live_blocks, live_heap_blocks(), counted_heap_calls() - heap_calls);
  expect(counted_heap_calls() > heap_calls, "no heap call of the module was counted");
  expect(grown <= memory_bound, "committed private memory grew by %d bytes", grown);
  expect(live_heap_blocks() == live_blocks, "the module's live heap blocks went from %d to %d", live_blocks,
         live_heap_blocks());
  expect(player_error::alive == 0, "%d player errors alive", player_error::alive);
}

struct scenario {
  const char* name;
  void (*run)();
};
constexpr scenario scenarios[] = {
    {"duplicated_registry", duplicated_registry},
    {"error_types", error_types},
    {"player_errors_in_start", player_errors_in_start},
    {"player_errors_after_start", player_errors_after_start},
    {"configuration", configuration},
    {"rounds", rounds},
};

}  // namespace

int run_scenario(const char* argument) {
  for (const scenario& candidate : scenarios) {
    if (strcmp(candidate.name, argument) != 0) continue;
    candidate.run();
    if (failure_count())
      print("%s: %d failed", candidate.name, failure_count());
    else
      print("%s: passed", candidate.name);
    return failure_count() ? 1 : 0;
  }
  print("usage: msvc_player <scenario>; the scenarios are:");
  for (const scenario& candidate : scenarios) print("  %s", candidate.name);
  return 2;
}
