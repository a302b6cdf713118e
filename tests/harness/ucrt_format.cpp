#include "harness/ucrt_format.h"

#include <windows.h>

#include <cstdarg>

namespace harness {

namespace {
using common_vsprintf = int(__cdecl*)(unsigned long long, char*, std::size_t, const char*, void*, va_list);
common_vsprintf ucrt_vsprintf = nullptr;
}  // namespace

bool load_ucrt_formatter(std::string& problem) {
  HMODULE ucrt = LoadLibraryW(L"ucrtbase.dll");
  HMODULE forwarder = LoadLibraryW(L"api-ms-win-crt-stdio-l1-1-0.dll");
  auto* direct = ucrt ? GetProcAddress(ucrt, "__stdio_common_vsprintf") : nullptr;
  auto* forwarded = forwarder ? GetProcAddress(forwarder, "__stdio_common_vsprintf") : nullptr;
  if (!direct || direct != forwarded) {
    problem = "ucrtbase's __stdio_common_vsprintf not found, or not what the forwarder names";
    return false;
  }
  ucrt_vsprintf = reinterpret_cast<common_vsprintf>(reinterpret_cast<void*>(direct));
  return true;
}

int ucrt_snprintf(char* out, std::size_t size, const char* format, ...) {
  if (!ucrt_vsprintf) return -1;
  va_list arguments;
  va_start(arguments, format);
  // Option 2: C99 snprintf's results (the length needed is returned).
  const int length = ucrt_vsprintf(0x2, out, size, format, nullptr, arguments);
  va_end(arguments);
  return length;
}

}  // namespace harness
