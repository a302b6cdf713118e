#include "player/component_session.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <string_view>

#include "platform/exception_bridge.h"
#include "player/console.h"
#include "text/utf16.h"

using console::complain;
using console::print;

namespace {

constexpr wchar_t default_component[] = L"foo_vek_ipc.dll";
// The client interface vek-player speaks.
constexpr std::uint32_t supported_interface_version = 76;
// Guards against a factory list that does not end.
constexpr int most_factories = 64;

std::string guid_text(const guid& id) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", id.data1, id.data2, id.data3,
                id.data4[0], id.data4[1], id.data4[2], id.data4[3], id.data4[4], id.data4[5], id.data4[6], id.data4[7]);
  return text;
}

std::string hex_text(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%X", value);
  return text;
}

// The file of `module`; null for this program.
std::wstring module_path(HMODULE module) {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (length < path.size()) return path.substr(0, length);
    path.resize(path.size() * 2);
  }
}

std::wstring file_name_of(const std::wstring& path) { return path.substr(path.find_last_of(L"\\/") + 1); }

// The answer of one identity operation.
template <class Operation>
std::string ask(componentversion* identity, Operation operation) {
  player_host_string answer;
  (identity->*operation)(answer);
  return answer.text();
}

}  // namespace

void printing_console_sink::write_text(const char* text, std::uint32_t length) {
  std::string_view rest = bounded_text(text, length);
  while (rest.ends_with('\n') || rest.ends_with('\r')) rest.remove_suffix(1);
  do {
    std::string_view line = rest.substr(0, rest.find('\n'));
    rest.remove_prefix(std::min(rest.size(), line.size() + 1));
    if (line.ends_with('\r')) line.remove_suffix(1);
    print("[console] " + std::string(line));
  } while (!rest.empty());
}

std::wstring component_session::module_file(const std::wstring& chosen) {
  if (chosen.empty()) {
    const std::wstring own_path = module_path(nullptr);
    return own_path.substr(0, own_path.size() - file_name_of(own_path).size()) + default_component;
  }
  // A bare file name would make LoadLibrary search the program's folder
  // first; the user means the file relative to the current folder.
  wchar_t full[MAX_PATH];
  const DWORD length = GetFullPathNameW(chosen.c_str(), MAX_PATH, full, nullptr);
  if (length > 0 && length < MAX_PATH) return std::wstring(full, length);
  return chosen;
}

bool component_session::load(const std::wstring& file) {
  module_.handle = LoadLibraryW(file.c_str());
  if (!module_.handle)
    complain("cannot load " + text::utf8_from_utf16(file) + ": " +
             console::system_message(GetLastError(), L"the module"));
  return module_.handle != nullptr;
}

service_base* component_session::find(const guid& class_id) const {
  for (const published_service& published : services_)
    if (published.class_id == class_id) return published.instance.get();
  return nullptr;
}

bool component_session::start() {
  using entry_point = component_client*(__cdecl*)(host_api*, HINSTANCE);
  const auto entry = reinterpret_cast<entry_point>(
      reinterpret_cast<void*>(GetProcAddress(module_.handle, "foobar2000_get_interface")));
  if (!entry) {
    complain("the module has no export foobar2000_get_interface");
    return false;
  }

  api_.add_service(console_);
  api_.add_service(registry_);

  component_client* client = entry(&api_, module_.handle);
  if (!client) {
    complain("the module returned no client from foobar2000_get_interface");
    return false;
  }
  const std::uint32_t version = client->interface_version();
  if (version != supported_interface_version) {
    complain("the module speaks client interface version " + std::to_string(version) + ", not " +
             std::to_string(supported_interface_version));
    return false;
  }

  const std::wstring path = module_path(module_.handle);
  const std::string path_text = text::utf8_from_utf16(path), file_name = text::utf8_from_utf16(file_name_of(path));
  if (verbose_) print("[player] module " + path_text + ", client interface " + std::to_string(version));

  int records = 0;
  for (service_factory_base* factory = client->first_factory(); factory; factory = factory->next_factory) {
    if (++records > most_factories) {
      complain("the factory list does not end");
      return false;
    }
    published_service& published = services_.emplace_back(*factory->class_guid);
    factory->create_instance(&published.instance);
    if (verbose_) print("[player] service " + guid_text(published.class_id));
  }

  client->set_module_location(path_text.c_str(), file_name.c_str());
  client->set_services_ready(1);

  if (auto* identity = static_cast<componentversion*>(find(componentversion::class_id))) {
    print("loaded " + ask(identity, &componentversion::component_name) + " " +
          ask(identity, &componentversion::component_version) + " (" + ask(identity, &componentversion::file_name) +
          ")");
    if (verbose_) print("[player] about: " + ask(identity, &componentversion::about_text));
  } else {
    print("loaded " + file_name + " (no identity service)");
  }

  lifecycle_ = static_cast<initquit*>(find(initquit::class_id));
  if (!lifecycle_) {
    complain("the module publishes no start service");
    return false;
  }
  try {
    platform::call_player([this] { lifecycle_->start(); });
  } catch (const std::exception& error) {
    complain(std::string("the component's start failed: ") + error.what());
  }

  const auto& handlers = registry_.registrations();
  if (handlers.empty()) complain("warning: no playback handler was registered; no events are delivered");
  if (verbose_) {
    for (const auto& registered : handlers)
      print("[player] handler registered for events " + hex_text(registered.event_mask) + ": " +
            player::event_list(registered.event_mask));
  }
  return true;
}

bool component_session::quit(std::int32_t kept_track_references) {
  lifecycle_->quit();
  services_.clear();

  bool all_given_back = true;
  auto check_kept = [&all_given_back](std::int32_t kept, const char* what) {
    if (kept == 0) return;
    complain("the component kept " + std::to_string(kept) + " reference(s) to " + what);
    all_given_back = false;
  };
  check_kept(kept_track_references, "track handles");
  check_kept(registry_.balance(), "the playback-callback registry");
  check_kept(console_.balance(), "the console");
  return all_given_back;
}
