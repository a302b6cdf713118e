// A player process for what must not happen in the test program itself: a
// signal or an abort, reported as the structured exception a player would see;
// a start with zero or two registries, reported as the player sees it. Mode
// "title" prints the IPC window's title as the messaging client reads it.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "harness/component_host.h"
#include "support/errors.h"

namespace {

void write_stdout(const std::string& text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

LONG CALLBACK report_exception(EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
  char line[160];
  std::snprintf(line, sizeof line, "exception code=0x%08lX flags=%lu arguments=%lu argument0=%lu\n",
                record.ExceptionCode, record.ExceptionFlags, record.NumberParameters,
                record.NumberParameters ? record.ExceptionInformation[0] : 0);
  write_stdout(line);
  ExitProcess(0);
}

// Starts the component as a player does and reports what the player sees:
// the start message, or the error that left start, with the window and the
// references the component still holds; then quits.
void start_component(loaded_component& component, int registries) {
  player_host_api api;
  player_console_sink console;
  player_callback_registry registry[2];
  for (int i = 0; i < registries; ++i) api.add_service(registry[i]);
  api.add_service(console);
  component.enter(&api);
  raw::call<void>(component.client(), set_services_ready, 1u);
  std::string report = "started";
  try {
    raw::call<void>(component.service(initquit_class), start_slot);
  } catch (const exception_service_duplicated& error) {
    report = std::string("exception_service_duplicated: ") + error.what();
  }
  const std::int32_t held = console.balance() + registry[0].balance() + registry[1].balance();
  report += std::string(harness::find_ipc_window() ? "; window exists" : "; no window") +
            "; console lines: " + std::to_string(console.writes().size()) +
            "; references held: " + std::to_string(held);
  raw::call<void>(component.service(initquit_class), quit_slot);
  write_stdout(report + (harness::find_ipc_window() ? "; window after quit\n" : "; quit\n"));
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc == 2 ? argv[1] : "";
  if (mode == "title") return harness::print_title_report();
  const bool unloaded = mode.starts_with("unloaded-");  // the component loaded and unloaded again
  std::optional<loaded_component> component(std::in_place);
  if (unloaded) component.reset();
  if (mode.starts_with("start-")) {
    start_component(*component, mode == "start-without-registry" ? 0 : 2);
    return 0;
  }
  AddVectoredExceptionHandler(1, report_exception);
  if (mode.ends_with("abort"))
    std::abort();
  else
    std::raise(std::atoi(mode.c_str() + (unloaded ? 9 : 0)));  // through the C runtime
  return 1;
}
