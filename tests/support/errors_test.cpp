#include "support/errors.h"

#include <gtest/gtest.h>

namespace {

using namespace foobar2000_io;

// Raised by value and caught as std::exception: the fixed text, shared by copies.
template <class Error>
void expect_message(const char* message) {
  try {
    throw Error();
  } catch (const std::exception& caught) {
    EXPECT_STREQ(caught.what(), message);
    EXPECT_EQ(Error(dynamic_cast<const Error&>(caught)).what(), caught.what());
  }
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

TEST(Errors, MessagesAndWhatCatchesThem) {
  expect_message<pfc::exception_overflow>("Overflow");
  expect_message<exception_service_not_found>("Service not found");
  expect_message<exception_service_duplicated>("Service duplicated");
  expect_message<exception_io_data_truncation>("Unsupported format or corrupted file");
  expect_message<exception_aborted>("User abort");
  expect_message<pfc::bad_allocation>("bad allocation");
  EXPECT_TRUE((caught_by<exception_io_data, exception_io_data_truncation>()));
  EXPECT_TRUE((caught_by<exception_io, exception_io_data_truncation>()));
  EXPECT_FALSE((caught_by<exception_io_data, exception_aborted>()));
  EXPECT_FALSE((caught_by<exception_io, exception_aborted>()));
}

}  // namespace
