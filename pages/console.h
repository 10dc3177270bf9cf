#pragma once

namespace vtrl {

// Before --help, --version or a usage error is printed: on Windows the
// wizard is a GUI program without a console of its own, so it writes into
// the console it was started from, unless its output goes to a pipe or a
// file already. Elsewhere nothing to do.
void UseStartingConsole();

}  // namespace vtrl
