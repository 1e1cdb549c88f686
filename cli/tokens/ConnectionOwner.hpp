#pragma once

#include <sys/types.h>

#include <optional>

namespace tervala::cli {

/// The user that owns the other end of an accepted loopback TCP connection, as the kernel lists
/// it in /proc/net/tcp (or tcp6): both ends are sockets of this host and this network namespace.
/// Absent when the other end is no longer listed (it closed) or the table cannot be read.
std::optional<uid_t> loopbackPeerOwner(int connection);

}  // namespace tervala::cli
