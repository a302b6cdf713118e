#include "support/errors.h"

#include <gtest/gtest.h>

#include <type_traits>

namespace {

using foobar2000_io::exception_aborted;
using foobar2000_io::exception_io;
using foobar2000_io::exception_io_data;
using foobar2000_io::exception_io_data_truncation;

// Each error is one message pointer next to what std::exception holds.
template <class... Errors>
constexpr bool one_pointer_each = ((sizeof(Errors) == sizeof(std::exception) + sizeof(const char*)) && ...);
static_assert(one_pointer_each<pfc::exception_overflow, exception_service_not_found, exception_service_duplicated,
                               exception_io, exception_io_data, exception_io_data_truncation, exception_aborted>);
static_assert(sizeof(pfc::bad_allocation) == sizeof(std::bad_alloc));

// Raises Error by value and checks the message the handler sees, and that
// copies of the caught error hand out the very same text.
template <class Error>
void expect_raised_with(const char* message) {
  static_assert(std::is_nothrow_copy_constructible_v<Error>);
  try {
    throw Error();
  } catch (const std::exception& caught) {
    EXPECT_STREQ(caught.what(), message);
    const auto& raised = dynamic_cast<const Error&>(caught);
    const Error copy(raised);
    Error assigned;
    assigned = raised;
    EXPECT_EQ(copy.what(), caught.what());
    EXPECT_EQ(assigned.what(), caught.what());
  }
}

TEST(Errors, CarryTheirFixedMessages) {
  expect_raised_with<pfc::exception_overflow>("Overflow");
  expect_raised_with<exception_service_not_found>("Service not found");
  expect_raised_with<exception_service_duplicated>("Service duplicated");
  expect_raised_with<exception_io_data_truncation>("Unsupported format or corrupted file");
  expect_raised_with<exception_aborted>("User abort");
  expect_raised_with<pfc::bad_allocation>("bad allocation");
}

TEST(Errors, BadAllocationIsTheStandardError) {
  try {
    pfc::raise_bad_alloc();
  } catch (const std::bad_alloc& caught) {
    EXPECT_STREQ(caught.what(), "bad allocation");
    EXPECT_NE(dynamic_cast<const pfc::bad_allocation*>(&caught), nullptr);
    return;
  }
  FAIL() << "raise_bad_alloc returned";
}

template <class Handler, class Error>
bool caught_by() {
  try {
    throw Error();
  } catch (const Handler&) {
    return true;
  } catch (...) {
    return false;
  }
}

TEST(Errors, IoHandlersCatchTruncationButNeverAnAbort) {
  EXPECT_TRUE((caught_by<exception_io_data, exception_io_data_truncation>()));
  EXPECT_TRUE((caught_by<exception_io, exception_io_data_truncation>()));
  EXPECT_TRUE((caught_by<exception_io, exception_io_data>()));
  EXPECT_FALSE((caught_by<exception_io, exception_aborted>()));
  EXPECT_FALSE((caught_by<exception_io_data, exception_aborted>()));
  EXPECT_FALSE((caught_by<exception_io_data_truncation, exception_io_data>()));
  EXPECT_FALSE((caught_by<exception_io, exception_service_not_found>()));
  EXPECT_FALSE((caught_by<exception_service_not_found, exception_service_duplicated>()));
}

TEST(Errors, StdExceptionCatchesEveryOne) {
  EXPECT_TRUE((caught_by<std::exception, pfc::exception_overflow>()));
  EXPECT_TRUE((caught_by<std::exception, exception_service_not_found>()));
  EXPECT_TRUE((caught_by<std::exception, exception_service_duplicated>()));
  EXPECT_TRUE((caught_by<std::exception, exception_io>()));
  EXPECT_TRUE((caught_by<std::exception, exception_io_data>()));
  EXPECT_TRUE((caught_by<std::exception, exception_io_data_truncation>()));
  EXPECT_TRUE((caught_by<std::exception, exception_aborted>()));
  EXPECT_TRUE((caught_by<std::exception, pfc::bad_allocation>()));
  EXPECT_TRUE((caught_by<std::bad_alloc, pfc::bad_allocation>()));
}

}  // namespace
