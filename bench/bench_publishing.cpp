// The work of one playback event: building the record for a typical track,
// and the whole dynamic_info path (record, comparison with the last one,
// title write) for new and for repeated information.
#include <benchmark/benchmark.h>

#include "lean_track_info.h"
#include "host/module.h"
#include "publisher/ipc_window.h"
#include "publisher/playback_handler.h"
#include "publisher/record.h"
#include "player_side/lent_services.h"

namespace {

const lean_track_info other_track({{"title", "Hyperballad"}, {"artist", "Bj\xC3\xB6rk"}}, 321);

void build_record(benchmark::State& state) {
  pfc::string8_fast record;
  for (auto _ : state) {
    build_now_playing_record(album_track, record);
    benchmark::DoNotOptimize(record.text_pointer());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(record.text_length()));
}
BENCHMARK(build_record);

// The handler as the player drives it, over the simulated window system.
class running_component {
 public:
  running_component() {
    api.add_service(registry);
    foobar2000_get_interface(&api, nullptr);
    service.start();
  }
  ~running_component() { service.quit(); }
  play_callback& handler() { return *registry.registrations().back().handler; }

 private:
  player_host_api api;
  player_callback_registry registry;
  service_impl_single_t<initquit_tutorial1> service;
};

void dynamic_info_changing(benchmark::State& state) {
  running_component component;
  bool flip = false;
  for (auto _ : state) component.handler().dynamic_info((flip = !flip) ? &album_track : &other_track);
}
BENCHMARK(dynamic_info_changing);

void dynamic_info_repeated(benchmark::State& state) {
  running_component component;
  for (auto _ : state) component.handler().dynamic_info(&album_track);
}
BENCHMARK(dynamic_info_repeated);

}  // namespace
