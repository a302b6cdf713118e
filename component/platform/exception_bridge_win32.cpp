// The player's C++ exception model on 32-bit Windows, as Microsoft's compiler
// and runtime lay it out: a C++ exception is the structured exception
// 0xE06D7363 whose arguments are a magic number, the thrown object and the
// object's throw information (its destructor and the types it can be caught
// as, most derived first). Handlers match those types by decorated name.
#include <intrin.h>
#include <windows.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>

#include "platform/exception_bridge.h"
#include "support/error_tree_index.h"
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

// Compared as a zero-terminated text.
struct decorated_name {
  char text[52];
};

struct type_descriptor {
  const void* type_info_table;  // never used: these descriptors are never destroyed
  void* undecorated_name;       // the runtime caches the readable name here: writable
  decorated_name name;
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
static_assert(std::ranges::max(error_tree::depth_of) < 4, "a chain of bases longer than the tables hold");
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

// The type tree of support/error_tree.h: every error derives singly from
// std::exception, so a type's chain of bases is its chain of parents.
using error_tree::count;
using error_tree::parent_of;

// A constant array of one T per error type: make(type) for each.
template <class T, class Make, int... Type>
constexpr std::array<T, count> for_each_type(Make make, std::integer_sequence<int, Type...>) {
  return {make(Type)...};
}
template <class T, class Make>
constexpr std::array<T, count> for_each_type(Make make) {
  return for_each_type<T>(make, std::make_integer_sequence<int, count>{});
}

// The name a handler compiled from the class declaration looks for:
// ".?AV", the class name and its enclosing namespaces innermost first, each
// followed by '@', then '@'. "::name" is a class of the global namespace.
constexpr decorated_name decorate(std::string_view qualified) {
  decorated_name out{};
  std::size_t length = 0;
  auto put = [&](std::string_view text) {
    if (length + text.size() >= sizeof out.text) throw "a decorated name longer than the descriptor holds";
    for (char c : text) out.text[length++] = c;
  };
  if (qualified.starts_with("::")) qualified.remove_prefix(2);
  put(".?AV");
  for (std::size_t last; (last = qualified.rfind("::")) != std::string_view::npos;
       qualified = qualified.substr(0, last)) {
    put(qualified.substr(last + 2));
    put("@");
  }
  put(qualified);
  put("@@");
  return out;
}

template <int... Type>
constexpr std::array<std::string_view, count> qualified_names(std::integer_sequence<int, Type...>) {
  return {error_tree::entry<Type>::qualified_name...};
}

constinit std::array<type_descriptor, count> descriptors = for_each_type<type_descriptor>([](int type) {
  return type_descriptor{nullptr, nullptr, decorate(qualified_names(std::make_integer_sequence<int, count>{})[type])};
});

constexpr std::uint32_t chain_length(int type) { return type < 0 ? 0 : 1 + chain_length(parent_of[type]); }

// Our objects own nothing, and none is ever deleted through its table: they
// live in the raising frame or in memory the player's runtime manages.
void* VEK_THISCALL destroy_error(error_object* self, unsigned) { return self; }
const char* VEK_THISCALL error_what(const error_object* self) { return self->message; }

extern const std::array<error_table, count> tables;

// A copy takes the type it is copied as (a base when caught by value).
template <int Type>
error_object* VEK_THISCALL copy_as(error_object* self, const error_object* source) {
  self->table = &tables[Type].destroy;
  self->message = source->message;
  self->frees_message = false;
  return self;
}

extern const std::array<class_hierarchy, count> hierarchies;

constinit const std::array<base_class, count> base_classes = for_each_type<base_class>([](int type) {
  return base_class{&descriptors[type], chain_length(type) - 1, {0, -1, 0}, has_hierarchy, &hierarchies[type]};
});

struct base_chain {
  const base_class* bases[4];
};
constinit const std::array<base_chain, count> chains = for_each_type<base_chain>([](int type) {
  base_chain chain{};
  for (int i = 0; type >= 0; type = parent_of[type]) chain.bases[i++] = &base_classes[type];
  return chain;
});

constinit const std::array<class_hierarchy, count> hierarchies = for_each_type<class_hierarchy>([](int type) {
  return class_hierarchy{0, 0, chain_length(type), chains[type].bases};
});

constinit const std::array<object_locator, count> locators = for_each_type<object_locator>([](int type) {
  return object_locator{0, 0, 0, &descriptors[type], &hierarchies[type]};
});

constinit const std::array<error_table, count> tables = for_each_type<error_table>([](int type) {
  return error_table{&locators[type], destroy_error, error_what};
});

template <int... Type>
constexpr std::array<catchable_type, count> catchable_types_of(std::integer_sequence<int, Type...>) {
  return {catchable_type{0, &descriptors[Type], {0, -1, 0}, sizeof(error_object), copy_as<Type>}...};
}
constinit const std::array<catchable_type, count> catchable_types =
    catchable_types_of(std::make_integer_sequence<int, count>{});

constinit const std::array<catchable_type_list, count> catchable_lists =
    for_each_type<catchable_type_list>([](int type) {
      catchable_type_list list{static_cast<std::int32_t>(chain_length(type)), {}};
      for (int i = 0; type >= 0; type = parent_of[type]) list.types[i++] = &catchable_types[type];
      return list;
    });

constinit const std::array<throw_info, count> throw_infos = for_each_type<throw_info>([](int type) {
  return throw_info{0, nullptr, nullptr, &catchable_lists[type]};
});

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
    for (int type = 0; type < count; ++type)
      if (std::strcmp(list.types[i]->type->name.text, descriptors[type].name.text) == 0) return type;
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

template <int... Type>
[[noreturn]] void throw_as_component_error(carried_exception* carried, std::integer_sequence<int, Type...>) {
  ((carried->tree_type == Type ? throw carried_error<typename error_tree::entry<Type>::raised_as>(carried) : void()),
   ...);
  throw carried_foreign_exception(carried);
}

// --- Intercepting the player's exceptions around one call ---

struct registration {
  registration* next;
  void* handler;
};

// Linked on the thread's handler chain for the duration of one call.
// The head of the thread's handler chain, FS:[0], read and written in place:
// call_player runs on every call into the player. The fences keep the record
// written before it is linked and read after it is unlinked.
registration* handler_chain_head() { return reinterpret_cast<registration*>(__readfsdword(0)); }
void set_handler_chain_head(registration* head) {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  __writefsdword(0, reinterpret_cast<DWORD>(head));
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

struct interception {
  registration link;  // first: the dispatcher hands the handler this address
  std::uint32_t resume_state[6];
  carried_exception* volatile carried;
  bool volatile out_of_memory;
};

}  // namespace

// In exception_bridge_x86_win32.cpp, which says what each does.
extern "C" {
void vek_unwind_to(void* unwind_function, void* target_frame, EXCEPTION_RECORD* record);
int vek_call_guarded(void (*call)(void*), void* context, std::uint32_t* state);
[[noreturn]] void vek_resume(std::uint32_t* state);
}

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
  guard.link.next = handler_chain_head();
  guard.link.handler = reinterpret_cast<void*>(&intercept);
  guard.carried = nullptr;
  guard.out_of_memory = false;
  set_handler_chain_head(&guard.link);
  int intercepted;
  try {
    intercepted = vek_call_guarded(call, context, guard.resume_state);
  } catch (...) {
    set_handler_chain_head(guard.link.next);  // a component error from inside the call
    throw;
  }
  // After an interception the player's frames are unwound and FS:[0] is our record.
  set_handler_chain_head(guard.link.next);
  if (!intercepted) return;
  if (guard.out_of_memory) throw pfc::bad_allocation();  // the player's error could not be kept
  throw_as_component_error(guard.carried, std::make_integer_sequence<int, count>{});
}

