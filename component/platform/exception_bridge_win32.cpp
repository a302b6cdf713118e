// The player's C++ exception model on 32-bit Windows, as Microsoft's compiler
// and runtime lay it out: a C++ exception is the structured exception
// 0xE06D7363 whose arguments are a magic number, the thrown object and the
// object's throw information (its destructor and the types it can be caught
// as, most derived first). Handlers match those types by decorated name.
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

#include "platform/exception_bridge.h"
#include "support/errors.h"

// GCC places thiscall on plain functions, but warns that it is meant for members.
#pragma GCC diagnostic ignored "-Wattributes"
#define VEK_THISCALL __attribute__((thiscall))

namespace platform {

struct carried_exception;

namespace {

constexpr DWORD cxx_exception_code = 0xE06D7363;
constexpr ULONG_PTR cxx_magic = 0x19930520;  // later compilers also use ...21 and ...22

// --- Run-time type information as the player's runtime reads it ---

struct type_descriptor {
  const void* type_info_table;  // never used: these descriptors are never destroyed
  void* undecorated_name;       // the runtime caches the readable name here: writable
  char decorated_name[52];      // compared as a zero-terminated text
};

struct member_displacement {
  std::int32_t member, vbtable, vbase;  // vbtable -1: no virtual base
};

struct error_object;
using copy_function = error_object*(VEK_THISCALL*)(error_object*, const error_object*);

struct catchable_type {
  std::uint32_t properties;  // simple_type: copied bitwise; virtual_base: copy takes a third argument
  type_descriptor* type;
  member_displacement displacement;
  std::int32_t size;
  copy_function copy;  // the player's types have their own signature; see copy_player_object
};
constexpr std::uint32_t simple_type = 1, virtual_base = 4;

// The runtime reads `count` entries; ours hold at most four.
struct catchable_type_list {
  std::int32_t count;
  const catchable_type* types[4];
};

struct throw_info {
  std::uint32_t attributes;
  void(VEK_THISCALL* destroy)(void* object);  // null: nothing to destroy
  const void* forward_compatibility;
  const catchable_type_list* catchable;
};

struct class_hierarchy;
struct base_class {
  type_descriptor* type;
  std::uint32_t contained_bases;
  member_displacement where;
  std::uint32_t attributes;  // has_hierarchy: `hierarchy` is filled
  const class_hierarchy* hierarchy;
};
constexpr std::uint32_t has_hierarchy = 0x40;

struct class_hierarchy {
  std::uint32_t signature, attributes, base_count;
  const base_class* const* bases;
};

struct object_locator {
  std::uint32_t signature, offset, constructor_offset;
  type_descriptor* type;
  const class_hierarchy* hierarchy;
};

// --- The component's errors, in the player's std::exception layout ---

// Table pointer, message, does-free flag: 12 bytes. The message is static and
// the flag stays false in every copy, so the player's own std::exception
// destructor, which runs on a copy caught by value, frees nothing.
struct error_object {
  const void* table;
  const char* message;
  bool frees_message;
};
static_assert(sizeof(error_object) == 12);

struct error_table {
  const object_locator* locator;  // slot -1: typeid and dynamic_cast read it
  void*(VEK_THISCALL* destroy)(error_object*, unsigned flags);
  const char*(VEK_THISCALL* what)(const error_object*);
};

// The type tree: every error derives singly from std::exception.
enum error_type : int {
  std_exception,
  bad_alloc,
  overflow,
  service_not_found,
  service_duplicated,
  io,
  io_data,
  io_data_truncation,
  aborted,
  error_type_count
};
constexpr int parent_of[error_type_count] = {
    -1, std_exception, std_exception, std_exception, std_exception, std_exception, io, io_data, std_exception};

// Class names, as a handler compiled from class declarations expects them.
type_descriptor descriptors[error_type_count] = {
    {nullptr, nullptr, ".?AVexception@std@@"},
    {nullptr, nullptr, ".?AVbad_alloc@std@@"},
    {nullptr, nullptr, ".?AVexception_overflow@pfc@@"},
    {nullptr, nullptr, ".?AVexception_service_not_found@@"},
    {nullptr, nullptr, ".?AVexception_service_duplicated@@"},
    {nullptr, nullptr, ".?AVexception_io@foobar2000_io@@"},
    {nullptr, nullptr, ".?AVexception_io_data@foobar2000_io@@"},
    {nullptr, nullptr, ".?AVexception_io_data_truncation@foobar2000_io@@"},
    {nullptr, nullptr, ".?AVexception_aborted@foobar2000_io@@"},
};

constexpr std::uint32_t chain_length(int type) { return type < 0 ? 0 : 1 + chain_length(parent_of[type]); }

// Our objects own nothing, and none is ever deleted through its table: they
// live in the raising frame or in memory the player's runtime manages.
void* VEK_THISCALL destroy_error(error_object* self, unsigned) { return self; }
const char* VEK_THISCALL error_what(const error_object* self) { return self->message; }

extern const error_table tables[error_type_count];

// A copy takes the type it is copied as (a base when caught by value).
template <int Type>
error_object* VEK_THISCALL copy_as(error_object* self, const error_object* source) {
  self->table = &tables[Type].destroy;
  self->message = source->message;
  self->frees_message = false;
  return self;
}

extern const class_hierarchy hierarchies[error_type_count];

constexpr base_class base_class_of(int type) {
  return {&descriptors[type], chain_length(type) - 1, {0, -1, 0}, has_hierarchy, &hierarchies[type]};
}
const base_class base_classes[error_type_count] = {base_class_of(0), base_class_of(1), base_class_of(2),
                                                   base_class_of(3), base_class_of(4), base_class_of(5),
                                                   base_class_of(6), base_class_of(7), base_class_of(8)};

struct base_chain {
  const base_class* bases[4];
};
constexpr base_chain chain_of(int type) {
  base_chain chain{};
  for (int i = 0; type >= 0; type = parent_of[type]) chain.bases[i++] = &base_classes[type];
  return chain;
}
const base_chain chains[error_type_count] = {chain_of(0), chain_of(1), chain_of(2), chain_of(3), chain_of(4),
                                             chain_of(5), chain_of(6), chain_of(7), chain_of(8)};

constexpr class_hierarchy hierarchy_of(int type) { return {0, 0, chain_length(type), chains[type].bases}; }
const class_hierarchy hierarchies[error_type_count] = {hierarchy_of(0), hierarchy_of(1), hierarchy_of(2),
                                                       hierarchy_of(3), hierarchy_of(4), hierarchy_of(5),
                                                       hierarchy_of(6), hierarchy_of(7), hierarchy_of(8)};

const object_locator locators[error_type_count] = {
    {0, 0, 0, &descriptors[0], &hierarchies[0]}, {0, 0, 0, &descriptors[1], &hierarchies[1]},
    {0, 0, 0, &descriptors[2], &hierarchies[2]}, {0, 0, 0, &descriptors[3], &hierarchies[3]},
    {0, 0, 0, &descriptors[4], &hierarchies[4]}, {0, 0, 0, &descriptors[5], &hierarchies[5]},
    {0, 0, 0, &descriptors[6], &hierarchies[6]}, {0, 0, 0, &descriptors[7], &hierarchies[7]},
    {0, 0, 0, &descriptors[8], &hierarchies[8]}};

const error_table tables[error_type_count] = {
    {&locators[0], destroy_error, error_what}, {&locators[1], destroy_error, error_what},
    {&locators[2], destroy_error, error_what}, {&locators[3], destroy_error, error_what},
    {&locators[4], destroy_error, error_what}, {&locators[5], destroy_error, error_what},
    {&locators[6], destroy_error, error_what}, {&locators[7], destroy_error, error_what},
    {&locators[8], destroy_error, error_what}};

constexpr catchable_type catchable_as(int type, copy_function copy) {
  return {0, &descriptors[type], {0, -1, 0}, sizeof(error_object), copy};
}
const catchable_type catchable_types[error_type_count] = {
    catchable_as(0, copy_as<0>), catchable_as(1, copy_as<1>), catchable_as(2, copy_as<2>),
    catchable_as(3, copy_as<3>), catchable_as(4, copy_as<4>), catchable_as(5, copy_as<5>),
    catchable_as(6, copy_as<6>), catchable_as(7, copy_as<7>), catchable_as(8, copy_as<8>)};

constexpr catchable_type_list catchable_list_of(int type) {
  catchable_type_list list{static_cast<std::int32_t>(chain_length(type)), {}};
  for (int i = 0; type >= 0; type = parent_of[type]) list.types[i++] = &catchable_types[type];
  return list;
}
const catchable_type_list catchable_lists[error_type_count] = {
    catchable_list_of(0), catchable_list_of(1), catchable_list_of(2), catchable_list_of(3), catchable_list_of(4),
    catchable_list_of(5), catchable_list_of(6), catchable_list_of(7), catchable_list_of(8)};

const throw_info throw_infos[error_type_count] = {
    {0, nullptr, nullptr, &catchable_lists[0]}, {0, nullptr, nullptr, &catchable_lists[1]},
    {0, nullptr, nullptr, &catchable_lists[2]}, {0, nullptr, nullptr, &catchable_lists[3]},
    {0, nullptr, nullptr, &catchable_lists[4]}, {0, nullptr, nullptr, &catchable_lists[5]},
    {0, nullptr, nullptr, &catchable_lists[6]}, {0, nullptr, nullptr, &catchable_lists[7]},
    {0, nullptr, nullptr, &catchable_lists[8]}};

[[noreturn]] void raise_object(void* object, const void* info, ULONG_PTR magic) {
  const ULONG_PTR arguments[3] = {magic, reinterpret_cast<ULONG_PTR>(object), reinterpret_cast<ULONG_PTR>(info)};
  RaiseException(cxx_exception_code, EXCEPTION_NONCONTINUABLE, 3, arguments);
  std::abort();  // nothing resumes a non-continuable exception
}

}  // namespace

// --- A player's exception carried through the component ---

// One heap block: this header, then a copy of the player's object. Shared by
// the copies of the component exception that carries it; the last one gone
// destroys the player's object with the player's own destructor.
struct alignas(8) carried_exception {
  LONG volatile references;
  const throw_info* info;  // the player's: valid while its module is loaded
  ULONG_PTR magic;
  int tree_type;  // the first of its types that is one of ours, or -1

