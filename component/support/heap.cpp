// The one place the strings and buffers reach the C heap. Kept alone in its
// object file so that a test program can link its own reallocate instead.
#include <cstdlib>

#include "support/errors.h"
#include "support/strings.h"

namespace pfc {

void* reallocate(void* block, std::size_t count) {
  if (count == 0) {
    std::free(block);
    return nullptr;
  }
  // realloc leaves the old block allocated and unchanged when it fails.
  void* resized = block != nullptr ? std::realloc(block, count) : std::malloc(count);
  if (resized == nullptr) raise_bad_alloc();
  return resized;
}

}  // namespace pfc
