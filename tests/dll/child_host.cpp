// A player process for what must not happen in the test program itself: it
// loads the component and then raises a signal, aborts, or starts the
// component in a way that lets an error out of it. What a player would see
// arrives as a structured exception, which is reported on standard output
// together with the state of the window and the console at that moment.
#include <windows.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "component_host.h"

namespace {

player_console_sink* observed_console = nullptr;

void write_stdout(const std::string& text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

LONG CALLBACK report_exception(EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
  char line[160];
  std::snprintf(line, sizeof line, "exception code=0x%08lX flags=%lu arguments=%lu argument0=%lu\n",
                static_cast<unsigned long>(record.ExceptionCode), static_cast<unsigned long>(record.ExceptionFlags),
                static_cast<unsigned long>(record.NumberParameters),
                static_cast<unsigned long>(record.NumberParameters ? record.ExceptionInformation[0] : 0));
  std::string report = line;
  if (observed_console) {
    report += FindWindowExW(HWND_MESSAGE, nullptr, L"{C228F795-8913-40ec-A81B-486BB773FF5F}", nullptr)
                  ? "window exists\n"
                  : "no window\n";
    report += "console lines: " + std::to_string(observed_console->writes().size()) + "\n";
  }
  write_stdout(report);
  ExitProcess(0);
}

// Starts the component with `registries` playback-callback registries.
void start_component(loaded_component& component, int registries) {
  static player_host_api api;
  static player_console_sink console;
  static player_callback_registry registry[2];
  for (int i = 0; i < registries; ++i) api.add_service(registry[i]);
  api.add_service(console);
  observed_console = &console;
  component.enter(&api);
  raw::call<void>(component.client(), set_services_ready, 1u);
  raw::call<void>(component.service(initquit_class), 3);  // start
  write_stdout("started; console lines: " + std::to_string(console.writes().size()) + "\n");
}

}  // namespace

// Raises `mode` (a signal number, or "abort") through the C runtime.
void raise_signal(const std::string& mode) {
  if (mode == "abort") std::abort();
  write_stdout("raise returned " + std::to_string(std::raise(std::atoi(mode.c_str()))) + "\n");
}

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  std::string mode = argv[1];
  if (mode.starts_with("unloaded-")) {  // the component loaded and unloaded again
    { loaded_component unloaded; }
    AddVectoredExceptionHandler(1, report_exception);
    raise_signal(mode.substr(9));
    return 1;
  }
  loaded_component component;
  if (!component.module()) {
    write_stdout("cannot load foo_vek_ipc.dll\n");
    return 2;
  }
  AddVectoredExceptionHandler(1, report_exception);
  if (mode == "start-without-registry") {
    start_component(component, 0);
    return 0;
  } else if (mode == "start-with-two-registries") {
    start_component(component, 2);
  } else {
    raise_signal(mode);
  }
  return 1;
}