  void* object() { return this + 1; }
};

namespace {

const catchable_type& most_derived(const throw_info& info) { return *info.catchable->types[0]; }

// Copy-constructs the player's object at `target` as its own runtime would.
void copy_player_object(void* target, const void* source, const catchable_type& type) {
  source = static_cast<const char*>(source) + type.displacement.member;
  if ((type.properties & simple_type) || !type.copy) {
    std::memcpy(target, source, static_cast<std::size_t>(type.size));
  } else if (type.properties & virtual_base) {
    using copy_with_virtual_base = void*(VEK_THISCALL*)(void*, const void*, int);
    reinterpret_cast<copy_with_virtual_base>(reinterpret_cast<void*>(type.copy))(target, source, 1);
  } else {
    using plain_copy = void*(VEK_THISCALL*)(void*, const void*);
    reinterpret_cast<plain_copy>(reinterpret_cast<void*>(type.copy))(target, source);
  }
}

int tree_type_of(const throw_info& info) {
  const catchable_type_list& list = *info.catchable;
  for (std::int32_t i = 0; i < list.count; ++i)
    for (int type = 0; type < error_type_count; ++type)
      if (std::strcmp(list.types[i]->type->decorated_name, descriptors[type].decorated_name) == 0) return type;
  return -1;
}

void acquire(carried_exception* carried) noexcept { InterlockedIncrement(&carried->references); }

void release(carried_exception* carried) noexcept {
  if (InterlockedDecrement(&carried->references) != 0) return;
  if (carried->info->destroy) carried->info->destroy(carried->object());
  std::free(carried);
}

// Null when there is no memory for the copy.
carried_exception* carry(const void* object, const throw_info& info, ULONG_PTR magic) {
  const catchable_type& type = most_derived(info);
  auto* carried = static_cast<carried_exception*>(std::malloc(sizeof(carried_exception) + type.size));
  if (!carried) return nullptr;
  copy_player_object(carried->object(), object, type);
  carried->references = 1;
  carried->info = &info;
  carried->magic = magic;
  carried->tree_type = tree_type_of(info);
  return carried;
}

// The component exceptions that carry a player's exception: each holds one
// reference, so the player's object lives as long as any copy of it.
class carrier {
 public:
  explicit carrier(carried_exception* carried) noexcept : carried_(carried) {}
  carrier(const carrier& other) noexcept : carried_(other.carried_) { acquire(carried_); }
  carrier& operator=(const carrier&) = delete;
  ~carrier() { release(carried_); }

