#include "harness/module_loader.h"

#include <cstring>

#include "harness/raw_call.h"

namespace harness {

loaded_module::loaded_module(const wchar_t* file) : module_(LoadLibraryW(file)) {
  if (!module_) problem_ = "LoadLibrary failed: error " + std::to_string(GetLastError());
}

loaded_module::~loaded_module() {
  if (module_) FreeLibrary(module_);
}

void* loaded_module::enter(host_api* api) {
  using entry_point = void*(__cdecl*)(host_api*, HINSTANCE);
  auto entry =
      module_
          ? reinterpret_cast<entry_point>(reinterpret_cast<void*>(GetProcAddress(module_, "foobar2000_get_interface")))
          : nullptr;
  if (module_ && !entry) problem_ = "no export foobar2000_get_interface";
  client_ = entry ? entry(api, module_) : nullptr;
  if (entry && !client_) problem_ = "the export returned no client";
  return client_;
}

const std::uint32_t* loaded_module::factory(std::size_t position) const {
  if (!client_) return nullptr;
  auto* record = static_cast<const std::uint32_t*>(raw::call<void*>(client_, first_factory));
  for (; record && position; --position) record = reinterpret_cast<const std::uint32_t*>(record[1]);
  return record;
}

void* loaded_module::service(const guid& class_id) {
  for (const std::uint32_t* record = factory(0); record; record = reinterpret_cast<const std::uint32_t*>(record[1]))
    if (std::memcmp(reinterpret_cast<const void*>(record[2]), &class_id, sizeof class_id) == 0)
      return const_cast<std::uint32_t*>(record + 3);
  problem_ = client_ ? "no factory for the class" : "no client: the module was not entered";
  return nullptr;
}

}  // namespace harness
