// The library's one process-wide state record.
#include "LibraryState.h"

namespace quendal {

namespace {
// Constant-initialised: the record is zero before any code of the library runs,
// and loading or unloading the library runs none.
constinit LibraryState gState{};
} // namespace

LibraryState &state() { return gState; }

} // namespace quendal