  carried_exception* carried() const noexcept { return carried_; }

 private:
  carried_exception* carried_;
};

template <class Error>
class carried_error final : public Error, public carrier {
 public:
  explicit carried_error(carried_exception* carried) noexcept : carrier(carried) {}
};

// A player's exception of none of the component's types: no component handler
// catches it, and it leaves as it came.
class carried_foreign_exception final : public carrier {
 public:
  using carrier::carrier;
};

[[noreturn]] void throw_as_component_error(carried_exception* carried) {
  switch (carried->tree_type) {
    case std_exception:
      throw carried_error<std::exception>(carried);
    case bad_alloc:
      throw carried_error<pfc::bad_allocation>(carried);
    case overflow:
      throw carried_error<pfc::exception_overflow>(carried);
    case service_not_found:
      throw carried_error<exception_service_not_found>(carried);
    case service_duplicated:
      throw carried_error<exception_service_duplicated>(carried);
    case io:
      throw carried_error<foobar2000_io::exception_io>(carried);
    case io_data:
      throw carried_error<foobar2000_io::exception_io_data>(carried);
    case io_data_truncation:
      throw carried_error<foobar2000_io::exception_io_data_truncation>(carried);
    case aborted:
      throw carried_error<foobar2000_io::exception_aborted>(carried);
    default:
      throw carried_foreign_exception(carried);
  }
}

// --- Intercepting the player's exceptions around one call ---

struct registration {
  registration* next;
  void* handler;
};

registration* chain_head() {
  registration* head;
  asm volatile("movl %%fs:0, %0" : "=r"(head));
  return head;
}

void set_chain_head(registration* head) { asm volatile("movl %0, %%fs:0" : : "r"(head) : "memory"); }

// Linked on the thread's handler chain for the duration of one call.
struct interception {
  registration link;  // first: the dispatcher hands the handler this address
  std::uint32_t resume_state[6];
  carried_exception* volatile carried;
  bool volatile out_of_memory;
};

}  // namespace

// RtlUnwind does not preserve EBX, ESI and EDI; this does, around it.
// cdecl void vek_unwind_to(unwind_function, target_frame, exception_record)
asm(R"(
  .text
  .globl _vek_unwind_to
_vek_unwind_to:
  pushl %ebp
  movl %esp, %ebp
  pushl %ebx
  pushl %esi
  pushl %edi
  pushl $0
  pushl 16(%ebp)
  pushl $1f
  pushl 12(%ebp)
  call *8(%ebp)
1:
  leal -12(%ebp), %esp
  popl %edi
  popl %esi
  popl %ebx
  popl %ebp
  ret
)");
extern "C" void vek_unwind_to(void* unwind_function, void* target_frame, EXCEPTION_RECORD* record);

// cdecl int vek_call_guarded(call, context, state): saves EBX, ESI, EDI, EBP,
// the caller's ESP and the return address in `state`, calls call(context) and
// returns 0. vek_resume(state), from any depth below, returns 1 from it instead,
// with every register the caller relies on as it was: unlike a setjmp that
// keeps only the frame, this holds whatever the compiler kept in registers.
asm(R"(
  .text
  .globl _vek_call_guarded
_vek_call_guarded:
  .cfi_startproc
  movl 12(%esp), %eax
  movl %ebx, 0(%eax)
  movl %esi, 4(%eax)
  movl %edi, 8(%eax)
  movl %ebp, 12(%eax)
  leal 4(%esp), %ecx
  movl %ecx, 16(%eax)
  movl (%esp), %ecx
  movl %ecx, 20(%eax)
  pushl 8(%esp)
  .cfi_adjust_cfa_offset 4
  call *8(%esp)
  addl $4, %esp
  .cfi_adjust_cfa_offset -4
  xorl %eax, %eax
  ret
  .cfi_endproc

  .globl _vek_resume
_vek_resume:
  movl 4(%esp), %eax
  movl 0(%eax), %ebx
  movl 4(%eax), %esi
  movl 8(%eax), %edi
  movl 12(%eax), %ebp
  movl 16(%eax), %esp
  movl 20(%eax), %ecx
  movl $1, %eax
  jmp *%ecx
)");
extern "C" int vek_call_guarded(void (*call)(void*), void* context, std::uint32_t* state);
extern "C" [[noreturn]] void vek_resume(std::uint32_t* state);

namespace {

bool is_player_cxx_exception(const EXCEPTION_RECORD& record) {
  if (record.ExceptionCode != cxx_exception_code || record.NumberParameters != 3) return false;
  const ULONG_PTR magic = record.ExceptionInformation[0];
  // A rethrow (`throw;`) names no object: its runtime keeps it, out of our reach.
  if (magic < 0x19930520 || magic > 0x19930522 || !record.ExceptionInformation[1]) return false;
  const auto* info = reinterpret_cast<const throw_info*>(record.ExceptionInformation[2]);
  return info && info->catchable && info->catchable->count > 0;
}

EXCEPTION_DISPOSITION __cdecl intercept(EXCEPTION_RECORD* record, void* frame, CONTEXT*, void*) {
  // Structured exceptions that are not C++ exceptions, and unwinds, pass by.
  if ((record->ExceptionFlags & EXCEPTION_UNWIND) || !is_player_cxx_exception(*record)) return ExceptionContinueSearch;
  auto& guard = *static_cast<interception*>(frame);
  void* object = reinterpret_cast<void*>(record->ExceptionInformation[1]);
  const auto& info = *reinterpret_cast<const throw_info*>(record->ExceptionInformation[2]);
  guard.carried = carry(object, info, record->ExceptionInformation[0]);
  guard.out_of_memory = guard.carried == nullptr;
  // The player's frames between the raise and this call run their destructors.
  vek_unwind_to(reinterpret_cast<void*>(&RtlUnwind), frame, record);
  // No handler of the player's caught it, so its object is ours to destroy.
  if (info.destroy) info.destroy(object);
  vek_resume(guard.resume_state);
}

}  // namespace

void run_intercepting(void (*call)(void*), void* context) {
  interception guard;
  guard.link.next = chain_head();
  guard.link.handler = reinterpret_cast<void*>(&intercept);
  guard.carried = nullptr;
  guard.out_of_memory = false;
  set_chain_head(&guard.link);
  int intercepted;
  try {
    intercepted = vek_call_guarded(call, context, guard.resume_state);
  } catch (...) {
    set_chain_head(guard.link.next);  // a component error from inside the call
    throw;
  }
  // After an interception the player's frames are unwound and FS:[0] is our record.
  set_chain_head(guard.link.next);
  if (!intercepted) return;
  if (guard.out_of_memory) throw pfc::bad_allocation();  // the player's error could not be kept
  throw_as_component_error(guard.carried);
}

outgoing_error classify_current_error() noexcept {
  try {
    throw;
  } catch (const carrier& error) {
    acquire(error.carried());
    return {-1, nullptr, error.carried()};
  } catch (const foobar2000_io::exception_io_data_truncation& error) {
    return {io_data_truncation, error.what(), nullptr};
  } catch (const foobar2000_io::exception_io_data& error) {
    return {io_data, error.what(), nullptr};
  } catch (const foobar2000_io::exception_io& error) {
    return {io, error.what(), nullptr};
  } catch (const foobar2000_io::exception_aborted& error) {
    return {aborted, error.what(), nullptr};
  } catch (const exception_service_not_found& error) {
    return {service_not_found, error.what(), nullptr};
  } catch (const exception_service_duplicated& error) {
    return {service_duplicated, error.what(), nullptr};
  } catch (const pfc::exception_overflow& error) {
    return {overflow, error.what(), nullptr};
  } catch (const std::bad_alloc&) {
    return {bad_alloc, "bad allocation", nullptr};
  } catch (...) {
    // Any other error's text may live in its object, which is gone before the raise.
    return {std_exception, "Unknown exception", nullptr};
  }
}

void raise_to_player(outgoing_error error) {
  if (carried_exception* carried = error.carried) {
    // The player's handler runs above this frame, so the object may live here.
    void* object = __builtin_alloca(static_cast<std::size_t>(most_derived(*carried->info).size));
    copy_player_object(object, carried->object(), most_derived(*carried->info));
    const throw_info* info = carried->info;
    const ULONG_PTR magic = carried->magic;
    release(carried);
    raise_object(object, info, magic);
  }
  error_object object{&tables[error.type].destroy, error.message, false};
  raise_object(&object, &throw_infos[error.type], cxx_magic);
}

}  // namespace platform
