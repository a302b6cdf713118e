// Every allocating operation of the component, run once to count its heap
// requests and then once more for each k with the k-th refused. Each run is a
// forked child, so it starts from the same module state (the kept record
// buffer, the handler chain, the desktop) and its exit runs the leak check.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <typeinfo>
#include <vector>

#include "harness/config_record.h"
#include "harness/failing_heap.h"
#include "harness/player_fakes.h"
#include "host/config.h"
#include "host/module.h"
#include "platform/simulation.h"
#include "publisher/ipc_window.h"
#include "publisher/playback_handler.h"
#include "publisher/record.h"
#include "support/errors.h"
#include "wire/format.h"

namespace {

using failing_heap::tally;

// Counts every request from now on; the `fail_at`-th (1 = the next) is refused, 0 only counts.
void start_counting(std::size_t fail_at) {
  failing_heap::fail_request(fail_at);
  failing_heap::start_counting();
}

constexpr guid variable_id(std::uint8_t n) { return {0x5EE9A110, 0x0001, 0x0002, {1, 2, 3, 4, 5, 6, 7, n}}; }

std::string record(std::uint8_t n, const std::string& data) { return config_record::encode(variable_id(n), data); }

struct saved final : saveable_variable {
  saved(std::uint8_t n, std::vector<std::string> parts) : saveable_variable(variable_id(n)), pieces(std::move(parts)) {}
  void save_data(writable_stream& stream, abort_signal& abort) override {
    for (const auto& piece : pieces) stream.write_bytes(piece.data(), static_cast<std::uint32_t>(piece.size()), abort);
  }
  std::vector<std::string> pieces;
};

// Keeps its value in a component string, as a variable of the component
// would; `overreads` asks for a byte past its record, a data error.
struct loaded final : loadable_variable {
  loaded(std::uint8_t n, bool over = false) : loadable_variable(variable_id(n)), overreads(over) {
    value.set_text("old", 3);
  }
  void load_data(readable_stream& stream, std::uint32_t length, abort_signal& abort) override {
    char bytes[64];
    stream.read_exact(bytes, length + overreads, abort);
    value.set_text(bytes, length);
  }
  bool overreads;
  pfc::string8 value;
};

std::string expected_record(const player_track_info& info) {
  pfc::string8_fast text;
  build_now_playing_record(info, text);
  return text.text_pointer();
}

const char start_line[] = "VEK IPC Plugin Initialized\r\n";
const char failure_line[] = "VEK IPC: 'SetData' Failed!\r\n";

// The player and its objects for one run, with the test's configuration variables linked in.
struct world {
  world() {
    platform::simulation::reset();
    foobar2000_get_interface(&api, &module);
    services_ready = true;
    api.add_service(sink);
    api.add_service(registry);
  }
  ~world() {
    service.quit();
    services_ready = false;
    kept_host_api = nullptr;
  }

  play_callback* handler() const {
    return registry.registrations().empty() ? nullptr : registry.registrations().back().handler;
  }
  std::string title() const { return platform::simulation::window_title(ipc_window); }
  std::string stored() const { return last_record.text_pointer(); }
  std::size_t printed(const char* line) const {
    std::size_t count = 0;
    for (const auto& write : sink.writes()) count += write.text == line;
    return count;
  }
  std::string written(const player_writable_stream& stream) const {
    return {stream.bytes().begin(), stream.bytes().end()};
  }

  int module = 0;
  player_host_api api;
  player_console_sink sink;
  player_callback_registry registry;
  service_impl_single_t<initquit_tutorial1> service;

  // Their lookup logs grow on the heap too: a refused request there is a
  // player's find_field failing while the record is built.
  const std::vector<test_field> song_fields{
      {"title", {"Song"}}, {"artist", {"Band", "Guest"}}, {"album", {"An album name long enough to grow the record"}}};
  recording_track_info intro{{{"title", {"Intro"}}}, 10.0};
  recording_track_info song{song_fields, 215.4};
  recording_track_info song_again{song_fields, 215.4};
  const std::string intro_record = expected_record(recording_track_info{{{"title", {"Intro"}}}, 10.0});
  const std::string song_record = expected_record(recording_track_info{song_fields, 215.4});
  std::size_t title_writes = 0;
  std::size_t failure_lines = 0;

