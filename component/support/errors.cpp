#include "support/errors.h"

namespace pfc {

void raise_bad_alloc() { throw bad_allocation(); }

}  // namespace pfc
