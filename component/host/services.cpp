#include "host/services.h"

#include "platform/platform.h"

void reference_counted_object::add_reference() noexcept { platform::interlocked_increment(&count_); }

std::int32_t reference_counted_object::release() noexcept {
  const std::int32_t remaining = platform::interlocked_decrement(&count_);
  if (remaining == 0) destroy(1);
  return remaining;
}
