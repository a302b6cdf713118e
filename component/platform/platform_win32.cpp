// The real Windows calls behind platform.h.
#include <windows.h>

#include <csignal>
#include <cstdarg>
#include <cstdlib>

#include "platform/platform.h"

// The Universal CRT's formatter, reached through its import slot so that only
// api-ms-win-crt-stdio can provide it. Plain snprintf in C++ is MinGW's own
// formatter (libstdc++ switches __USE_MINGW_ANSI_STDIO on), which rounds
// differently.
using ucrt_vsprintf_function = int(__cdecl*)(unsigned long long options, char* out, std::size_t size,
                                             const char* format, void* locale, va_list arguments);
extern "C" const ucrt_vsprintf_function ucrt_vsprintf_import __asm__("__imp____stdio_common_vsprintf");

namespace {

// _CRT_INTERNAL_PRINTF_STANDARD_SNPRINTF_BEHAVIOR: on truncation, keep the zero
// and return the whole length, as C99 snprintf does.
constexpr unsigned long long ucrt_snprintf_behavior = 0x2;

int ucrt_snprintf(char* out, std::size_t size, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const int length = ucrt_vsprintf_import(ucrt_snprintf_behavior, out, size, format, nullptr, arguments);
  va_end(arguments);
  return length;
}

}  // namespace

namespace platform {

static_assert(sizeof(LONG) == sizeof(std::int32_t));

bool window_class_exists(module_handle module, const wchar_t* class_name) {
  WNDCLASSW existing{};
  return GetClassInfoW(static_cast<HINSTANCE>(module), class_name, &existing) != 0;
}

void register_window_class(module_handle module, const wchar_t* class_name) {
  WNDCLASSW window_class{};
  window_class.style = 0;
  window_class.lpfnWndProc = DefWindowProcW;
  window_class.cbClsExtra = 0;
  window_class.cbWndExtra = 0;
  window_class.hInstance = static_cast<HINSTANCE>(module);
  window_class.lpszClassName = class_name;
  RegisterClassW(&window_class);
}

window_handle create_message_window(module_handle module, const wchar_t* class_name) {
  return CreateWindowExW(0, class_name, L"", WS_POPUP, 0, 0, 1, 1, HWND_MESSAGE, nullptr,
                         static_cast<HINSTANCE>(module), nullptr);
}

void destroy_window(window_handle window) { DestroyWindow(static_cast<HWND>(window)); }

bool set_window_title(window_handle window, const char* text) {
  return SetWindowTextA(static_cast<HWND>(window), text) != 0;
}

std::int32_t interlocked_increment(std::int32_t volatile* value) {
  return InterlockedIncrement(reinterpret_cast<LONG volatile*>(value));
}

std::int32_t interlocked_decrement(std::int32_t volatile* value) {
  return InterlockedDecrement(reinterpret_cast<LONG volatile*>(value));
}

signal_handler install_signal_handler(int runtime_signal, signal_handler handler) {
  return std::signal(runtime_signal, handler);
}

unsigned clear_abort_behavior() { return _set_abort_behavior(0, ~0u); }

void restore_abort_behavior(unsigned flags) { _set_abort_behavior(flags, ~0u); }

void raise_noncontinuable_exception(std::uint32_t code, std::uint32_t argument) {
  const ULONG_PTR arguments[1] = {argument};
  RaiseException(code, EXCEPTION_NONCONTINUABLE, 1, arguments);
  // A non-continuable exception never resumes here; the kernel refuses.
  std::abort();
}

int format_whole_seconds(double seconds, char* out, std::size_t size) {
  return ucrt_snprintf(out, size, "%.0f", seconds);
}

}  // namespace platform
