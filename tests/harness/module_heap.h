// A loaded module's heap calls and live blocks, counted by redirecting its
// imports of the Universal CRT's heap functions: every allocation the
// component makes goes through them. Windows test programs only.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstring>

namespace module_heap {

using malloc_function = void*(__cdecl*)(std::size_t);
using calloc_function = void*(__cdecl*)(std::size_t, std::size_t);
using realloc_function = void*(__cdecl*)(void*, std::size_t);
using free_function = void(__cdecl*)(void*);
inline malloc_function real_malloc;
inline calloc_function real_calloc;
inline realloc_function real_realloc;
inline free_function real_free;
inline long long live_blocks = 0, calls = 0;

inline void* __cdecl counting_malloc(std::size_t size) {
  ++calls;
  void* block = real_malloc(size);
  live_blocks += block != nullptr;
  return block;
}
inline void* __cdecl counting_calloc(std::size_t count, std::size_t size) {
  ++calls;
  void* block = real_calloc(count, size);
  live_blocks += block != nullptr;
  return block;
}
// The Universal CRT's realloc frees the block for size 0.
inline void* __cdecl counting_realloc(void* block, std::size_t size) {
  ++calls;
  void* resized = real_realloc(block, size);
  if (!block && resized) ++live_blocks;
  if (block && size == 0) --live_blocks;
  return resized;
}
inline void __cdecl counting_free(void* block) {
  ++calls;
  live_blocks -= block != nullptr;
  real_free(block);
}

template <class Function>
inline void redirect(DWORD* slot, Function& original, Function counting) {
  DWORD protection = 0;
  VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection);
  original = reinterpret_cast<Function>(*slot);
  *slot = reinterpret_cast<DWORD>(counting);
  VirtualProtect(slot, sizeof *slot, protection, &protection);
}

// Redirects the module's heap imports to the counters; returns how many it
// found (4). Must run before the module's first heap call that matters: after
// LoadLibrary, before its export.
inline int count_calls_of(HMODULE module) {
  auto* base = reinterpret_cast<std::uint8_t*>(module);
  const auto* nt = reinterpret_cast<IMAGE_NT_HEADERS32*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const DWORD imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
  int redirected = 0;
  for (auto* entry = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports); imports && entry->Name; ++entry) {
    if (_stricmp(reinterpret_cast<char*>(base + entry->Name), "api-ms-win-crt-heap-l1-1-0.dll") != 0) continue;
    auto* names =
        reinterpret_cast<DWORD*>(base + (entry->OriginalFirstThunk ? entry->OriginalFirstThunk : entry->FirstThunk));
    auto* slots = reinterpret_cast<DWORD*>(base + entry->FirstThunk);
    for (; *names; ++names, ++slots) {
      if (*names & IMAGE_ORDINAL_FLAG32) continue;
      const char* name = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + *names)->Name;
      if (!std::strcmp(name, "malloc")) redirect(slots, real_malloc, counting_malloc), ++redirected;
      if (!std::strcmp(name, "calloc")) redirect(slots, real_calloc, counting_calloc), ++redirected;
      if (!std::strcmp(name, "realloc")) redirect(slots, real_realloc, counting_realloc), ++redirected;
      if (!std::strcmp(name, "free")) redirect(slots, real_free, counting_free), ++redirected;
    }
  }
  return redirected;
}

}  // namespace module_heap
