#include "player_process.h"

#include "report.h"
#include "wire/format.h"

loaded_component::loaded_component(const wchar_t* file) : module_(LoadLibraryW(file)) {
  if (!module_) fatal("LoadLibraryW of the component");
}

void* loaded_component::export_named(const char* name) const {
  void* function = GetProcAddress(module_, name);
  if (!function) fatal(name);
  return function;
}

component_client& loaded_component::enter(host_api& api) {
  using entry_point = component_client*(__cdecl*)(host_api*, void*);
  client_ = reinterpret_cast<entry_point>(export_named("foobar2000_get_interface"))(&api, module_);
  if (!client_) fatal("foobar2000_get_interface returned null");
  return *client_;
}

service_base* loaded_component::service_for(const guid& class_id) const {
  for (service_factory* record = client_->first_factory(); record; record = record->next_factory) {
    if (*record->class_id == class_id) {
      service_ref held = {nullptr};
      record->create_instance(&held);
      if (!held.object) fatal("a factory handed out nothing");
      return held.object;
    }
  }
  fatal("no factory for the service class");
}

void* ipc_window() { return FindWindowExW(message_only_parent, nullptr, wire::window_class, nullptr); }

const char* ipc_window_title(char (&title)[256]) {
  void* window = ipc_window();
  if (!window) return "(no window)";
  title[0] = '\0';
  GetWindowTextA(window, title, sizeof title);
  return title;
}

void* exception_chain_head() {
  void* head;
  asm volatile("movl %%fs:0, %0" : "=r"(head));
  return head;
}

std::size_t committed_private_bytes() {
  std::size_t total = 0;
  memory_region region;
  for (auto* address = static_cast<const std::uint8_t*>(nullptr);
       VirtualQuery(address, &region, sizeof region) == sizeof region;
       address = static_cast<const std::uint8_t*>(region.base) + region.size) {
    if (region.state == mem_commit && region.type == mem_private) total += region.size;
    if (static_cast<const std::uint8_t*>(region.base) + region.size <= address) break;  // wrapped around
  }
  return total;
}

// --- Counting a module's heap calls ---

namespace {

using malloc_function = void*(__cdecl*)(std::size_t);
using calloc_function = void*(__cdecl*)(std::size_t, std::size_t);
using realloc_function = void*(__cdecl*)(void*, std::size_t);
using free_function = void(__cdecl*)(void*);

malloc_function original_malloc = nullptr;
calloc_function original_calloc = nullptr;
realloc_function original_realloc = nullptr;
free_function original_free = nullptr;
int live_blocks = 0;
int heap_calls = 0;

void* __cdecl counting_malloc(std::size_t size) {
  ++heap_calls;
  void* block = original_malloc(size);
  if (block) ++live_blocks;
  return block;
}

void* __cdecl counting_calloc(std::size_t count, std::size_t size) {
  ++heap_calls;
  void* block = original_calloc(count, size);
  if (block) ++live_blocks;
  return block;
}

// The Universal CRT's realloc frees the block for size 0.
void* __cdecl counting_realloc(void* block, std::size_t size) {
  ++heap_calls;
  void* resized = original_realloc(block, size);
  if (!block && resized) ++live_blocks;
  if (block && size == 0) --live_blocks;
  return resized;
}

void __cdecl counting_free(void* block) {
  ++heap_calls;
  if (block) --live_blocks;
  original_free(block);
}

struct import_descriptor {
  std::uint32_t names, time_date_stamp, forwarder_chain, module_name, addresses;  // relative addresses
};

// Replaces one import address slot, keeping what it held in `original`.
template <class Function>
void redirect(std::uintptr_t* slot, Function& original, Function counting) {
  std::uint32_t protection = 0;
  VirtualProtect(slot, sizeof *slot, page_readwrite, &protection);
  original = reinterpret_cast<Function>(*slot);
  *slot = reinterpret_cast<std::uintptr_t>(counting);
  VirtualProtect(slot, sizeof *slot, protection, &protection);
}

}  // namespace

bool count_heap_calls_of(void* module) {
  auto* image = static_cast<std::uint8_t*>(module);
  const std::uint32_t headers = *reinterpret_cast<std::uint32_t*>(image + 0x3C);
  // PE32: signature (4), file header (20), then the optional header with the
  // import directory as data directory 1, at offset 104.
  const std::uint32_t imports = *reinterpret_cast<std::uint32_t*>(image + headers + 24 + 104);
  int redirected = 0;
  for (auto* entry = reinterpret_cast<import_descriptor*>(image + imports); imports && entry->module_name; ++entry) {
    if (_stricmp(reinterpret_cast<char*>(image + entry->module_name), "api-ms-win-crt-heap-l1-1-0.dll") != 0) continue;
    auto* names = reinterpret_cast<std::uint32_t*>(image + (entry->names ? entry->names : entry->addresses));
    auto* addresses = reinterpret_cast<std::uintptr_t*>(image + entry->addresses);
    for (; *names; ++names, ++addresses) {
      if (*names & 0x80000000) continue;                               // by ordinal
      const char* name = reinterpret_cast<char*>(image + *names + 2);  // after the hint
      if (strcmp(name, "malloc") == 0) redirect(addresses, original_malloc, counting_malloc), ++redirected;
      if (strcmp(name, "calloc") == 0) redirect(addresses, original_calloc, counting_calloc), ++redirected;
      if (strcmp(name, "realloc") == 0) redirect(addresses, original_realloc, counting_realloc), ++redirected;
      if (strcmp(name, "free") == 0) redirect(addresses, original_free, counting_free), ++redirected;
    }
  }
  return redirected > 0;
}

int live_heap_blocks() { return live_blocks; }

int counted_heap_calls() { return heap_calls; }
