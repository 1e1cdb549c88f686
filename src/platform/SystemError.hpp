#pragma once

#include <cerrno>
#include <string>
#include <system_error>

namespace tervala::platform {

/// What the last failed system call said, as a reason in a message ("Permission denied").
inline std::string errnoText() {
  return std::generic_category().message(errno);
}

}  // namespace tervala::platform
