#include "support/errors.h"

// Compiled here too, so every build checks the error tree against the types.
#include "support/error_tree_index.h"

namespace pfc {

void raise_bad_alloc() { throw bad_allocation(); }

}  // namespace pfc
