// The component's error types, listed once. errors.h defines the component's
// own types from this list, and the exception bridge builds from it how each
// type looks to the player, how a player's error is thrown on as one of them,
// and how an error leaving the component is classified. A type added here is
// defined, bridged and classified; nothing else needs to know of it.
//
// VEK_ERROR_TREE(STANDARD, OWN) calls, parents before their children:
//   STANDARD(id, type, parent, raised_as, message)
//     A standard library type: handlers name `type`; the component throws
//     `raised_as` (a `type` itself) for it; `message` is the text sent for it,
//     since the object's own text may not outlive the object. The root names
//     itself as its parent.
//   OWN(id, parent, message, name, namespace...)
//     A type errors.h defines as `namespace::name` (no namespace: the global
//     one), deriving from `parent` and saying `message`.
// `id` names the entry inside the bridge only.
//
// Includes nothing: errors.h and the bridge expand it with their own macros.
#pragma once

// clang-format off
#define VEK_ERROR_TREE(STANDARD, OWN)                                                                          \
  STANDARD(std_exception, std::exception, std::exception, std::exception, "Unknown exception")                 \
  STANDARD(bad_alloc, std::bad_alloc, std::exception, pfc::bad_allocation, pfc::bad_allocation::message)       \
  OWN(overflow, std::exception, "Overflow", exception_overflow, pfc)                                           \
  OWN(service_not_found, std::exception, "Service not found", exception_service_not_found)                     \
  OWN(service_duplicated, std::exception, "Service duplicated", exception_service_duplicated)                  \
  /* Never raised by itself: a base to catch I/O failures by. */                                               \
  OWN(io, std::exception, "I/O error", exception_io, foobar2000_io)                                            \
  OWN(io_data, foobar2000_io::exception_io, "Unsupported format or corrupted file", exception_io_data,         \
      foobar2000_io)                                                                                           \
  OWN(io_data_truncation, foobar2000_io::exception_io_data, "Unsupported format or corrupted file",            \
      exception_io_data_truncation, foobar2000_io)                                                             \
  /* Not an I/O error: a handler for exception_io must not swallow a user abort. */                            \
  OWN(aborted, std::exception, "User abort", exception_aborted, foobar2000_io)
// clang-format on
