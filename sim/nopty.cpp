// Where there are no pseudo-terminals (Windows) the device is reached only
// in-process, through DirectBackend.

#include "line.h"

namespace vtrl::sim {

std::unique_ptr<Transport> PlatformTransport()
{
    return nullptr;
}

}  // namespace vtrl::sim
