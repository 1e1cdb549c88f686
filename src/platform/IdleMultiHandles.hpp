#pragma once

#include "platform/CurlHandles.hpp"

namespace tervala::platform {

/// Multi handles left over from finished transfers, kept for the next ones.
///
/// Making a multi handle and cleaning it up (its wake-up socket pair, its hash tables) costs
/// libcurl more work than the rest of a loopback request's transfer, and every transfer drives
/// its easy handle through one. A handle comes back only with no transfer in it; it carries
/// nothing of the last request into the next (connections are never reused, the DNS cache is off
/// and TLS sessions are not kept). Both calls must be made inside the transfer gate.
class IdleMultiHandles {
 public:
  /// An idle handle, or a new one; empty when libcurl has no memory.
  static CurlMulti take() noexcept;
  /// Keeps `multi`, which holds no transfer, for the next transfer; beyond a few it is cleaned up.
  static void giveBack(CurlMulti multi) noexcept;
};

}  // namespace tervala::platform
