// Child process of the signal test: loads the component (which installs its
// signal translation at load), then raises a signal or aborts through the same
// C runtime, and reports the structured exception that arrives.
#include <windows.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void write_stdout(const char* text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
}

LONG CALLBACK report_exception(EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
  char line[160];
  std::snprintf(line, sizeof line, "exception code=0x%08lX flags=%lu arguments=%lu argument0=%lu\n",
                static_cast<unsigned long>(record.ExceptionCode), static_cast<unsigned long>(record.ExceptionFlags),
                static_cast<unsigned long>(record.NumberParameters),
                static_cast<unsigned long>(record.NumberParameters ? record.ExceptionInformation[0] : 0));
  write_stdout(line);
  ExitProcess(0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  if (!LoadLibraryW(L"foo_vek_ipc.dll")) {
    write_stdout("cannot load foo_vek_ipc.dll\n");
    return 2;
  }
  AddVectoredExceptionHandler(1, report_exception);
  const char* mode = argv[1];
  if (std::strcmp(mode, "abort") == 0) {
    std::abort();
  } else {
    const int result = std::raise(std::atoi(mode));
    char line[64];
    std::snprintf(line, sizeof line, "raise returned %d\n", result);
    write_stdout(line);
  }
  return 1;
}
