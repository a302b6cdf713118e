// What the test player takes from Windows and its C runtime DLLs. No SDK or
// runtime headers exist for this freestanding build, so the few names it uses
// are declared here with the callers' exact conventions.
#pragma once

namespace std {
using size_t = unsigned int;
using int32_t = int;
using uint8_t = unsigned char;
using uint16_t = unsigned short;
using uint32_t = unsigned int;
using uint64_t = unsigned long long;
using uintptr_t = unsigned int;
}  // namespace std

static_assert(sizeof(void*) == 4 && sizeof(wchar_t) == 2 && sizeof(long) == 4);

// The fields of MEMORY_BASIC_INFORMATION on 32-bit Windows.
struct memory_region {
  void* base;
  void* allocation_base;
  std::uint32_t allocation_protection;
  std::size_t size;
  std::uint32_t state;  // mem_commit, ...
  std::uint32_t protection;
  std::uint32_t type;  // mem_private, ...
};
inline constexpr std::uint32_t mem_commit = 0x1000, mem_private = 0x20000, page_readwrite = 0x04;

struct exception_record {
  std::uint32_t code;
  std::uint32_t flags;
  exception_record* chained;
  void* address;
  std::uint32_t argument_count;
  std::uintptr_t arguments[15];
};
struct exception_pointers {
  exception_record* record;
  void* context;
};
using unhandled_filter = long(__stdcall*)(exception_pointers*);

// HWND_MESSAGE: the parent of message-only windows.
inline void* const message_only_parent = reinterpret_cast<void*>(-3);

extern "C" {
// kernel32.dll
__declspec(dllimport) void* __stdcall GetStdHandle(std::uint32_t which);
__declspec(dllimport) int __stdcall WriteFile(void* file, const void* data, std::uint32_t size, std::uint32_t* written,
                                              void* overlapped);
__declspec(dllimport) __declspec(noreturn) void __stdcall ExitProcess(std::uint32_t code);
__declspec(dllimport) const char* __stdcall GetCommandLineA();
__declspec(dllimport) void* __stdcall LoadLibraryW(const wchar_t* file);
__declspec(dllimport) void* __stdcall GetProcAddress(void* module, const char* name);
__declspec(dllimport) int __stdcall FreeLibrary(void* module);
__declspec(dllimport) std::size_t __stdcall VirtualQuery(const void* address, memory_region* region, std::size_t size);
__declspec(dllimport) int __stdcall VirtualProtect(void* address, std::size_t size, std::uint32_t protection,
                                                   std::uint32_t* old_protection);
__declspec(dllimport) unhandled_filter __stdcall SetUnhandledExceptionFilter(unhandled_filter filter);

// user32.dll
__declspec(dllimport) void* __stdcall FindWindowExW(void* parent, void* after, const wchar_t* class_name,
                                                    const wchar_t* title);
__declspec(dllimport) int __stdcall GetWindowTextA(void* window, char* text, int capacity);

// ucrtbase.dll
__declspec(dllimport) void* __cdecl malloc(std::size_t size);
__declspec(dllimport) void __cdecl free(void* block);
__declspec(dllimport) void* __cdecl memcpy(void* destination, const void* source, std::size_t count);
__declspec(dllimport) void* __cdecl memset(void* destination, int value, std::size_t count);
__declspec(dllimport) int __cdecl memcmp(const void* a, const void* b, std::size_t count);
__declspec(dllimport) std::size_t __cdecl strlen(const char* text);
__declspec(dllimport) int __cdecl strcmp(const char* a, const char* b);
__declspec(dllimport) int __cdecl _stricmp(const char* a, const char* b);

// ntdll.dll (ucrtbase has only the generic stdio entry points)
__declspec(dllimport) int __cdecl _vsnprintf(char* buffer, std::size_t capacity, const char* format,
                                             __builtin_va_list arguments);
}
