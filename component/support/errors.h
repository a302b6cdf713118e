// The error types of the component. Each carries one pointer to a static,
// read-only message fixed where it is raised; copies share that text and
// nothing is ever formatted or allocated. The base chains are part of the
// host boundary: a host catches by these types.
#pragma once

#include <exception>
#include <new>

namespace pfc {

// The direct children of std::exception hold the message pointer themselves.
#define VEK_STATIC_MESSAGE_ERROR(name, text)                              \
  class name : public std::exception {                                    \
   public:                                                                 \
    name() noexcept = default;                                             \
    const char* what() const noexcept override { return message_; }       \
                                                                           \
   protected:                                                              \
    explicit name(const char* message) noexcept : message_(message) {}    \
                                                                           \
   private:                                                                \
    const char* message_ = text;                                           \
  }

VEK_STATIC_MESSAGE_ERROR(exception_overflow, "Overflow");

// std::bad_alloc that reports the component's own text. The runtime's
// operator new may still raise a plain std::bad_alloc; callers catch by the base.
class bad_allocation : public std::bad_alloc {
 public:
  const char* what() const noexcept override { return "bad allocation"; }
};

// Heap exhaustion or a size that cannot be represented.
[[noreturn]] void raise_bad_alloc();

}  // namespace pfc

VEK_STATIC_MESSAGE_ERROR(exception_service_not_found, "Service not found");
VEK_STATIC_MESSAGE_ERROR(exception_service_duplicated, "Service duplicated");

namespace foobar2000_io {

// Never raised by itself: a base to catch I/O failures by.
VEK_STATIC_MESSAGE_ERROR(exception_io, "I/O error");

class exception_io_data : public exception_io {
 public:
  exception_io_data() noexcept : exception_io("Unsupported format or corrupted file") {}

 protected:
  using exception_io::exception_io;
};

class exception_io_data_truncation : public exception_io_data {
 public:
  exception_io_data_truncation() noexcept : exception_io_data("Unsupported format or corrupted file") {}
};

// Not an I/O error: a handler for exception_io must not swallow a user abort.
VEK_STATIC_MESSAGE_ERROR(exception_aborted, "User abort");

}  // namespace foobar2000_io

#undef VEK_STATIC_MESSAGE_ERROR
