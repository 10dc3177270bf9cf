#include "pages/console.h"

namespace vtrl {

void UseStartingConsole() {}

}  // namespace vtrl
