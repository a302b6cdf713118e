// Building console-sized messages from short pieces, and replacing the text
// of a standard string in place and across its slack.
#include <benchmark/benchmark.h>

#include "support/strings.h"

namespace {

constexpr const char* pieces[] = {"VEK IPC", ": ", "'SetData'", " Failed!", "\r\n", "track ", "42", " of ", "128"};
constexpr int pieces_per_message = 32;

template <class Policy>
void append_short_texts(benchmark::State& state) {
  for (auto _ : state) {
    pfc::string8_t<Policy> message;
    for (int i = 0; i < pieces_per_message; ++i) message.append_text(pieces[i % std::size(pieces)], pfc::infinite_size);
    benchmark::DoNotOptimize(message.text_pointer());
  }
  state.SetItemsProcessed(state.iterations() * pieces_per_message);
}
BENCHMARK(append_short_texts<pfc::alloc_standard>);
BENCHMARK(append_short_texts<pfc::alloc_fast_aggressive>);

// Texts within one storage size: no heap traffic.
void set_text_within_slack(benchmark::State& state) {
  pfc::string8 s;
  std::size_t i = 0;
  for (auto _ : state) {
    s.set_text(pieces[i++ % std::size(pieces)], pfc::infinite_size);
    benchmark::DoNotOptimize(s.text_pointer());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(set_text_within_slack);

// A long and a short text in turn: every call grows or gives memory back.
void set_text_across_slack(benchmark::State& state) {
  static const char long_text[] = "a text that is longer than the slack of a short one allows";
  pfc::string8 s;
  bool flip = false;
  for (auto _ : state) {
    s.set_text((flip = !flip) ? long_text : "abc", pfc::infinite_size);
    benchmark::DoNotOptimize(s.text_pointer());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(set_text_across_slack);

}  // namespace
