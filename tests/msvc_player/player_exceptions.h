// The player's C++ error types in Microsoft's model. A handler matches a type
// by its decorated name, so each is a class (a struct decorates differently)
// with the name and namespace the component raises it under.
#pragma once

#include "imports.h"

struct exception_data {
  const char* what;
  bool owned;  // the runtime frees `what` with the object
};
extern "C" {
__declspec(dllimport) void __cdecl __std_exception_copy(const exception_data* from, exception_data* to);
__declspec(dllimport) void __cdecl __std_exception_destroy(exception_data* data);
}

namespace std {

// The runtime's layout: table, message pointer, ownership flag (12 bytes);
// destructor then what() in the table.
class exception {
 public:
  exception() noexcept : data_{nullptr, false} {}
  exception(const char* static_message, int) noexcept : data_{static_message, false} {}
  exception(const exception& other) noexcept : data_{nullptr, false} { __std_exception_copy(&other.data_, &data_); }
  exception& operator=(const exception& other) noexcept {
    if (this != &other) {
      __std_exception_destroy(&data_);
      __std_exception_copy(&other.data_, &data_);
    }
    return *this;
  }
  virtual ~exception() { __std_exception_destroy(&data_); }
  virtual const char* what() const { return data_.what ? data_.what : "Unknown exception"; }

 private:
  exception_data data_;
};
static_assert(sizeof(exception) == 12);

class bad_alloc : public exception {
 public:
  bad_alloc() noexcept : exception("bad allocation", 1) {}
};

}  // namespace std

// The component's error types as the player declares them. The player's own
// streams raise the truncation and the abort themselves.
// Like std::exception, each takes a static message that copies share.
#define PLAYER_STATIC_MESSAGE_ERROR(name, base, text)                           \
  class name : public base {                                                    \
   public:                                                                      \
    name() noexcept : base(text, 1) {}                                          \
    name(const char* static_message, int) noexcept : base(static_message, 1) {} \
  }

namespace pfc {
PLAYER_STATIC_MESSAGE_ERROR(exception_overflow, std::exception, "Overflow");
}
PLAYER_STATIC_MESSAGE_ERROR(exception_service_not_found, std::exception, "Service not found");
PLAYER_STATIC_MESSAGE_ERROR(exception_service_duplicated, std::exception, "Service duplicated");
namespace foobar2000_io {
PLAYER_STATIC_MESSAGE_ERROR(exception_io, std::exception, "I/O error");
PLAYER_STATIC_MESSAGE_ERROR(exception_io_data, exception_io, "Unsupported format or corrupted file");
PLAYER_STATIC_MESSAGE_ERROR(exception_io_data_truncation, exception_io_data, "Unsupported format or corrupted file");
PLAYER_STATIC_MESSAGE_ERROR(exception_aborted, std::exception, "User abort");
}  // namespace foobar2000_io

#undef PLAYER_STATIC_MESSAGE_ERROR

// The player's own error: a member and a message of its own, so that only the
// original object, or a true copy of it, comes back whole. `alive` counts the
// objects constructed (copies too) and not yet destroyed.
class player_error : public std::exception {
 public:
  explicit player_error(int detail) noexcept : detail(detail) { ++alive; }
  player_error(const player_error& other) noexcept : std::exception(other), detail(other.detail) { ++alive; }
  ~player_error() override { --alive; }
  const char* what() const override { return message; }

  static constexpr char message[] = "the player's own error";
  static inline int alive = 0;
  int detail;
};
