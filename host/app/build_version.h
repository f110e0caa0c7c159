// The version vpihost was built as: the project's version and the commit of its sources, both
// taken when it was built.
#pragma once

namespace host::app {

// "7.0.0 (commit 1a2b3c4d5e6f)"; the commit is "unknown" for sources outside a git checkout,
// and ends in "-dirty" when the checkout had changes.
const char* BuildVersionText();

}  // namespace host::app