  player_abort_signal abort;
  saved save_c{3, {std::string(300, 'c')}};
  saved save_b{2, {}};
  saved save_a{1, {"abc", std::string(50, 'x'), std::string(200, 'y')}};  // linked last: saved first
  const std::string saved_bytes = record(1, "abc" + std::string(50, 'x') + std::string(200, 'y')) + record(2, "") +
                                  record(3, std::string(300, 'c'));
  player_writable_stream out, out_again;

  loaded load_five{15}, load_four{14}, load_damaged{13, true}, load_two{12}, load_one{11};
  const std::string long_value = std::string(40, 'L');
  const std::string stored_bytes = record(11, "one") + record(99, "unclaimed") + record(12, long_value) +
                                   record(13, "damaged") + record(14, "four") + record(15, "five");
  player_readable_stream in{{stored_bytes.begin(), stored_bytes.end()}};
  player_readable_stream in_again{{stored_bytes.begin(), stored_bytes.end()}};
  // In stream order, without the overreading variable, which always keeps "old".
  std::vector<std::string> loaded_values() const {
    return {load_one.value.text_pointer(), load_two.value.text_pointer(), load_four.value.text_pointer(),
            load_five.value.text_pointer()};
  }
  const std::vector<std::string> new_values{"one", long_value, "four", "five"};
};

// One operation: the state before it, the call, what must hold whether or not
// it failed, and the next event, which must then work normally.
struct operation {
  const char* name;
  void (*prepare)(world&);
  void (*perform)(world&);
  void (*check)(world&, bool failed);
  void (*next)(world&);
};

const operation operations[] = {
    {"start", [](world&) {}, [](world& w) { w.service.start(); },
     [](world& w, bool failed) {
       // A handler is kept exactly when it was registered, and the window, if any, is fresh.
       EXPECT_EQ(w.handler(), static_cast<play_callback*>(playback_handler));
       EXPECT_LE(platform::simulation::live_window_count(), 1u);
       EXPECT_EQ(w.title(), "");
       EXPECT_EQ(w.stored(), "");
       if (!failed) {
         EXPECT_EQ(w.printed(start_line), 1u);
       }
     },
     [](world& w) {
       if (!w.handler()) {
         w.service.quit();
         w.service.start();
       }
       ASSERT_NE(w.handler(), nullptr);
       w.handler()->dynamic_info(&w.song);
       EXPECT_EQ(w.title(), w.song_record);
       EXPECT_EQ(w.stored(), w.song_record);
     }},
    {"dynamic_info, new information",
     [](world& w) {
       w.service.start();
       w.handler()->dynamic_info(&w.intro);
     },
     [](world& w) { w.handler()->dynamic_info(&w.song); },
     [](world& w, bool failed) {
       EXPECT_TRUE(w.stored() == w.intro_record || w.stored() == w.song_record) << w.stored();
       EXPECT_EQ(w.title(), w.stored()) << "the title and the record kept disagree";
       if (!failed) {
         EXPECT_EQ(w.stored(), w.song_record);
       }
     },
     [](world& w) {
       w.handler()->dynamic_info(&w.song);
       EXPECT_EQ(w.title(), w.song_record);
       EXPECT_EQ(w.stored(), w.song_record);
     }},
    {"dynamic_info, repeated information",
     [](world& w) {
       w.service.start();
       w.handler()->dynamic_info(&w.song);
       w.title_writes = platform::simulation::title_write_count();
     },
     [](world& w) { w.handler()->dynamic_info(&w.song_again); },
     [](world& w, bool) {
       EXPECT_EQ(w.stored(), w.song_record);
       EXPECT_EQ(w.title(), w.song_record);
       EXPECT_EQ(platform::simulation::title_write_count(), w.title_writes);
     },
     [](world& w) {
       w.handler()->dynamic_info(&w.song_again);
       EXPECT_EQ(w.title(), w.song_record);
       EXPECT_EQ(platform::simulation::title_write_count(), w.title_writes);
     }},
    {"playback_stopped, title write refused",
     [](world& w) {
       w.service.start();
       w.handler()->dynamic_info(&w.song);
       platform::simulation::fail_title_writes(true);
     },
     [](world& w) { w.handler()->playback_stopped(0); },
     [](world& w, bool failed) {
       EXPECT_EQ(w.title(), w.song_record);
       EXPECT_EQ(w.stored(), w.song_record);
       if (!failed) {
         EXPECT_EQ(w.printed(failure_line), 1u);
       }
       w.failure_lines = w.printed(failure_line);
     },
     [](world& w) {
       w.handler()->playback_stopped(0);
       EXPECT_EQ(w.printed(failure_line), w.failure_lines + 1);
       platform::simulation::fail_title_writes(false);
       w.handler()->playback_stopped(0);
       EXPECT_EQ(w.title(), wire::stop_text);
     }},
    {"set_module_location", [](world&) { the_component_client().set_module_location("/old/components", "old.dll"); },
     [](world&) { the_component_client().set_module_location("/a/longer/path/of/the/components", "foo_vek_ipc.dll"); },
     [](world&, bool failed) {
       // Each text is whole; the two are not replaced together.
       const std::string path = module_path.text(), name = module_file_name.text();
       EXPECT_TRUE(path == "/old/components" || path == "/a/longer/path/of/the/components") << path;
       EXPECT_TRUE(name == "old.dll" || name == "foo_vek_ipc.dll") << name;
       if (!failed) {
         EXPECT_EQ(name, "foo_vek_ipc.dll");
       }
     },
     [](world&) {
       the_component_client().set_module_location("/a/longer/path/of/the/components", "foo_vek_ipc.dll");
       EXPECT_STREQ(module_path.text(), "/a/longer/path/of/the/components");
       EXPECT_STREQ(module_file_name.text(), "foo_vek_ipc.dll");
     }},
    {"save_configuration", [](world&) {}, [](world& w) { the_component_client().save_configuration(&w.out, &w.abort); },
     [](world& w, bool failed) {
       const std::string bytes = w.written(w.out);
       EXPECT_EQ(w.saved_bytes.compare(0, bytes.size(), bytes), 0) << "not a prefix of the records";
       if (!failed) {
         EXPECT_EQ(bytes, w.saved_bytes);
       }
     },
     [](world& w) {
       the_component_client().save_configuration(&w.out_again, &w.abort);
       EXPECT_EQ(w.written(w.out_again), w.saved_bytes);
     }},
    {"load_configuration", [](world&) {}, [](world& w) { the_component_client().load_configuration(&w.in, &w.abort); },
     [](world& w, bool failed) {
       // What loaded before the failure is kept, nothing after it loads, and no value is partial.
       const std::vector<std::string> values = w.loaded_values();
       bool reached_failure = false;
       for (std::size_t i = 0; i < values.size(); ++i) {
         reached_failure |= values[i] == "old";
         EXPECT_EQ(values[i], reached_failure ? "old" : w.new_values[i]) << "variable " << i;
       }
       EXPECT_STREQ(w.load_damaged.value.text_pointer(), "old");
       if (!failed) {
         EXPECT_FALSE(reached_failure);
       }
     },
     [](world& w) {
       the_component_client().load_configuration(&w.in_again, &w.abort);
       EXPECT_EQ(w.loaded_values(), w.new_values);
     }},
};

// Filled by each child for the parent.
struct run_report {
  tally counted;
  std::size_t live_blocks_added;
};

// Runs `body` in a child and gives its exit status: 0 when it added no test
// failure (else 2) and the leak check at its exit found nothing.
int status_of_child(const std::function<void()>& body) {
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    const testing::TestResult& result = *testing::UnitTest::GetInstance()->current_test_info()->result();
    const int parts = result.total_part_count();
    body();
    std::exit(result.total_part_count() != parts ? 2 : 0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// One run of `op` with the `fail_at`-th request refused (0: none).
void run(const operation& op, std::size_t fail_at, run_report& report) {
  const std::size_t live_before = failing_heap::live_blocks();
  {
    world w;
    op.prepare(w);
    bool raised = false;
    start_counting(fail_at);
    try {
      op.perform(w);
    } catch (const std::bad_alloc& error) {
      raised = true;
      // The component's own refusals all raise its bad allocation.
      if (failing_heap::failed_path() != failing_heap::new_path) {
        EXPECT_NE(dynamic_cast<const pfc::bad_allocation*>(&error), nullptr) << "a plain std::bad_alloc";
      }
    } catch (const std::exception& error) {
      ADD_FAILURE() << "raised " << typeid(error).name() << ": " << error.what();
    }
    report.counted = failing_heap::stop_counting();
    const bool fired = failing_heap::failure_fired();
    if (fail_at != 0) {
      EXPECT_TRUE(fired) << "the run made fewer requests than counted";
    }
    EXPECT_EQ(raised, fired) << (fired ? "the refusal was swallowed" : "raised without a refusal");
    op.check(w, raised);
    op.next(w);
  }
  platform::simulation::reset();
  report.live_blocks_added = failing_heap::live_blocks() - live_before;
}

TEST(AllocationSweep, EveryRefusedRequestLeavesTheComponentWholeAndLeaksNothing) {
  auto* report = static_cast<run_report*>(
      mmap(nullptr, sizeof(run_report), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(report, MAP_FAILED);
  for (const operation& op : operations) {
    SCOPED_TRACE(op.name);
    ASSERT_EQ(status_of_child([&] { run(op, 0, *report); }), 0) << "the run without refusals";
    const run_report reference = *report;
    const std::size_t sites = reference.counted.total();
    std::printf("%s: %zu requests (reallocate %zu, new %zu, nothrow new %zu)\n", op.name, sites,
                reference.counted.requests[0], reference.counted.requests[1], reference.counted.requests[2]);
    for (std::size_t k = 1; k <= sites; ++k) {
      EXPECT_EQ(status_of_child([&] { run(op, k, *report); }), 0) << "request " << k << " refused";
      EXPECT_EQ(report->live_blocks_added, reference.live_blocks_added) << "request " << k << " refused";
    }
  }
  munmap(report, sizeof(run_report));
}

// The sweep is only as good as its counts: each path counts one request per
// allocation, refuses in its own way, and the sanitizer still sees the blocks.
TEST(AllocationSweep, CountsEachPathOnceAndRefusesItsOwnWay) {
  const std::size_t live = failing_heap::live_blocks();
  start_counting(0);
  int* plain = new int(1);
  int* nothrow = new (std::nothrow) int(2);
  pfc::string8 text;
  text.set_text("abc", 3);
  const tally counted = failing_heap::stop_counting();
  EXPECT_EQ(counted.requests[failing_heap::new_path], 1u);
  EXPECT_EQ(counted.requests[failing_heap::nothrow_new_path], 1u);
  EXPECT_EQ(counted.requests[failing_heap::reallocate_path], 1u);
  EXPECT_EQ(failing_heap::live_blocks(), live + 3);
  delete plain;
  delete nothrow;

  start_counting(1);
  EXPECT_THROW((void)new int(3), std::bad_alloc);
  start_counting(1);
  EXPECT_EQ(new (std::nothrow) int(4), nullptr);
  start_counting(2);
  EXPECT_THROW(text.set_text(std::string(100, 'x').c_str(), 100),
               pfc::bad_allocation);  // the temporary std::string is the 1st
  failing_heap::stop_counting();
  EXPECT_STREQ(text.text_pointer(), "abc");
  EXPECT_EQ(failing_heap::live_blocks(), live + 1);

#if defined(__SANITIZE_ADDRESS__)
  // A block lost through the replaced operator new is still reported at the child's exit.
  std::FILE* report = std::tmpfile();
  ASSERT_NE(report, nullptr);
  EXPECT_NE(status_of_child([&] {
              dup2(fileno(report), 2);
              static_cast<void>(new int(5));
            }),
            0);
  std::string log(4096, '\0');
  log.resize(static_cast<std::size_t>(std::max<ssize_t>(pread(fileno(report), log.data(), log.size(), 0), 0)));
  std::fclose(report);
  EXPECT_NE(log.find("Direct leak of 4 byte(s) in 1 object(s)"), std::string::npos) << log;
#endif
}

}  // namespace
