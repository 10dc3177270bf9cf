#pragma once
// errno as a classified error, shared by the POSIX backend and the port list.

#include <string>

#include "backend.h"

namespace vtrl::serial {

// Denied errors name the device's group, and the group to join where joining
// would help.
SystemError ErrorFromErrno(int err, const std::string& path);

}  // namespace vtrl::serial
