// What a Microsoft C++ runtime's start-up and static libraries give a program,
// reduced to what this freestanding test player needs, and its output.
#include "imports.h"
#include "report.h"

// --- Pieces the compiler's output refers to ---

extern "C" {
// Set when floating point is used; nothing reads it here.
int _fltused = 0;

// clang's type descriptors point at type_info's table, which no Wine DLL exports.
extern const void* const type_info_table[2] __asm__("??_7type_info@@6B@") = {nullptr, nullptr};

// The linker's SafeSEH table of this image. Without a load configuration that
// points at it, the image is marked as having no handlers at all.
extern const void* const __safe_se_handler_table[];
extern const std::uint8_t __safe_se_handler_count;  // its address is the count

// Only the size and the SafeSEH table are set; every other field is zero.
struct load_configuration_32 {
  std::uint32_t size = 0, time_date_stamp = 0;
  std::uint16_t major_version = 0, minor_version = 0;
  std::uint32_t global_flags_clear = 0, global_flags_set = 0, critical_section_timeout = 0;
  std::uint32_t decommit_free_block_threshold = 0, decommit_total_free_threshold = 0;
  const void* lock_prefix_table = nullptr;
  std::uint32_t maximum_allocation_size = 0, virtual_memory_threshold = 0, process_heap_flags = 0,
                process_affinity_mask = 0;
  std::uint16_t csd_version = 0, dependent_load_flags = 0;
  const void* edit_list = nullptr;
  const void* security_cookie = nullptr;
  const void* const* safe_handler_table = nullptr;
  const void* safe_handler_count = nullptr;
};
extern constinit const load_configuration_32 _load_config_used = {
    .size = sizeof(load_configuration_32),
    .safe_handler_table = __safe_se_handler_table,
    .safe_handler_count = &__safe_se_handler_count,
};
}

// Scalar deleting destructors refer to these; nothing is allocated with new.
void operator delete(void* block) noexcept { free(block); }
void operator delete(void* block, std::size_t) noexcept { free(block); }

// --- Output ---

namespace {

int failures = 0;

void write_out(const char* text, std::size_t size) {
  std::uint32_t written = 0;
  WriteFile(GetStdHandle(static_cast<std::uint32_t>(-11)), text, size, &written, nullptr);
}

void print_line(const char* prefix, const char* format, __builtin_va_list arguments) {
  char line[512];
  const std::size_t prefix_length = strlen(prefix);
  memcpy(line, prefix, prefix_length);
  int length = _vsnprintf(line + prefix_length, sizeof line - prefix_length - 1, format, arguments);
  if (length < 0) length = static_cast<int>(sizeof line - prefix_length - 2);
  line[prefix_length + length] = '\n';
  write_out(line, prefix_length + length + 1);
}

// The first (most derived) type a C++ exception of Microsoft's model was thrown as.
const char* thrown_type_name(const exception_record& record) {
  constexpr std::uint32_t cxx_exception = 0xE06D7363;
  if (record.code != cxx_exception || record.argument_count < 3 || !record.arguments[2]) return "";
  struct type_descriptor {
    const void* table;
    void* spare;
    char name[1];
  };
  struct catchable_type {
    std::uint32_t properties;
    const type_descriptor* type;
  };
  struct catchable_type_array {
    std::uint32_t count;
    const catchable_type* types[1];
  };
  struct throw_info {
    std::uint32_t attributes;
    const void* destructor;
    const void* forward_compatibility;
    const catchable_type_array* catchable_types;
  };
  const auto* info = reinterpret_cast<const throw_info*>(record.arguments[2]);
  return info->catchable_types->types[0]->type->name;
}

// An error nothing caught: a scenario failure with what is known of it.
long __stdcall report_unhandled(exception_pointers* pointers) {
  const exception_record& record = *pointers->record;
  print("FAIL: unhandled exception 0x%08X at %p (%u arguments: 0x%X 0x%X) %s", record.code, record.address,
        record.argument_count, record.argument_count > 0 ? record.arguments[0] : 0,
        record.argument_count > 1 ? record.arguments[1] : 0, thrown_type_name(record));
  ExitProcess(2);
}

// The first argument of the command line, without quotes.
const char* argument_of(const char* command_line) {
  const char* p = command_line;
  if (*p == '"') {
    for (++p; *p && *p != '"'; ++p) {
    }
    if (*p) ++p;
  } else {
    while (*p && *p != ' ' && *p != '\t') ++p;
  }
  while (*p == ' ' || *p == '\t') ++p;
  return p;
}

}  // namespace

void print(const char* format, ...) {
  __builtin_va_list arguments;
  __builtin_va_start(arguments, format);
  print_line("", format, arguments);
  __builtin_va_end(arguments);
}

bool expect(bool ok, const char* format, ...) {
  if (ok) return true;
  ++failures;
  __builtin_va_list arguments;
  __builtin_va_start(arguments, format);
  print_line("FAIL: ", format, arguments);
  __builtin_va_end(arguments);
  return false;
}

bool expect_text(const char* seen, const char* expected, const char* what) {
  return expect(seen && strcmp(seen, expected) == 0, "%s: \"%s\", expected \"%s\"", what, seen ? seen : "(null)",
                expected);
}

int failure_count() { return failures; }

void fatal(const char* what) {
  print("FAIL: unexpected call: %s", what);
  ExitProcess(3);
}

// No C runtime start-up: global objects are all constant-initialised.
extern "C" void mainCRTStartup() {
  SetUnhandledExceptionFilter(report_unhandled);
  char argument[64] = {};
  const char* given = argument_of(GetCommandLineA());
  for (std::size_t i = 0; i + 1 < sizeof argument && given[i] && given[i] != ' '; ++i) argument[i] = given[i];
  ExitProcess(static_cast<std::uint32_t>(run_scenario(argument)));
}
