#pragma once

#include "platform/FileDescriptor.hpp"

namespace tervala::cli {

/// Owns one open file descriptor (a socket) and closes it when it goes.
using platform::FileDescriptor;

}  // namespace tervala::cli