namespace {

// Whether a handler for T catches `error`.
template <class T>
bool caught_as(const std::exception& error) {
  if constexpr (std::is_same_v<T, std::exception>) {
    return true;
  } else {
    return dynamic_cast<const T*>(&error) != nullptr;
  }
}

// The first type in error_tree's catch order that `error` is, as a handler
// for that type would catch it: one rethrow for the whole classification,
// where a rethrow per type would cost microseconds each. What the tree does
// not list, whose text may live in its object (gone before the raise), leaves
// as std::exception with the root's text.
template <int... Position>
outgoing_error classify_in_catch_order(const std::exception& error, std::integer_sequence<int, Position...>) noexcept {
  outgoing_error found{error_tree::std_exception, error_tree::entry<error_tree::std_exception>::message, nullptr};
  constexpr auto order = error_tree::catch_order;
  const bool listed = ((caught_as<typename error_tree::entry<order[Position]>::type>(error) &&
                        (found = {order[Position], error_tree::entry<order[Position]>::message, nullptr}, true)) ||
                       ...);
  static_cast<void>(listed);
  return found;
}

}  // namespace

outgoing_error classify_current_error() noexcept {
  try {
    throw;
  } catch (const carrier& error) {
    acquire(error.carried());
    return {-1, nullptr, error.carried()};
  } catch (const std::exception& error) {
    return classify_in_catch_order(error, std::make_integer_sequence<int, count>{});
  } catch (...) {
    return {error_tree::std_exception, error_tree::entry<error_tree::std_exception>::message, nullptr};
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
