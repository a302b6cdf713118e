// The work of one playback event: building the record for a typical track,
// and the whole dynamic_info path (record, comparison with the last one,
// title write) for new and for repeated information.
#include <benchmark/benchmark.h>

#include "host/module.h"
#include "publisher/ipc_window.h"
#include "publisher/playback_handler.h"
#include "publisher/record.h"
#include "tools/host_standin/host_standin.h"

#include <cstring>
#include <utility>
#include <vector>

namespace {

// Track information with one value per field and nothing recorded, so that
// only the component's own work is measured.
class lean_track_info final : public track_info {
 public:
  lean_track_info(std::vector<std::pair<const char*, const char*>> fields, double length)
      : fields_(std::move(fields)), length_(length) {}
  double length_seconds() const override { return length_; }
  void unused_slot_1() override {}
  void unused_slot_2() override {}
  void unused_slot_3() override {}
  std::uint32_t field_count() const override { return static_cast<std::uint32_t>(fields_.size()); }
  const char* field_name(std::uint32_t field) const override { return fields_[field].first; }
  std::uint32_t field_value_count(std::uint32_t) const override { return 1; }
  const char* field_value(std::uint32_t field, std::uint32_t) const override { return fields_[field].second; }
  std::uint32_t find_field(const char* name, std::uint32_t) const override {
    for (std::uint32_t i = 0; i < fields_.size(); ++i)
      if (std::strcmp(fields_[i].first, name) == 0) return i;
    return no_field;
  }

 private:
  std::vector<std::pair<const char*, const char*>> fields_;
  double length_;
};

const lean_track_info album_track({{"title", "Army of Me"},
                                   {"artist", "Bj\xC3\xB6rk"},
                                   {"album", "Post"},
                                   {"tracknumber", "1"},
                                   {"date", "1995"},
                                   {"genre", "Electronic"},
                                   {"rating", "4"}},
                                  234.2);
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

// The handler as the player drives it, over the window stand-in.
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
