// The player process around a component: loading it, the IPC window, and
// what a long run measures.
#pragma once

#include "player_tables.h"

// One component module, reached only through its exports and the tables it
// hands out; unloaded when destroyed. A missing module or export is fatal.
class loaded_component {
 public:
  explicit loaded_component(const wchar_t* file);
  loaded_component(const loaded_component&) = delete;
  loaded_component& operator=(const loaded_component&) = delete;
  ~loaded_component() { FreeLibrary(module_); }

  void* module() const { return module_; }
  void* export_named(const char* name) const;
  // Calls foobar2000_get_interface with `api` as the player's host_api.
  component_client& enter(host_api& api);
  component_client& client() const { return *client_; }
  // The static service published for Service's class (its reference is not counted).
  template <class Service>
  Service& service() const {
    return *static_cast<Service*>(service_for(Service::class_id));
  }

 private:
  service_base* service_for(const guid& class_id) const;

  void* module_;
  component_client* client_ = nullptr;
};

// The IPC window, found by its class as another process finds it; null without one.
void* ipc_window();
// Its title into `title`; "(no window)" without one.
const char* ipc_window_title(char (&title)[256]);

// The head of the thread's chain of structured exception handlers (FS:[0]).
void* exception_chain_head();
// Committed private memory of the process, summed over its address space.
std::size_t committed_private_bytes();
// Counts the heap calls `module` makes through its imports of malloc, calloc,
// realloc and free from api-ms-win-crt-heap-l1-1-0.dll by redirecting its
// import address table. False when it imports none of them.
bool count_heap_calls_of(void* module);
// Blocks the module allocated minus blocks it freed since counting began.
int live_heap_blocks();
// Heap calls the module made since counting began.
int counted_heap_calls();
