// What publishing costs the player, measured under Wine in one run through the
// shipped DLL: changed and repeated information and stop, with the module's
// heap calls per event, against the bare title write they stand on; the same
// events through the sources built without the exception bridge
// (foo_vek_ipc_unbridged.dll) and without the stack protector and fortified
// functions (foo_vek_ipc_unhardened.dll); and the bridge's own primitives.
// Pin it to one CPU (taskset -c 0): every window call is a round trip to
// wineserver.
#include <benchmark/benchmark.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "harness/module_heap.h"
#include "harness/module_loader.h"
#include "harness/raw_call.h"
#include "harness/window_title.h"
#include "lean_track_info.h"
#include "platform/exception_bridge.h"
#include "player_side/lent_services.h"
#include "support/errors.h"

namespace {

// Heap calls of the module per iteration of the loop just ended.
void report_heap_calls(benchmark::State& state, long long before) {
  state.counters["heap_calls"] =
      benchmark::Counter(static_cast<double>(module_heap::calls - before), benchmark::Counter::kAvgIterations);
}

// One module loaded and started as the player does it, quit and freed at the end.
class started_component {
 public:
  explicit started_component(const wchar_t* file) : module_(file) {
    if (!module_.handle()) return;
    module_heap::count_calls_of(module_.handle());
    api_.add_service(registry_);
    if (module_.enter(&api_) && (lifecycle_ = module_.service(initquit_class))) raw::call<void>(lifecycle_, start_slot);
  }
  ~started_component() {
    if (lifecycle_) raw::call<void>(lifecycle_, quit_slot);
  }
  // Null when the module could not be loaded or registered no handler.
  play_callback* handler() const {
    return registry_.registrations().empty() ? nullptr : registry_.registrations().back().handler;
  }

 private:
  harness::loaded_module module_;
  player_host_api api_;
  player_callback_registry registry_;
  void* lifecycle_ = nullptr;  // the static init/quit service: counts no references
};

bool ready(benchmark::State& state, const started_component& component) {
  if (component.handler()) return true;
  state.SkipWithError("the module did not load or start");
  return false;
}

// Alternates two 7-field tracks: every event builds, compares and writes.
void dynamic_info_changed(benchmark::State& state, const wchar_t* file) {
  started_component component(file);
  if (!ready(state, component)) return;
  bool flip = false;
  component.handler()->dynamic_info(&next_album_track);  // both records' storage grown
  const long long before = module_heap::calls;
  for (auto _ : state) component.handler()->dynamic_info((flip = !flip) ? &album_track : &next_album_track);
  report_heap_calls(state, before);
}
BENCHMARK_CAPTURE(dynamic_info_changed, shipped, L"foo_vek_ipc.dll");
BENCHMARK_CAPTURE(dynamic_info_changed, unbridged, L"foo_vek_ipc_unbridged.dll");
BENCHMARK_CAPTURE(dynamic_info_changed, unhardened, L"foo_vek_ipc_unhardened.dll");

// The same track again: built and compared, nothing written.
void dynamic_info_repeated(benchmark::State& state, const wchar_t* file) {
  started_component component(file);
  if (!ready(state, component)) return;
  component.handler()->dynamic_info(&album_track);
  const long long before = module_heap::calls;
  for (auto _ : state) component.handler()->dynamic_info(&album_track);
  report_heap_calls(state, before);
}
BENCHMARK_CAPTURE(dynamic_info_repeated, shipped, L"foo_vek_ipc.dll");
BENCHMARK_CAPTURE(dynamic_info_repeated, unbridged, L"foo_vek_ipc_unbridged.dll");
BENCHMARK_CAPTURE(dynamic_info_repeated, unhardened, L"foo_vek_ipc_unhardened.dll");

// Stop: "STOP" written on every event.
void playback_stopped(benchmark::State& state, const wchar_t* file) {
  started_component component(file);
  if (!ready(state, component)) return;
  const long long before = module_heap::calls;
  for (auto _ : state) component.handler()->playback_stopped(0);
  report_heap_calls(state, before);
}
BENCHMARK_CAPTURE(playback_stopped, shipped, L"foo_vek_ipc.dll");
BENCHMARK_CAPTURE(playback_stopped, unhardened, L"foo_vek_ipc_unhardened.dll");

// A message-only window of the same kind as the component's, in this program.
class bench_window {
 public:
  explicit bench_window(const wchar_t* class_name) {
    WNDCLASSW window_class{};
    window_class.lpfnWndProc = DefWindowProcW;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = class_name;
    RegisterClassW(&window_class);
    handle = CreateWindowExW(0, class_name, L"", WS_POPUP, 0, 0, 1, 1, HWND_MESSAGE, nullptr, window_class.hInstance,
                             nullptr);
  }
  ~bench_window() { DestroyWindow(handle); }
  HWND handle;
};

// The component's records of the two tracks, captured from its window.
void capture_records(const started_component& component, std::string (&records)[2]) {
  HWND published = harness::find_ipc_window();
  for (int i = 0; i < 2; ++i) {
    component.handler()->dynamic_info(i == 0 ? &album_track : &next_album_track);
    records[i] = harness::window_title(published);
  }
}

// The floor: the two records' texts written alternately, with nothing else,
// on a message-only window of the same kind.
void bare_title_write(benchmark::State& state) {
  bench_window window(L"vek bench window");
  std::string records[2];
  {
    started_component component(L"foo_vek_ipc.dll");
    if (!ready(state, component)) return;
    capture_records(component, records);
  }
  bool flip = false;
  for (auto _ : state) SetWindowTextA(window.handle, records[(flip = !flip) ? 0 : 1].c_str());
}
BENCHMARK(bare_title_write);

// A bare write followed by a repeated event: the component's work as it runs
// in a changed event, right after a write has handed the CPU to wineserver
// and back, against the same work in a tight loop (dynamic_info_repeated).
void write_then_repeated(benchmark::State& state) {
  bench_window window(L"vek bench window 2");
  started_component component(L"foo_vek_ipc.dll");
  if (!ready(state, component)) return;
  std::string records[2];
  capture_records(component, records);
  bool flip = false;
  for (auto _ : state) {
    SetWindowTextA(window.handle, records[(flip = !flip) ? 0 : 1].c_str());
    component.handler()->dynamic_info(&next_album_track);
  }
}
BENCHMARK(write_then_repeated);

// The bridge's primitives, in this program's own copy of it.
void call_player_without_error(benchmark::State& state) {
  int calls = 0;
  for (auto _ : state) platform::call_player([&calls] { benchmark::DoNotOptimize(++calls); });
}
BENCHMARK(call_player_without_error);

// One error both ways: raised in the player's model, intercepted, carried as a
// component error and caught.
void error_round_trip(benchmark::State& state) {
  for (auto _ : state) {
    try {
      platform::call_player([] { platform::player_entry([] { throw foobar2000_io::exception_aborted(); }); });
    } catch (const foobar2000_io::exception_aborted& error) {
      benchmark::DoNotOptimize(error.what());
    }
  }
}
BENCHMARK(error_round_trip);

}  // namespace

BENCHMARK_MAIN();
